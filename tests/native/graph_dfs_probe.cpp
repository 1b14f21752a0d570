// Test-only extension: runs the segment graph finder on an event given as its columns, on either
// of its paths (the four-lane one where the CPU has it, or the baseline one), so that the two can
// be compared track by track.
#include "python/python_errors.hpp"

#include "event_columns.hpp"

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "algorithms/graph_dfs.hpp"
#include "algorithms/graph_dfs/vector_path.hpp"
#include "event_model/event.hpp"

namespace {

using trelmon::Event;

using probe::read_event;

// Restores the four-lane paths however the solve ends.
struct BaselineScope {
    explicit BaselineScope(bool on) { trelmon::graph_dfs::use_baseline_paths(on); }
    ~BaselineScope() { trelmon::graph_dfs::use_baseline_paths(false); }
    BaselineScope(const BaselineScope&) = delete;
    BaselineScope& operator=(const BaselineScope&) = delete;
};

// solve(columns, baseline, (slope_x, slope_y), (tol_x, tol_y), max_scatter,
//       allowed_skip_modules, allow_cross_track) -> [(ids...), ...]
PyObject* probe_solve(PyObject*, PyObject* args) {
    PyObject* columns = nullptr;
    int baseline = 0;
    int cross = 1;
    trelmon::GraphDFSParams params;
    if (!PyArg_ParseTuple(args, "Op(dd)(dd)dip", &columns, &baseline, &params.max_slopes.first,
                          &params.max_slopes.second, &params.max_tolerance.first,
                          &params.max_tolerance.second, &params.max_scatter,
                          &params.allowed_skip_modules, &cross)) {
        return nullptr;
    }
    params.allow_cross_track = cross != 0;
    return trelmon::py::guarded([&]() -> PyObject* {
        std::optional<Event> event;
        if (!read_event(columns, event)) {
            return nullptr;
        }
        std::vector<trelmon::Track> tracks;
        {
            const BaselineScope scope(baseline != 0);
            tracks = trelmon::solve(params, *event);
        }
        PyObject* out = PyList_New(0);
        if (out == nullptr) {
            return nullptr;
        }
        for (const auto& track : tracks) {
            PyObject* ids = PyTuple_New(static_cast<Py_ssize_t>(track.hits.size()));
            if (ids == nullptr) {
                Py_DECREF(out);
                return nullptr;
            }
            for (std::size_t i = 0; i < track.hits.size(); ++i) {
                PyTuple_SET_ITEM(ids, static_cast<Py_ssize_t>(i),
                                 PyLong_FromLong(track.hits[i].id));
            }
            const int failed = PyList_Append(out, ids);
            Py_DECREF(ids);
            if (failed != 0) {
                Py_DECREF(out);
                return nullptr;
            }
        }
        return out;
    });
}

// four_lanes() -> whether solve takes the four-lane paths unless told otherwise.
PyObject* probe_four_lanes(PyObject*, PyObject*) {
    return PyBool_FromLong(trelmon::graph_dfs::four_lanes() ? 1 : 0);
}

PyMethodDef probe_methods[] = {
    {"solve", probe_solve, METH_VARARGS, nullptr},
    {"four_lanes", probe_four_lanes, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT,
    "_gdfs_probe",
    nullptr,
    -1,
    probe_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__gdfs_probe() {
    return PyModule_Create(&probe_module);
}
