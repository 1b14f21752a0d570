#include "algorithms/search_by_triplet_trie/screen.hpp"

#include <bit>
#include <cstdint>

#include "algorithms/common/avx2.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace trelmon::sbt {
namespace {

// One second hit at a time: the definition the wider paths follow.
[[maybe_unused]] std::uint32_t screen_plain(const ScreenInput& in, std::uint32_t* passed,
                                            std::uint32_t* cells) {
    const CandidateIndex::Plane& plane = *in.plane;
    std::uint32_t count = 0;
    for (std::uint32_t j = 0; j < in.n; ++j) {
        const double px = in.ax + ((in.bx[j] - in.ax) * in.r) * in.d;
        const double py = in.ay + ((in.by[j] - in.ay) * in.r) * in.d;
        // Clamped, so a cell of the plane even for a prediction outside the box.
        const std::uint32_t cell = CandidateIndex::cell(plane, px, py);
        const std::uint32_t occupied = (in.occupancy[cell >> 5] >> (cell & 31u)) & 1u;
        passed[count] = j;
        cells[count] = cell;
        count += (CandidateIndex::inside(plane, px, py) ? 1u : 0u) & occupied;
    }
    return count;
}

#if defined(__SSE2__)
// Two second hits at a time. The cells come out of the same clamp and truncation as
// clamped_cell (maxpd yields its second operand, zero, for NaN), and x cell * ny + y cell is
// formed in doubles, exactly: both are below 64.
std::uint32_t screen_sse2(const ScreenInput& in, std::uint32_t* passed, std::uint32_t* cells) {
    const CandidateIndex::Plane& plane = *in.plane;
    const __m128d ax = _mm_set1_pd(in.ax);
    const __m128d ay = _mm_set1_pd(in.ay);
    const __m128d r = _mm_set1_pd(in.r);
    const __m128d d = _mm_set1_pd(in.d);
    const __m128d x_lo = _mm_set1_pd(plane.x_lo);
    const __m128d x_hi = _mm_set1_pd(plane.x_hi);
    const __m128d y_lo = _mm_set1_pd(plane.y_lo);
    const __m128d y_hi = _mm_set1_pd(plane.y_hi);
    const __m128d inv_wx = _mm_set1_pd(plane.inv_wx);
    const __m128d inv_wy = _mm_set1_pd(plane.inv_wy);
    const __m128d last_x = _mm_set1_pd(plane.last_x);
    const __m128d last_y = _mm_set1_pd(plane.last_y);
    const __m128d ny = _mm_set1_pd(static_cast<double>(plane.ny));
    const __m128d zero = _mm_setzero_pd();
    const std::uint32_t* occupancy = in.occupancy;
    std::uint32_t count = 0;
    for (std::uint32_t j = 0; j < in.n; j += 2) {
        const __m128d sx = _mm_mul_pd(_mm_sub_pd(_mm_loadu_pd(in.bx + j), ax), r);
        const __m128d sy = _mm_mul_pd(_mm_sub_pd(_mm_loadu_pd(in.by + j), ay), r);
        const __m128d px = _mm_add_pd(ax, _mm_mul_pd(sx, d));
        const __m128d py = _mm_add_pd(ay, _mm_mul_pd(sy, d));
        const __m128d inside =
            _mm_and_pd(_mm_and_pd(_mm_cmpge_pd(px, x_lo), _mm_cmple_pd(px, x_hi)),
                       _mm_and_pd(_mm_cmpge_pd(py, y_lo), _mm_cmple_pd(py, y_hi)));
        const __m128d tx =
            _mm_min_pd(_mm_max_pd(_mm_mul_pd(_mm_sub_pd(px, x_lo), inv_wx), zero), last_x);
        const __m128d ty =
            _mm_min_pd(_mm_max_pd(_mm_mul_pd(_mm_sub_pd(py, y_lo), inv_wy), zero), last_y);
        const __m128d cx = _mm_cvtepi32_pd(_mm_cvttpd_epi32(tx));
        const __m128d cy = _mm_cvtepi32_pd(_mm_cvttpd_epi32(ty));
        const __m128i cell = _mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(cx, ny), cy));
        const auto mask = static_cast<std::uint32_t>(_mm_movemask_pd(inside));
        const auto c0 = static_cast<std::uint32_t>(_mm_cvtsi128_si32(cell));
        const auto c1 = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(cell, 1)));
        passed[count] = j;
        cells[count] = c0;
        count += mask & (occupancy[c0 >> 5] >> (c0 & 31u)) & 1u;
        passed[count] = j + 1;
        cells[count] = c1;
        count += (mask >> 1) & (occupancy[c1 >> 5] >> (c1 & 31u)) & 1u;
    }
    return count;
}
#endif

#if TRELMON_AVX2
// Four second hits at a time, the occupancy bits gathered. Few predictions pass, so the passing
// ones are picked out of the mask one by one.
__attribute__((target("avx2"))) std::uint32_t screen_avx2(const ScreenInput& in,
                                                          std::uint32_t* passed,
                                                          std::uint32_t* cells) {
    const CandidateIndex::Plane& plane = *in.plane;
    const __m256d ax = _mm256_set1_pd(in.ax);
    const __m256d ay = _mm256_set1_pd(in.ay);
    const __m256d r = _mm256_set1_pd(in.r);
    const __m256d d = _mm256_set1_pd(in.d);
    const __m256d x_lo = _mm256_set1_pd(plane.x_lo);
    const __m256d x_hi = _mm256_set1_pd(plane.x_hi);
    const __m256d y_lo = _mm256_set1_pd(plane.y_lo);
    const __m256d y_hi = _mm256_set1_pd(plane.y_hi);
    const __m256d inv_wx = _mm256_set1_pd(plane.inv_wx);
    const __m256d inv_wy = _mm256_set1_pd(plane.inv_wy);
    const __m256d last_x = _mm256_set1_pd(plane.last_x);
    const __m256d last_y = _mm256_set1_pd(plane.last_y);
    const __m256d zero = _mm256_setzero_pd();
    const __m128i ny = _mm_set1_epi32(static_cast<int>(plane.ny));
    const __m128i low_bits = _mm_set1_epi32(31);
    const auto* occupancy = reinterpret_cast<const int*>(in.occupancy);
    std::uint32_t count = 0;
    for (std::uint32_t j = 0; j < in.n; j += 4) {
        const __m256d sx = _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(in.bx + j), ax), r);
        const __m256d sy = _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(in.by + j), ay), r);
        const __m256d px = _mm256_add_pd(ax, _mm256_mul_pd(sx, d));
        const __m256d py = _mm256_add_pd(ay, _mm256_mul_pd(sy, d));
        const __m256d inside = _mm256_and_pd(
            _mm256_and_pd(_mm256_cmp_pd(px, x_lo, _CMP_GE_OQ), _mm256_cmp_pd(px, x_hi, _CMP_LE_OQ)),
            _mm256_and_pd(_mm256_cmp_pd(py, y_lo, _CMP_GE_OQ),
                          _mm256_cmp_pd(py, y_hi, _CMP_LE_OQ)));
        const __m128i cx = _mm256_cvttpd_epi32(_mm256_min_pd(
            _mm256_max_pd(_mm256_mul_pd(_mm256_sub_pd(px, x_lo), inv_wx), zero), last_x));
        const __m128i cy = _mm256_cvttpd_epi32(_mm256_min_pd(
            _mm256_max_pd(_mm256_mul_pd(_mm256_sub_pd(py, y_lo), inv_wy), zero), last_y));
        const __m128i cell = _mm_add_epi32(_mm_mullo_epi32(cx, ny), cy);
        const __m128i words = _mm_i32gather_epi32(occupancy, _mm_srli_epi32(cell, 5), 4);
        // The cell's bit moved to the sign, where movemask reads it.
        const __m128i bit =
            _mm_slli_epi32(_mm_srlv_epi32(words, _mm_and_si128(cell, low_bits)), 31);
        auto mask = static_cast<std::uint32_t>(_mm256_movemask_pd(inside) &
                                               _mm_movemask_ps(_mm_castsi128_ps(bit)));
        if (mask != 0) {
            alignas(16) std::uint32_t lane_cells[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(lane_cells), cell);
            do {
                const auto lane = static_cast<std::uint32_t>(std::countr_zero(mask));
                passed[count] = j + lane;
                cells[count] = lane_cells[lane];
                ++count;
                mask &= mask - 1;
            } while (mask != 0);
        }
    }
    return count;
}
#endif

}  // namespace

ScreenFunction screen_function(bool baseline) {
#if TRELMON_AVX2
    if (cpu_has_avx2() && !baseline) {
        return screen_avx2;
    }
#endif
#if defined(__SSE2__)
    (void)baseline;
    return screen_sse2;
#else
    (void)baseline;
    return screen_plain;
#endif
}

}  // namespace trelmon::sbt
