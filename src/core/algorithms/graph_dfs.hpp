// Segment graph search: hit pairs on two modules become segments, segments that continue each
// other on a straight line are linked, and every root segment heavy enough yields the shortest
// chain below it as a track.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "algorithms/parameters.hpp"
#include "event_model/event.hpp"
#include "event_model/track.hpp"

namespace trelmon {

struct GraphDFSParams {
    // Exclusive bounds on a segment's |dx/dz| and |dy/dz| (dimensionless; x, then y).
    std::pair<double, double> max_slopes{0.7, 0.7};
    // Exclusive bounds on the |x| and |y| distance of a linked segment's lower hit from the
    // line through the upper segment (mm).
    std::pair<double, double> max_tolerance{0.4, 0.4};
    // Exclusive bound on a link's scatter, the distances squared over the squared z step
    // (dimensionless).
    double max_scatter = 0.4;
    // Smallest weight a root segment needs to yield a track (a chain length in segments).
    std::int32_t minimum_root_weight = 1;
    // Rounds of weight propagation along the links (a count).
    std::int32_t weight_assignment_iterations = 2;
    // Modules a segment may skip between its two hits, counted in steps of one module (or two
    // without cross tracks); negative allows no segment (a module count).
    std::int32_t allowed_skip_modules = 1;
    // Whether a segment may join neighbouring modules, which sit on opposite sides; without it a
    // segment joins only modules on the same side, two apart.
    bool allow_cross_track = true;
    // Whether a track of three hits or fewer that shares a hit with a longer track is dropped.
    bool clone_ghost_killing = true;

    static constexpr auto parameters() {
        using P = GraphDFSParams;
        return std::tuple{
            Parameter{"max_slopes", &P::max_slopes},
            Parameter{"max_tolerance", &P::max_tolerance},
            Parameter{"max_scatter", &P::max_scatter},
            Parameter{"minimum_root_weight", &P::minimum_root_weight},
            Parameter{"weight_assignment_iterations", &P::weight_assignment_iterations},
            Parameter{"allowed_skip_modules", &P::allowed_skip_modules},
            Parameter{"allow_cross_track", &P::allow_cross_track},
            Parameter{"clone_ghost_killing", &P::clone_ghost_killing}};
    }
};

// Never throws on a valid event (only std::bad_alloc). Tracks come out in ascending root
// segment order; each runs from the root's upper hit down the shortest chain, ties going to the
// first chain in successor order.
std::vector<Track> solve(const GraphDFSParams& params, const Event& event);

// The segments solve builds for the event: the measure of its work.
std::size_t count_segments(const GraphDFSParams& params, const Event& event);

}  // namespace trelmon
