// Test-only: an Event from the columns of an event dictionary, for the probe extensions that
// run a finder's internals on hand-made or generated events.
#pragma once

#include "python/python_errors.hpp"

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "event_model/event.hpp"

namespace probe {

inline bool read_list(PyObject* seq, std::vector<double>& out) {
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
inline bool read_event(PyObject* columns, std::optional<trelmon::Event>& event) {
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

}  // namespace probe
