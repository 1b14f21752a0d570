// Test-only extension: runs the track-following finder with its seed filter pinned to a given
// number of partners at a time, so that every vector path can be compared with the others and
// with the finder Python sees, on any machine the suite runs on.
#include "python/python_errors.hpp"

#include "event_columns.hpp"

#include <cstddef>
#include <optional>
#include <vector>

#include "algorithms/track_following.hpp"
#include "core_errors.hpp"
#include "event_model/event.hpp"

namespace {

using probe::read_event;

// solve(columns, lanes, (max_slopes, max_tolerance, max_scatter, min_track_length,
// min_strong_track_length)) -> [[hit id, ...], ...]; lanes 0 is the widest the CPU has, else
// 2 or 1.
PyObject* probe_solve(PyObject*, PyObject* args) {
    PyObject* columns = nullptr;
    int lanes = 0;
    trelmon::TrackFollowingParams params;
    unsigned char min_length = 0;
    unsigned char min_strong = 0;
    if (!PyArg_ParseTuple(args, "Oi((dd)(dd)dbb)", &columns, &lanes, &params.max_slopes.first,
                          &params.max_slopes.second, &params.max_tolerance.first,
                          &params.max_tolerance.second, &params.max_scatter, &min_length,
                          &min_strong)) {
        return nullptr;
    }
    if (lanes != 0 && lanes != 1 && lanes != 2) {
        PyErr_SetString(PyExc_ValueError, "lanes must be 0, 1 or 2");
        return nullptr;
    }
    params.min_track_length = min_length;
    params.min_strong_track_length = min_strong;
    const auto choice = lanes == 0   ? trelmon::SeedLanes::kWidest
                        : lanes == 2 ? trelmon::SeedLanes::kTwo
                                     : trelmon::SeedLanes::kOne;
    return trelmon::py::guarded([&]() -> PyObject* {
        std::optional<trelmon::Event> event;
        if (!read_event(columns, event)) {
            return nullptr;
        }
        const auto tracks = trelmon::solve(params, *event, choice);
        PyObject* out = PyList_New(0);
        for (const auto& track : tracks) {
            PyObject* ids = PyList_New(static_cast<Py_ssize_t>(track.hits.size()));
            for (std::size_t i = 0; i < track.hits.size(); ++i) {
                PyList_SET_ITEM(ids, static_cast<Py_ssize_t>(i), PyLong_FromLong(track.hits[i].id));
            }
            PyList_Append(out, ids);
            Py_DECREF(ids);
        }
        return out;
    });
}

PyMethodDef probe_methods[] = {
    {"solve", probe_solve, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT,
    "_tf_probe",
    nullptr,
    -1,
    probe_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tf_probe() {
    return PyModule_Create(&probe_module);
}
