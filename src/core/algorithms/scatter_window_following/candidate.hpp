// A track under construction: hit indices into the layout, in increasing z, and its fit quality.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "algorithms/scatter_window_following/params.hpp"

namespace trelmon::swf {

struct Candidate {
    std::vector<std::uint32_t> hits;  // increasing z
    double chi2 = 0.0;                // sum over the hits that were predicted
    std::uint32_t predicted = 0;      // hits whose chi2 is in the sum
    // Modules the line crosses inside their active area without a hit: between the track's
    // hits, and beyond its lower and upper end before following gave up.
    std::uint32_t missed = 0;
    std::uint32_t missed_below = 0;
    std::uint32_t missed_above = 0;
    // +1 when the particle flies towards increasing z (its line meets the beam below its hits),
    // -1 towards decreasing z, 0 for a line parallel to the beam.
    int outward = 0;

    // Whether the candidate can make a track at all. Three hits make a track only where the line
    // crosses few other modules' active areas without a hit: none at one end at least (where it
    // leaves the detector or meets the beam), and either none between the hits or none at both
    // ends. A chance alignment of three hits almost always crosses further modules on both sides.
    // A module skipped between the hits is allowed where the line leaves the detector at the
    // outer end right after: that is how the products of a decay inside the detector look, which
    // start from nothing at the inner end and may lose one hit on the way out; over the longer
    // lever arm a chance alignment is likelier, so the chi2 limit is max_chi2_three_hits_gap.
    // Their chi2 must also stay under max_chi2_three_hits.
    bool acceptable(const ScatterWindowFollowingParams& params) const noexcept {
        if (hits.size() != 3) {
            return hits.size() > 3;
        }
        if ((missed_below > 0 && missed_above > 0) || quality() > params.max_chi2_three_hits) {
            return false;
        }
        if (missed == 0) {
            return true;
        }
        const std::uint32_t missed_outer = outward > 0 ? missed_above : missed_below;
        return missed == 1 && outward != 0 && missed_outer == 0 &&
               quality() <= params.max_chi2_three_hits_gap;
    }

    double quality() const noexcept {
        return predicted > 0 ? chi2 / static_cast<double>(predicted) : 0.0;
    }
};

}  // namespace trelmon::swf
