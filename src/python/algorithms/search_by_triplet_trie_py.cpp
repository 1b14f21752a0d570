// Python class SearchByTripletTrie: holds the parameters; solve and solve_batch run the native
// finder.
#include "algorithms/search_by_triplet_trie.hpp"
#include "python/algorithms/parameters.hpp"
#include "python/algorithms/solve_methods.hpp"
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
        return box(type, parse_parameters<Params>("SearchByTripletTrie.__new__", args, kwargs));
    });
}

PyObject* search_by_triplet_trie_reduce(PyObject* self, PyObject*) {
    return guarded([&] { return reduce_parameters<Params>(self); });
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

PyType_Slot search_by_triplet_trie_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(search_by_triplet_trie_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Params>)},
    {Py_tp_methods, search_by_triplet_trie_methods},
    {Py_tp_doc, nullptr},  // set from the parameter table
    {0, nullptr},
};

}  // namespace

PyTypeObject* search_by_triplet_trie_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        static const std::string doc = class_text_signature<Params>("SearchByTripletTrie");
        set_doc_slot(search_by_triplet_trie_slots, doc);
        type = make_type<Params>("ReconstructionAlgorithms.SearchByTripletTrie",
                                 kImmutableTypeFlags, search_by_triplet_trie_slots);
    }
    return type;
}

}  // namespace trelmon::py
