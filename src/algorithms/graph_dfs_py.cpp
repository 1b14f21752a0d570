// Python class GraphDFS: the parameters of the segment graph search, and its solvers.
#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

#include "algorithms/batch_py.hpp"
#include "algorithms/graph_dfs.hpp"

namespace trelmon::py {
namespace {

constexpr char kGraphDFS[] = "GraphDFS";

PyObject* graph_dfs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature<8> signature{
            "GraphDFS.__new__",
            {"max_slopes", "max_tolerance", "max_scatter", "minimum_root_weight",
             "weight_assignment_iterations", "allowed_skip_modules", "allow_cross_track",
             "clone_ghost_killing"},
            0};
        const auto a = parse_args(signature, args, kwargs);
        GraphDFSParams defaults;
        GraphDFSParams params;
        using Pair = std::pair<double, double>;
        params.max_slopes = convert_optional<Pair>(a[0], "max_slopes", defaults.max_slopes);
        params.max_tolerance =
            convert_optional<Pair>(a[1], "max_tolerance", defaults.max_tolerance);
        params.max_scatter = convert_optional<double>(a[2], "max_scatter", defaults.max_scatter);
        params.minimum_root_weight = convert_optional<std::int32_t>(a[3], "minimum_root_weight",
                                                                    defaults.minimum_root_weight);
        params.weight_assignment_iterations = convert_optional<std::int32_t>(
            a[4], "weight_assignment_iterations", defaults.weight_assignment_iterations);
        params.allowed_skip_modules = convert_optional<std::int32_t>(a[5], "allowed_skip_modules",
                                                                     defaults.allowed_skip_modules);
        params.allow_cross_track =
            convert_optional<bool>(a[6], "allow_cross_track", defaults.allow_cross_track);
        params.clone_ghost_killing =
            convert_optional<bool>(a[7], "clone_ghost_killing", defaults.clone_ghost_killing);
        return box(type, params);
    });
}

// Pickling and copying: the parameters, in the constructor's order.
PyObject* graph_dfs_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        const Ref locator(class_locator(Py_TYPE(self)));
        const GraphDFSParams& p = unbox<GraphDFSParams>(self);
        return Py_BuildValue("O((dd)(dd)diiiOO)", locator.get(), p.max_slopes.first,
                             p.max_slopes.second, p.max_tolerance.first, p.max_tolerance.second,
                             p.max_scatter, p.minimum_root_weight, p.weight_assignment_iterations,
                             p.allowed_skip_modules, p.allow_cross_track ? Py_True : Py_False,
                             p.clone_ghost_killing ? Py_True : Py_False);
    });
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
    {Py_tp_doc,
     const_cast<char*>("GraphDFS(cls, max_slopes=None, max_tolerance=None, max_scatter=None, "
                       "minimum_root_weight=None, weight_assignment_iterations=None, "
                       "allowed_skip_modules=None, allow_cross_track=None, "
                       "clone_ghost_killing=None)\n--\n\n")},
    {0, nullptr},
};

}  // namespace

PyTypeObject* graph_dfs_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = make_type<GraphDFSParams>("ReconstructionAlgorithms.GraphDFS", kImmutableTypeFlags,
                                         graph_dfs_slots);
    }
    return type;
}

}  // namespace trelmon::py
