// Track following: seeds a track from a pair of hits two modules apart, extends it module by
// module towards module 0 by straight-line extrapolation, and keeps the tracks long enough.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "event_model/event.hpp"
#include "event_model/hit.hpp"
#include "event_model/module.hpp"
#include "event_model/track.hpp"

namespace trelmon {

struct TrackFollowingParams {
    std::pair<double, double> max_slopes{0.7, 0.7};
    std::pair<double, double> max_tolerance{0.4, 0.4};
    double max_scatter = 0.4;
    std::uint8_t min_track_length = 3;
    std::uint8_t min_strong_track_length = 4;
};

// Seed test: slopes dx/dz and dy/dz of the pair strictly below max_slopes. NaN gives false.
bool are_compatible(const TrackFollowingParams& params, const Hit& hit0, const Hit& hit1) noexcept;

// Extension test: hit2 against the line through hit0 and hit1. NaN gives false.
bool check_tolerance(const TrackFollowingParams& params, const Hit& hit0, const Hit& hit1,
                     const Hit& hit2) noexcept;

// Tracks of one event: strong tracks in the order found, then the accepted weak tracks.
std::vector<Track> solve(const TrackFollowingParams& params, const Event& event);

// The same over any sequence of modules (fewer than four modules give no track).
std::vector<Track> solve_modules(const TrackFollowingParams& params,
                                 std::span<const Module> modules);

}  // namespace trelmon
