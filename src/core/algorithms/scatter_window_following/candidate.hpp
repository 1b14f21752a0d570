// A track under construction: hit indices into the layout, in increasing z, and its fit quality.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

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

    // Whether the candidate can make a track at all. Three hits make a track only where the line
    // crosses few other modules' active areas without a hit: none at one end at least (where it
    // leaves the detector or meets the beam), and either none between the hits or none at both
    // ends. A chance alignment of three hits almost always crosses further modules on both sides.
    // Their chi2 must also stay under max_chi2_three_hits.
    bool acceptable(double max_chi2_three_hits) const noexcept {
        if (hits.size() != 3) {
            return hits.size() > 3;
        }
        if ((missed_below > 0 && missed_above > 0) || quality() > max_chi2_three_hits) {
            return false;
        }
        return missed == 0 || (missed == 1 && missed_below == 0 && missed_above == 0);
    }

    double quality() const noexcept {
        return predicted > 0 ? chi2 / static_cast<double>(predicted) : 0.0;
    }
};

}  // namespace trelmon::swf
