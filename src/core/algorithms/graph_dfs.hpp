// Segment graph search: hit pairs on two modules become segments, segments that continue each
// other on a straight line are linked, and every root segment heavy enough yields the shortest
// chain below it as a track.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "event_model/event.hpp"
#include "event_model/track.hpp"

namespace trelmon {

struct GraphDFSParams {
    std::pair<double, double> max_slopes{0.7, 0.7};
    std::pair<double, double> max_tolerance{0.4, 0.4};
    double max_scatter = 0.4;
    std::int32_t minimum_root_weight = 1;
    std::int32_t weight_assignment_iterations = 2;
    std::int32_t allowed_skip_modules = 1;
    bool allow_cross_track = true;
    bool clone_ghost_killing = true;
};

// Never throws on a valid event (only std::bad_alloc). Tracks come out in ascending root
// segment order; each runs from the root's upper hit down the shortest chain, ties going to the
// first chain in successor order.
std::vector<Track> solve(const GraphDFSParams& params, const Event& event);

}  // namespace trelmon
