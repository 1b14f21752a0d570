// Stage 4, selection: candidates that claim the same hits are resolved by quality.
//
// Input: one pass's candidates, in the order they were built, and the hits taken so far.
// Output: the accepted candidates appended to `accepted`, their hits marked taken.
// Invariants: candidates are judged longest first, then by lowest chi2 per predicted hit, then
// in build order; a candidate is accepted when none of its hits is taken, or when one is and
// the rest still makes a track (it then gives that hit up). No hit ever belongs to two tracks.
//
// Stage 5, gap filling: each candidate looks for a free hit on the modules between two of its
// hits that it has none on, by interpolation between those two hits (a much narrower window than
// any extrapolation), and takes the best one under max_chi2. Runs on every candidate before
// selection, so that quality compares complete tracks; selection then settles hits that two
// candidates filled in.
#pragma once

#include <cstdint>
#include <vector>

#include "algorithms/scatter_window_following/candidate.hpp"
#include "algorithms/scatter_window_following/layout.hpp"
#include "algorithms/scatter_window_following/params.hpp"
#include "algorithms/scatter_window_following/windows.hpp"

namespace trelmon::swf {

void select_by_quality(std::vector<Candidate>& candidates,
                       const ScatterWindowFollowingParams& params, std::vector<std::uint8_t>& taken,
                       std::vector<Candidate>& accepted);

void fill_gaps(const Layout& layout, const ScatterWindowFollowingParams& params,
               const Scatter& scatter, const std::vector<std::uint8_t>& taken, Candidate& track);

}  // namespace trelmon::swf
