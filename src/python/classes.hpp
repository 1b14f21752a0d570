// The module's Python classes. Each type object is created on first use and kept for the life
// of the process.
#pragma once

#include "python/ref.hpp"

#include "event_model/event.hpp"

namespace trelmon::py {

PyTypeObject* hit_type();
PyTypeObject* track_type();
PyTypeObject* module_type();
PyTypeObject* event_type();
PyTypeObject* track_following_type();
PyTypeObject* graph_dfs_type();
PyTypeObject* search_by_triplet_trie_type();

// A new Event of class `type` (event_type() or a subclass) holding `native` and, as its
// "montecarlo", `montecarlo` (borrowed; a new reference is kept).
PyObject* new_event(PyTypeObject* type, Event native, PyObject* montecarlo);

// The native event of a Python Event, read in place; the argument TypeError otherwise.
const Event& event_arg(PyObject* object, const char* argument);

}  // namespace trelmon::py
