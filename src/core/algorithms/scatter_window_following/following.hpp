// Stage 3, following: a candidate grows module by module in one direction.
//
// Input: a candidate of at least two hits, the hits already taken by accepted tracks, and a
// direction (-1 towards lower z, +1 towards higher z).
// Output: the same candidate with hits added at that end, each the free hit of lowest chi2 on
// its module, under max_chi2, against the line through the candidate's two end hits.
// Invariants: hits stay in increasing z, at most one per module; the candidate ends after
// max_missed_modules modules in a row that the line crosses (inside their active area) without a
// hit, or when the line leaves the detector outwards. A module whose window holds only taken hits
// is not counted as missed.
#pragma once

#include <vector>

#include "algorithms/scatter_window_following/candidate.hpp"
#include "algorithms/scatter_window_following/layout.hpp"
#include "algorithms/scatter_window_following/params.hpp"
#include "algorithms/scatter_window_following/windows.hpp"

namespace trelmon::swf {

void follow(const Layout& layout, const ScatterWindowFollowingParams& params,
            const Scatter& scatter, const std::vector<std::uint8_t>& used, Candidate& candidate,
            int direction);

}  // namespace trelmon::swf
