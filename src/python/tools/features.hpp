// The function tables and classes of trelmon_tools._native, one per feature file; function
// tables end in an empty entry. module.cpp registers them in the order listed there.
#pragma once

#include "python/ref.hpp"

namespace trelmon::py {

PyMethodDef* event_batch_functions();       // event_batch.cpp
PyMethodDef* finder_parameter_functions();  // finder_parameters.cpp
PyMethodDef* generator_functions();         // generator.cpp
PyMethodDef* track_rebuild_functions();     // track_rebuild.cpp
PyMethodDef* truth_table_functions();       // truth_tables.cpp
PyMethodDef* validation_term_functions();   // validation_terms.cpp
PyMethodDef* work_count_functions();        // work_counts.cpp

PyTypeObject* scatter_window_following_type();  // scatter_window_following.cpp

}  // namespace trelmon::py
