// Python class SearchByTripletTrie: holds the parameters; solve and solve_batch run the native
// finder.
#include "algorithms/batch_py.hpp"
#include "algorithms/search_by_triplet_trie.hpp"
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

namespace trelmon::py {
namespace {

constexpr char kSearchByTripletTrie[] = "SearchByTripletTrie";

using Params = SearchByTripletTrieParams;

PyObject* search_by_triplet_trie_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature<3> signature{
            "SearchByTripletTrie.__new__",
            {"max_scatter", "min_strong_track_length", "allowed_missed_modules"},
            0};
        const auto a = parse_args(signature, args, kwargs);
        const Params defaults;
        Params params;
        params.max_scatter = convert_optional<double>(a[0], "max_scatter", defaults.max_scatter);
        params.min_strong_track_length = convert_optional<std::size_t>(
            a[1], "min_strong_track_length", defaults.min_strong_track_length);
        params.allowed_missed_modules = convert_optional<std::size_t>(
            a[2], "allowed_missed_modules", defaults.allowed_missed_modules);
        return box(type, params);
    });
}

// Pickling and copying: the parameters, in the constructor's order.
PyObject* search_by_triplet_trie_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        const Ref locator(class_locator(Py_TYPE(self)));
        const Params& p = unbox<Params>(self);
        return Py_BuildValue("O(dKK)", locator.get(), p.max_scatter,
                             static_cast<unsigned long long>(p.min_strong_track_length),
                             static_cast<unsigned long long>(p.allowed_missed_modules));
    });
}

PyMethodDef search_by_triplet_trie_methods[] = {
    {"__reduce__", search_by_triplet_trie_reduce, METH_NOARGS, nullptr},
    {"solve", method(solve_method<Params, &solve, kSearchByTripletTrie>),
     METH_FASTCALL | METH_KEYWORDS,
     "solve($self, event)\n--\n\nProcesses the event to assemble tracks."},
    {"solve_batch", method(solve_batch_method<Params, &solve, kSearchByTripletTrie>),
     METH_FASTCALL | METH_KEYWORDS, "solve_batch($self, events)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The stored text signature names min_track_length, which __new__ does not take.
PyType_Slot search_by_triplet_trie_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(search_by_triplet_trie_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Params>)},
    {Py_tp_methods, search_by_triplet_trie_methods},
    {Py_tp_doc, const_cast<char*>("SearchByTripletTrie(cls, max_scatter=None, "
                                  "min_track_length=None, min_strong_track_length=None, "
                                  "allowed_missed_modules=None)\n--\n\n")},
    {0, nullptr},
};

}  // namespace

PyTypeObject* search_by_triplet_trie_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = make_type<Params>("ReconstructionAlgorithms.SearchByTripletTrie",
                                 kImmutableTypeFlags, search_by_triplet_trie_slots);
    }
    return type;
}

}  // namespace trelmon::py
