// finder_parameters(): each finder's keyword parameters and their defaults, read
// from the same tables as the finders' constructors, so that trelmon_tools need not rely on
// stored text signatures (which some interpreters drop for classes).
#include "python/algorithms/parameters.hpp"
#include "python/args.hpp"
#include "python/tools/features.hpp"
#include "python/types.hpp"

#include "algorithms/graph_dfs.hpp"
#include "algorithms/search_by_triplet_trie.hpp"
#include "algorithms/track_following.hpp"

namespace trelmon::py {
namespace {

// {"TrackFollowing": (("max_slopes", (0.7, 0.7)), ...), ...} in ReconstructionAlgorithms order.
PyObject* finder_parameters(PyObject*, PyObject*) {
    return guarded([] {
        Ref table = Ref(PyDict_New());
        if (!table) {
            throw_python_error();
        }
        auto add = [&](const char* finder, PyObject* rows) {
            Ref owned = Ref(rows);
            if (PyDict_SetItemString(table.get(), finder, owned.get()) != 0) {
                throw_python_error();
            }
        };
        add("TrackFollowing", parameter_defaults<TrackFollowingParams>());
        add("GraphDFS", parameter_defaults<GraphDFSParams>());
        add("SearchByTripletTrie", parameter_defaults<SearchByTripletTrieParams>());
        return table.release();
    });
}

PyMethodDef functions[] = {
    {"finder_parameters", finder_parameters, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* finder_parameter_functions() {
    return functions;
}

}  // namespace trelmon::py
