// Python class GraphDFS: the parameters of the segment graph search, and its solvers.
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/types.hpp"

#include "algorithms/graph_dfs.hpp"
#include "python/algorithms/parameters.hpp"
#include "python/algorithms/solve_methods.hpp"

namespace trelmon::py {
namespace {

constexpr char kGraphDFS[] = "GraphDFS";

PyObject* graph_dfs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        return box(type, parse_parameters<GraphDFSParams>("GraphDFS.__new__", args, kwargs));
    });
}

PyObject* graph_dfs_reduce(PyObject* self, PyObject*) {
    return guarded([&] { return reduce_parameters<GraphDFSParams>(self); });
}

PyMethodDef graph_dfs_methods[] = {
    {"__reduce__", graph_dfs_reduce, METH_NOARGS, nullptr},
    {"solve", method(solve_method<GraphDFSParams, &solve, kGraphDFS>),
     METH_FASTCALL | METH_KEYWORDS,
     "solve($self, event)\n--\n\nSolves the event using the DFS strategy and returns a list of "
     "Tracks."},
    {"solve_batch", method(solve_batch_method<GraphDFSParams, &solve, kGraphDFS>),
     METH_FASTCALL | METH_KEYWORDS, "solve_batch($self, events)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot graph_dfs_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(graph_dfs_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<GraphDFSParams>)},
    {Py_tp_methods, graph_dfs_methods},
    {Py_tp_doc, nullptr},  // set from the parameter table
    {0, nullptr},
};

}  // namespace

PyTypeObject* graph_dfs_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        static const std::string doc = class_text_signature<GraphDFSParams>("GraphDFS");
        set_doc_slot(graph_dfs_slots, doc);
        type = make_type<GraphDFSParams>("ReconstructionAlgorithms.GraphDFS", kImmutableTypeFlags,
                                         graph_dfs_slots);
    }
    return type;
}

}  // namespace trelmon::py
