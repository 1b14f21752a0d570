// The screen of a run of predictions against a plane of third hits: which second hits predict a
// point inside the plane's box and in an occupied cell. It runs for every candidate pair and
// third plane, so it works on several second hits at once; every path computes each prediction
// and cell by the very operations the scalar code uses (a multiply, then an add; no fused
// multiply-add), so all paths pass the same second hits.
#pragma once

#include <cstdint>

#include "algorithms/search_by_triplet_trie/candidate_index.hpp"

namespace trelmon::sbt {

// Second hits j < n at (bx[j], by[j]) on a plane with r = 1 / (its z - az), predicting from the
// first hit (ax, ay, az) the point (ax + ((bx[j] - ax) * r) * d, ay + ((by[j] - ay) * r) * d) on
// `plane`, d = the plane's z - az. The wide paths read the second hits in whole steps: past n, up
// to n rounded up to a multiple of kScreenStep, they must be NaN, which no screen passes.
inline constexpr std::uint32_t kScreenStep = 4;

struct ScreenInput {
    const CandidateIndex::Plane* plane = nullptr;
    const std::uint32_t* occupancy = nullptr;  // the plane's bits, CandidateIndex::occupancy
    double ax = 0.0, ay = 0.0, r = 0.0, d = 0.0;
    const double* bx = nullptr;
    const double* by = nullptr;
    std::uint32_t n = 0;
};

// Writes the j that pass, increasing, to passed and each one's cell to cells (both with room for
// n rounded up to kScreenStep entries); returns how many passed.
using ScreenFunction = std::uint32_t (*)(const ScreenInput& in, std::uint32_t* passed,
                                         std::uint32_t* cells);

// The fastest screen this processor runs, or with `baseline` the one every x86-64 processor
// runs (the plain scalar one elsewhere).
ScreenFunction screen_function(bool baseline = false);

}  // namespace trelmon::sbt
