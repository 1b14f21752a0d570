// Test-only extension: runs the search-by-triplet finder on an event given as its columns and
// returns the state a Track hides (missed_count), and exposes the triplet tries together with a
// straightforward full-scan rendering of them, so that the indexed trie building can be
// compared with it.
#include "python/python_errors.hpp"

#include "event_columns.hpp"

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "algorithms/search_by_triplet_trie.hpp"
#include "core_errors.hpp"
#include "event_model/event.hpp"

namespace {

using trelmon::Event;
using trelmon::Hit;
using trelmon::Triplet;

using probe::read_event;

PyObject* tries_to_python(const std::vector<std::optional<std::vector<Triplet>>>& tries) {
    PyObject* slots = PyList_New(0);
    for (const auto& trie : tries) {
        PyObject* item = nullptr;
        if (!trie) {
            Py_INCREF(Py_None);
            item = Py_None;
        } else {
            item = PyList_New(0);
            for (const Triplet& t : *trie) {
                PyObject* row = Py_BuildValue("(iiid)", t.a.id, t.b.id, t.c.id, t.scatter);
                PyList_Append(item, row);
                Py_DECREF(row);
            }
        }
        PyList_Append(slots, item);
        Py_DECREF(item);
    }
    return slots;
}

// solve(columns, max_scatter, min_strong_track_length, allowed_missed_modules)
// -> [(ids, missed_last_module, missed_penultimate_module, missed_count), ...]
PyObject* probe_solve(PyObject*, PyObject* args) {
    PyObject* columns = nullptr;
    trelmon::SearchByTripletTrieParams params;
    unsigned long long strong = 0;
    unsigned long long allowed = 0;
    if (!PyArg_ParseTuple(args, "OdKK", &columns, &params.max_scatter, &strong, &allowed)) {
        return nullptr;
    }
    params.min_strong_track_length = strong;
    params.allowed_missed_modules = allowed;
    return trelmon::py::guarded([&]() -> PyObject* {
        std::optional<Event> event;
        if (!read_event(columns, event)) {
            return nullptr;
        }
        const auto tracks = trelmon::solve(params, *event);
        PyObject* out = PyList_New(0);
        for (const auto& track : tracks) {
            PyObject* ids = PyTuple_New(static_cast<Py_ssize_t>(track.hits.size()));
            for (std::size_t i = 0; i < track.hits.size(); ++i) {
                PyTuple_SET_ITEM(ids, static_cast<Py_ssize_t>(i),
                                 PyLong_FromLong(track.hits[i].id));
            }
            PyObject* row =
                Py_BuildValue("(NOOi)", ids, track.missed_last_module ? Py_True : Py_False,
                              track.missed_penultimate_module ? Py_True : Py_False,
                              static_cast<int>(track.missed_count));
            PyList_Append(out, row);
            Py_DECREF(row);
        }
        return out;
    });
}

// tries(columns, max_scatter, baseline_screen=False): the finder's tries, slot by slot.
PyObject* probe_tries(PyObject*, PyObject* args) {
    PyObject* columns = nullptr;
    trelmon::SearchByTripletTrieParams params;
    int baseline = 0;
    if (!PyArg_ParseTuple(args, "Od|p", &columns, &params.max_scatter, &baseline)) {
        return nullptr;
    }
    return trelmon::py::guarded([&]() -> PyObject* {
        std::optional<Event> event;
        if (!read_event(columns, event)) {
            return nullptr;
        }
        return tries_to_python(trelmon::triplet_tries(params, *event, baseline != 0));
    });
}

double scatter(const Hit& p, const Hit& q, const Hit& h) {
    const double r = 1.0 / (q.z - p.z);
    const double tx = (q.x - p.x) * r;
    const double ty = (q.y - p.y) * r;
    const double d = h.z - p.z;
    const double px = p.x + tx * d;
    const double py = p.y + ty * d;
    const double dx = px - h.x;
    const double dy = py - h.y;
    return dx * dx + dy * dy;
}

// The tries built as literally as they are described: every third hit of every pair is scored.
// Station s is modules 2s and 2s + 1; slot s's trie pairs stations s and s - 1 with third hits
// from station s - 2.
std::vector<std::optional<std::vector<Triplet>>> full_scan_tries(double max_scatter,
                                                                 const Event& event) {
    std::vector<std::span<const Hit>> stations;
    for (std::size_t m = 0; m + 1 < event.modules.size(); m += 2) {
        const std::size_t start = event.modules[m].hit_start_index;
        const std::size_t end = event.modules[m + 1].hit_end_index;
        stations.emplace_back(event.hits->data() + start, end - start);
    }
    std::vector<std::optional<std::vector<Triplet>>> slots(stations.size());
    for (std::size_t s = 2; s < stations.size(); ++s) {
        auto& rows = slots[s].emplace();
        for (const Hit& a : stations[s]) {
            for (const Hit& b : stations[s - 1]) {
                const Hit* best = nullptr;
                double best_scatter = max_scatter;
                for (const Hit& c : stations[s - 2]) {
                    const double value = scatter(a, b, c);
                    if (value < best_scatter) {
                        best_scatter = value;
                        best = &c;
                    }
                }
                if (best != nullptr) {
                    rows.push_back(Triplet{a, b, *best, best_scatter});
                }
            }
        }
    }
    return slots;
}

PyObject* probe_full_scan_tries(PyObject*, PyObject* args) {
    PyObject* columns = nullptr;
    double max_scatter = 0.0;
    if (!PyArg_ParseTuple(args, "Od", &columns, &max_scatter)) {
        return nullptr;
    }
    return trelmon::py::guarded([&]() -> PyObject* {
        std::optional<Event> event;
        if (!read_event(columns, event)) {
            return nullptr;
        }
        return tries_to_python(full_scan_tries(max_scatter, *event));
    });
}

PyMethodDef probe_methods[] = {
    {"solve", probe_solve, METH_VARARGS, nullptr},
    {"tries", probe_tries, METH_VARARGS, nullptr},
    {"full_scan_tries", probe_full_scan_tries, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT,
    "_sbt_probe",
    nullptr,
    -1,
    probe_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__sbt_probe() {
    return PyModule_Create(&probe_module);
}
