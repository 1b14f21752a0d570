// GraphDFS stage 1, the hit layout: the event's hits copied into coordinate columns, each
// module's hits in x order, with the facts about each module that the later stages read.
//
// Hands on: position p of the columns holds hit order[p] of the event; module m occupies
// positions ranges[m].begin .. ranges[m].end - 1 (the event's own range, so ranges are ordered
// and disjoint); within it the hits with a number for x come first, ascending (ties in event
// order), and the NaN ones last. Nothing later reorders or resizes the columns.
#pragma once

#include <cstdint>
#include <vector>

#include "event_model/hit.hpp"
#include "event_model/module.hpp"

namespace trelmon::graph_dfs {

using Pos = std::int32_t;  // a position in the x-sorted hit list
constexpr Pos kNone = -1;

struct ModuleRange {
    Pos begin = 0;
    Pos end = 0;
    Pos finite_x_end = 0;  // NaN x values sort last; [begin, finite_x_end) is ordered by x
    // In x order once every module is sorted.
    bool sorted = false;
    bool any_z = false;  // some hit has a z that is not NaN
    bool all_z = false;  // no hit has a NaN z
    double z_min = 0.0;
    double z_max = 0.0;
    bool finite_z = false;  // z_min and z_max finite: every z lies within z_mid +- z_half
    double z_mid = 0.0;
    double z_half = 0.0;
};

struct HitLayout {
    std::vector<std::uint32_t> order;  // position -> index in the event's hit list
    std::vector<double> x, y, z;
    std::vector<ModuleRange> ranges;  // by module
    // Scratch: one module's x values and hit indices, while it is sorted.
    struct Key {
        double x;
        std::uint32_t index;
    };
    std::vector<Key> keys;
};

void lay_out_hits(HitLayout& layout, const HitList& hits, const std::vector<Module>& modules);

// Largest finite coordinate magnitude, at least 1: the scale of the rounding margins.
double coordinate_scale(const HitLayout& layout);

}  // namespace trelmon::graph_dfs
