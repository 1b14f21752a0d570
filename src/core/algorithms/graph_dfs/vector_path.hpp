// The four-lane paths of the segment and link stages: built for x86-64 with GCC or Clang, taken
// only where the CPU has AVX2. Each lane does the very operations of the baseline path in the
// same order, so both paths give the same values and the same segments, links and tracks.
#pragma once

#include "algorithms/common/avx2.hpp"

namespace trelmon::graph_dfs {

// Whether the four-lane paths run.
bool four_lanes();

// With `on`, the baseline paths run even where the CPU has AVX2, so that tests can compare the
// two. Process-wide; meant for tests only.
void use_baseline_paths(bool on);

}  // namespace trelmon::graph_dfs
