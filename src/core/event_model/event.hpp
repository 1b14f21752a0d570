// One recorded collision: the hits of the 52 modules and the modules themselves. The Monte
// Carlo record stays on the Python side; the native event never refers to Python objects.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "event_model/module.hpp"

namespace trelmon {

inline constexpr std::size_t kNumberOfModules = 52;

// What every Event guarantees, and what the finders' solve(params, event) rely on: build_event
// refuses prefix sums that decrease or lay out fewer hits than their last entry, so
// - there are kNumberOfModules modules and module m has number m;
// - module_prefix_sum[0] is 0 (or the event has no hits) and the entries never decrease;
// - module m holds positions module_prefix_sum[m] .. module_prefix_sum[m + 1] - 1 of `hits`,
//   so module ranges are ordered by module number and never overlap;
// - the hit at position k has id k: ids are dense and distinct.
struct Event {
    std::string description;
    std::vector<std::size_t> module_prefix_sum;
    std::size_t number_of_hits = 0;
    std::vector<std::vector<double>> module_zs;  // distinct z values, in order of first appearance
    SharedHits hits;                             // never null; shared with every module
    std::vector<Module> modules;
};

// The coordinate columns of an event dictionary, already converted.
struct EventColumns {
    std::string description;
    std::vector<std::size_t> module_prefix_sum;
    std::vector<double> x;
    std::vector<double> y;
    std::vector<double> z;
    std::optional<std::vector<double>> t;
};

// Builds an event module by module. Throws Error(Value) for prefix sums or coordinate lists
// that are too short and for a module range beyond the hits built. A module without hits has
// z NaN.
Event build_event(EventColumns columns);

}  // namespace trelmon
