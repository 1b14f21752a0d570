// Test-only extension: runs the track-following finder with its seed filter pinned to a given
// number of partners at a time, so that every vector path can be compared with the others and
// with the finder Python sees, on any machine the suite runs on.
#include "python/python_errors.hpp"

#include <cstddef>
#include <optional>
#include <vector>

#include "algorithms/track_following.hpp"
#include "core_errors.hpp"
#include "event_model/event.hpp"

namespace {

bool read_list(PyObject* seq, std::vector<double>& out) {
    PyObject* fast = PySequence_Fast(seq, "coordinates must be a sequence");
    if (fast == nullptr) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast); ++i) {
        out.push_back(PyFloat_AsDouble(PySequence_Fast_GET_ITEM(fast, i)));
        if (PyErr_Occurred() != nullptr) {
            Py_DECREF(fast);
            return false;
        }
    }
    Py_DECREF(fast);
    return true;
}

// columns: (module_prefix_sum, x, y, z), as an event dictionary holds them.
bool read_event(PyObject* columns, std::optional<trelmon::Event>& event) {
    PyObject* prefix = nullptr;
    PyObject* xs = nullptr;
    PyObject* ys = nullptr;
    PyObject* zs = nullptr;
    if (!PyArg_ParseTuple(columns, "OOOO", &prefix, &xs, &ys, &zs)) {
        return false;
    }
    trelmon::EventColumns input;
    std::vector<double> prefix_values;
    if (!read_list(prefix, prefix_values) || !read_list(xs, input.x) || !read_list(ys, input.y) ||
        !read_list(zs, input.z)) {
        return false;
    }
    for (const double v : prefix_values) {
        input.module_prefix_sum.push_back(static_cast<std::size_t>(v));
    }
    event.emplace(trelmon::build_event(std::move(input)));
    return true;
}

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
