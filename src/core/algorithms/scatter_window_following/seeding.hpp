// Stage 2, seeding: the best three-hit start of a track from a given first hit.
//
// Input: the first hit h0, the hits that are taken (by accepted tracks) or claimed (by this
// pass's candidates), and whether seeds must point to the beam line.
// Output: the triplet (h2, h1, h0) in increasing z with fewest missed modules, then lowest
// chi2, if any: h1 on one of h0's
// partner modules below it (the next two of each side, so seeds cross the halves and may skip
// one module), h2 the best hit under max_chi2 on the first module below h1 that has one, with
// at most one expected module missed in all, counting the modules between h1 and h0 that the
// line crosses inside their active area.
// Invariants: all three hits free and unclaimed; slopes within max_slope; for beam seeds, the
// line passes within max_beam_distance of the beam line (x = y = 0) in the transverse plane.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "algorithms/scatter_window_following/candidate.hpp"
#include "algorithms/scatter_window_following/layout.hpp"
#include "algorithms/scatter_window_following/params.hpp"
#include "algorithms/scatter_window_following/windows.hpp"

namespace trelmon::swf {

std::optional<Candidate> best_seed(const Layout& layout, const ScatterWindowFollowingParams& params,
                                   const Scatter& scatter, const std::vector<std::uint8_t>& busy,
                                   std::uint32_t h0, bool beam_seeds);

}  // namespace trelmon::swf
