// finder_work(): how much work a finder's solve has on an event, in the finder's own unit
// (hits for TrackFollowing, candidate pairs for SearchByTripletTrie, segments for GraphDFS),
// so that the bench can set the growth of a finder's time beside the growth of its work.
#include <string>

#include "python/algorithms/parameters.hpp"
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/tools/features.hpp"
#include "python/types.hpp"

#include "algorithms/graph_dfs.hpp"
#include "algorithms/search_by_triplet_trie.hpp"
#include "algorithms/track_following.hpp"

namespace trelmon::py {
namespace {

// finder_work(finder, event, **parameters) -> int
PyObject* finder_work(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        if (PyTuple_GET_SIZE(args) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(args, 0))) {
            raise(PyExc_TypeError,
                  "finder_work() takes a finder name, an event and the finder's keywords");
        }
        const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, 0));
        if (name == nullptr) {
            throw_python_error();
        }
        const Event& event = event_arg(PyTuple_GET_ITEM(args, 1), "event");
        Ref none(PyTuple_New(0));
        if (!none) {
            throw_python_error();
        }
        const std::string finder = name;
        if (finder == "TrackFollowing") {
            parse_parameters<TrackFollowingParams>("finder_work", none.get(), kwargs);
            return to_python(static_cast<std::uint64_t>(event.hits->size()));
        }
        if (finder == "SearchByTripletTrie") {
            parse_parameters<SearchByTripletTrieParams>("finder_work", none.get(), kwargs);
            return to_python(static_cast<std::uint64_t>(count_candidate_pairs(event)));
        }
        if (finder == "GraphDFS") {
            const auto params = parse_parameters<GraphDFSParams>("finder_work", none.get(), kwargs);
            return to_python(static_cast<std::uint64_t>(count_segments(params, event)));
        }
        raise(PyExc_ValueError, "finder_work() knows no finder '" + finder + "'");
    });
}

PyMethodDef functions[] = {
    {"finder_work", method(finder_work), METH_VARARGS | METH_KEYWORDS,
     "finder_work(finder, event, **parameters)\n--\n\n"
     "The work of the finder's solve on the event: hits (TrackFollowing), candidate pairs "
     "(SearchByTripletTrie) or segments (GraphDFS)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* work_count_functions() {
    return functions;
}

}  // namespace trelmon::py
