// The function tables of trelmon_tools._native, one per feature file, each ending in an empty
// entry. module.cpp registers them in the order listed there.
#pragma once

#include "python/ref.hpp"

namespace trelmon::py {

PyMethodDef* finder_parameter_functions();          // finder_parameters.cpp
PyMethodDef* generator_functions();                 // generator.cpp
PyMethodDef* scatter_window_following_functions();  // scatter_window_following.cpp
PyMethodDef* track_rebuild_functions();             // track_rebuild.cpp
PyMethodDef* truth_table_functions();               // truth_tables.cpp

}  // namespace trelmon::py
