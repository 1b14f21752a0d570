// Scatter-window following: a track finder whose every compatibility test is a chi2 with the hit
// resolution and the multiple scattering expected for the track's slope.
//
// The stages, each in its own file: layout (learn the modules from the event), seeding (best
// triplet from a hit), following (extend module by module), selection (resolve shared hits by
// quality) and gap filling (interpolate between a track's hits). A first pass seeds only lines
// that point to the beam line; a second pass seeds freely on the hits left over.
#pragma once

#include <vector>

#include "algorithms/scatter_window_following/params.hpp"
#include "event_model/event.hpp"
#include "event_model/track.hpp"

namespace trelmon {

// Tracks of one event, in the order accepted: first pass, second pass; each track's hits in
// increasing z. Deterministic: depends on the event's hits only.
std::vector<Track> solve(const ScatterWindowFollowingParams& params, const Event& event);

}  // namespace trelmon
