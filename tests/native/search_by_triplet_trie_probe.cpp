// Test-only extension: runs the search-by-triplet finder on module lists that no Event can
// hold (any number of modules, any module numbers, repeated ids or id -1), returns the state a
// Track hides (missed_count), and exposes the triplet tries together with a straightforward
// full-scan rendering of them, so that the indexed trie building can be compared with it.
#include "python/python_errors.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "algorithms/search_by_triplet_trie.hpp"
#include "core_errors.hpp"

namespace {

using trelmon::Hit;
using trelmon::Module;
using trelmon::Triplet;

struct Input {
    std::vector<Module> modules;
};

// hits: sequence of (id, x, y, z); modules: sequence of (module_number, start, end), every module
// sharing the one hit list.
bool read_input(PyObject* hits_seq, PyObject* modules_seq, Input& input) {
    auto hits = std::make_shared<trelmon::HitList>();
    PyObject* hits_fast = PySequence_Fast(hits_seq, "hits must be a sequence");
    if (hits_fast == nullptr) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(hits_fast); ++i) {
        Hit hit;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(hits_fast, i), "iddd", &hit.id, &hit.x,
                              &hit.y, &hit.z)) {
            Py_DECREF(hits_fast);
            return false;
        }
        hits->push_back(hit);
    }
    Py_DECREF(hits_fast);
    PyObject* modules_fast = PySequence_Fast(modules_seq, "modules must be a sequence");
    if (modules_fast == nullptr) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(modules_fast); ++i) {
        unsigned int number = 0;
        Py_ssize_t start = 0;
        Py_ssize_t end = 0;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(modules_fast, i), "Inn", &number, &start,
                              &end)) {
            Py_DECREF(modules_fast);
            return false;
        }
        input.modules.push_back(trelmon::make_module(number, 0.0, static_cast<std::size_t>(start),
                                                     static_cast<std::size_t>(end), hits));
    }
    Py_DECREF(modules_fast);
    return true;
}

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

// solve(hits, modules, max_scatter, min_strong_track_length, allowed_missed_modules)
// -> [(ids, missed_last_module, missed_penultimate_module, missed_count), ...]
PyObject* probe_solve(PyObject*, PyObject* args) {
    PyObject* hits = nullptr;
    PyObject* modules = nullptr;
    trelmon::SearchByTripletTrieParams params;
    unsigned long long strong = 0;
    unsigned long long allowed = 0;
    if (!PyArg_ParseTuple(args, "OOdKK", &hits, &modules, &params.max_scatter, &strong, &allowed)) {
        return nullptr;
    }
    params.min_strong_track_length = strong;
    params.allowed_missed_modules = allowed;
    return trelmon::py::guarded([&]() -> PyObject* {
        Input input;
        if (!read_input(hits, modules, input)) {
            return nullptr;
        }
        const auto tracks = trelmon::solve_modules(params, input.modules);
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

// tries(hits, modules, max_scatter): the finder's tries, slot by slot.
PyObject* probe_tries(PyObject*, PyObject* args) {
    PyObject* hits = nullptr;
    PyObject* modules = nullptr;
    trelmon::SearchByTripletTrieParams params;
    if (!PyArg_ParseTuple(args, "OOd", &hits, &modules, &params.max_scatter)) {
        return nullptr;
    }
    return trelmon::py::guarded([&]() -> PyObject* {
        Input input;
        if (!read_input(hits, modules, input)) {
            return nullptr;
        }
        return tries_to_python(trelmon::triplet_tries(params, input.modules));
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
std::vector<std::optional<std::vector<Triplet>>> full_scan_tries(double max_scatter,
                                                                 std::span<const Module> modules) {
    struct Station {
        std::uint32_t number;
        std::span<const Hit> hits;
    };
    std::vector<Station> stations;
    for (std::size_t m = 0; m + 1 < modules.size(); m += 2) {
        const std::size_t start = modules[m].hit_start_index;
        const std::size_t end = std::max(start, modules[m + 1].hit_end_index);
        stations.push_back(
            {modules[m].module_number >> 1,
             std::span<const Hit>(modules[m].global_hits->data() + start, end - start)});
    }
    std::vector<std::optional<std::vector<Triplet>>> slots(26);
    const std::size_t h = stations.size();
    if (h < 3) {
        return slots;
    }
    for (std::size_t s = h - 1; s >= 2; --s) {
        const std::uint32_t b_number = stations[s - 1].number;
        const std::size_t c_position = b_number == 0 ? 0 : b_number - 1;
        if (c_position >= h) {
            continue;
        }
        // Insertion-ordered two-level map, keyed by id: (a, [(b, c, scatter)]).
        std::vector<std::pair<Hit, std::vector<Triplet>>> trie;
        for (const Hit& a : stations[s].hits) {
            for (const Hit& b : stations[s - 1].hits) {
                const Hit* best = nullptr;
                double best_scatter = max_scatter;
                for (const Hit& c : stations[c_position].hits) {
                    const double value = scatter(a, b, c);
                    if (value < best_scatter) {
                        best_scatter = value;
                        best = &c;
                    }
                }
                if (best == nullptr) {
                    continue;
                }
                auto group = trie.begin();
                while (group != trie.end() && group->first.id != a.id) {
                    ++group;
                }
                if (group == trie.end()) {
                    trie.emplace_back(a, std::vector<Triplet>{});
                    group = trie.end() - 1;
                }
                auto entry = group->second.begin();
                while (entry != group->second.end() && entry->b.id != b.id) {
                    ++entry;
                }
                if (entry == group->second.end()) {
                    group->second.push_back(Triplet{group->first, b, *best, best_scatter});
                } else {
                    entry->c = *best;
                    entry->scatter = best_scatter;
                }
            }
        }
        if (stations[s].number < 26) {
            auto& rows = slots[stations[s].number].emplace();
            for (const auto& group : trie) {
                rows.insert(rows.end(), group.second.begin(), group.second.end());
            }
        }
    }
    return slots;
}

PyObject* probe_full_scan_tries(PyObject*, PyObject* args) {
    PyObject* hits = nullptr;
    PyObject* modules = nullptr;
    double max_scatter = 0.0;
    if (!PyArg_ParseTuple(args, "OOd", &hits, &modules, &max_scatter)) {
        return nullptr;
    }
    return trelmon::py::guarded([&]() -> PyObject* {
        Input input;
        if (!read_input(hits, modules, input)) {
            return nullptr;
        }
        return tries_to_python(full_scan_tries(max_scatter, input.modules));
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
