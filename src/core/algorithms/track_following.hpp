// Track following: seeds a track from a pair of hits two modules apart, extends it module by
// module towards module 0 by straight-line extrapolation, and keeps the tracks long enough.
#pragma once

#include <cstdint>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "algorithms/parameters.hpp"
#include "event_model/event.hpp"
#include "event_model/hit.hpp"
#include "event_model/module.hpp"
#include "event_model/track.hpp"

namespace trelmon {

struct TrackFollowingParams {
    // Exclusive bounds on a seed pair's |dx/dz| and |dy/dz| (dimensionless; x, then y).
    std::pair<double, double> max_slopes{0.7, 0.7};
    // Exclusive bounds on a candidate's |x| and |y| distance from the extrapolated line (mm).
    std::pair<double, double> max_tolerance{0.4, 0.4};
    // Exclusive bound on a candidate's scatter, its distances squared over the squared z step
    // from the track's last hit (dimensionless).
    double max_scatter = 0.4;
    // Fewest hits a weak track needs to be kept (a hit count).
    std::uint8_t min_track_length = 3;
    // Fewest hits that make a track strong (a hit count).
    std::uint8_t min_strong_track_length = 4;

    static constexpr auto parameters() {
        using P = TrackFollowingParams;
        return std::tuple{Parameter{"max_slopes", &P::max_slopes},
                          Parameter{"max_tolerance", &P::max_tolerance},
                          Parameter{"max_scatter", &P::max_scatter},
                          Parameter{"min_track_length", &P::min_track_length},
                          Parameter{"min_strong_track_length", &P::min_strong_track_length}};
    }
};

// Seed test: slopes dx/dz and dy/dz of the pair strictly below max_slopes. NaN gives false.
bool are_compatible(const TrackFollowingParams& params, const Hit& hit0, const Hit& hit1) noexcept;

// Extension test: hit2 against the line through hit0 and hit1. NaN gives false.
bool check_tolerance(const TrackFollowingParams& params, const Hit& hit0, const Hit& hit1,
                     const Hit& hit2) noexcept;

// Tracks of one event: strong tracks in the order found, then the accepted weak tracks (fewer
// than four modules give no track).
std::vector<Track> solve(const TrackFollowingParams& params, const Event& event);

// How many seed partners the seed filter screens at a time: the widest the CPU offers, two, or
// one. Every choice gives the same tracks; the narrower ones are there so that tests run each.
enum class SeedLanes : std::uint8_t { kWidest, kTwo, kOne };

std::vector<Track> solve(const TrackFollowingParams& params, const Event& event, SeedLanes lanes);

}  // namespace trelmon
