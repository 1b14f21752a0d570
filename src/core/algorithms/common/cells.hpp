// The grid-cell look-up every finder's candidate grids use.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace trelmon {

// t clamped to [0, last] and truncated; NaN gives 0. Monotone in t, so every value of a window
// [lo, hi] falls in cells clamped_cell(lo) .. clamped_cell(hi). `last` is at most 2^31 - 1.
// Without a branch: look-ups far off a grid are common, and a mispredicted jump costs more than
// the clamp.
inline std::uint32_t clamped_cell(double t, double last) noexcept {
#if defined(__SSE2__)
    // maxsd returns its second operand for NaN; compilers tend to branch on the ternary.
    const __m128d low = _mm_max_sd(_mm_set_sd(t), _mm_setzero_pd());
    return static_cast<std::uint32_t>(_mm_cvttsd_si32(_mm_min_sd(low, _mm_set_sd(last))));
#else
    const double low = t > 0.0 ? t : 0.0;
    return static_cast<std::uint32_t>(low < last ? low : last);
#endif
}

}  // namespace trelmon
