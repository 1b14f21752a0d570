#include "algorithms/graph_dfs/segment_blocks.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "algorithms/cancel.hpp"
#include "algorithms/graph_dfs/pass_bits.hpp"
#include "algorithms/graph_dfs/vector_path.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace trelmon::graph_dfs {
namespace {

// The first position p in [lo, hi) where !goes_right(p), or hi; goes_right holds on a prefix of
// the range, so the answer is unique and searching outwards from `hint` (any position) finds
// the one a plain binary search finds, in fewer steps when the hint is near.
template <typename GoesRight>
Pos partition_near(Pos lo, Pos hi, Pos hint, GoesRight&& goes_right) {
    if (hint >= lo && hint < hi) {
        Pos step = 1;
        if (goes_right(hint)) {
            lo = hint + 1;
            for (Pos p = lo; p < hi && goes_right(p); p = lo + step - 1) {
                lo = p + 1;
                step *= 2;
            }
            hi = std::min(hi, lo + step - 1);
        } else {
            hi = hint;
            for (Pos p = hi - 1; p >= lo && !goes_right(p); p = hi - step) {
                hi = p;
                step *= 2;
            }
            lo = std::max(lo, hi - step + 1);
        }
    }
    while (lo < hi) {
        const Pos mid = lo + (hi - lo) / 2;
        if (goes_right(mid)) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

// The first run of hits of module range r inside the x window of the hit at g.
WindowEntry find_window(const HitLayout& layout, std::int32_t module, Pos g, double slope_x,
                        SegmentBlocks::SearchHints& hints) {
    const ModuleRange& r = layout.ranges[static_cast<std::size_t>(module)];
    WindowEntry w{module, kNone, kNone};
    if (!r.any_z)
        return w;  // every z is NaN: nothing is inside
    const double hx = layout.x[static_cast<std::size_t>(g)];
    const double hz = layout.z[static_cast<std::size_t>(g)];
    const double* xs = layout.x.data();
    const double* zs = layout.z.data();
    auto inside = [&](Pos q) { return std::fabs(zs[q] - hz) * slope_x > std::fabs(xs[q] - hx); };
    Pos q = r.begin;
    // With a finite z, no hit can be inside unless |x - hx| < bound, so the x order lets a
    // binary search skip the hits to the left and the scan stop on the right.
    const bool bounded = r.sorted && std::isfinite(hz);
    double bound = 0.0;
    if (bounded) {
        bound = std::max(std::fabs(r.z_max - hz), std::fabs(r.z_min - hz)) * slope_x;
        q = partition_near(r.begin, r.finite_x_end, hints.left,
                           [&](Pos mid) { return !(hx - xs[mid] < bound); });
        hints.left = q;
    }
    // Every hit with |x - hx| < sure is inside: its z is no nearer than the module's nearest z.
    double sure = 0.0;
    if (bounded && r.all_z && slope_x > 0) {
        if (hz > r.z_max) {
            sure = (hz - r.z_max) * slope_x;
        } else if (hz < r.z_min) {
            sure = (r.z_min - hz) * slope_x;
        }
    }
    for (; q < r.end; ++q) {
        if (w.first == kNone) {
            if (inside(q)) {
                w.first = q;
            } else if (bounded && !(xs[q] - hx < bound)) {
                return w;
            }
        } else if (xs[q] - hx < sure && hx - xs[q] < sure) {
            // The hits up to the last one this side of hx + sure are all inside.
            const Pos lo = partition_near(q + 1, r.finite_x_end, hints.sure,
                                          [&](Pos mid) { return xs[mid] - hx < sure; });
            hints.sure = lo;
            q = lo - 1;
        } else if (!inside(q)) {
            w.end = q;
            return w;
        }
    }
    if (w.first != kNone)
        w.end = r.end;
    return w;
}

// The window map of one upper hit, in insertion order: one entry per lower module, k = 0, 1, ...
void collect_windows(SegmentBlocks& sb, const HitLayout& layout, const GraphDFSParams& params,
                     std::int32_t upper, Pos g) {
    for (std::int64_t k = 0; k <= params.allowed_skip_modules; ++k) {
        const std::int64_t t = params.allow_cross_track ? upper - (k + 1) : upper - 2 * (k + 1);
        if (t < 0)
            break;  // t only falls with k
        const WindowEntry w =
            find_window(layout, static_cast<std::int32_t>(t), g, params.max_slopes.first,
                        sb.hints[static_cast<std::size_t>(t)]);
        sb.windows.push_back(w);
    }
}

#if TRELMON_AVX2
// The y cut of mark_y_cut for the hits from q on, four at a time, with the same operations;
// returns the first hit left.
[[gnu::target("avx2")]] Pos y_cut_avx2(const double* ys, const double* zs, double gy, double gz,
                                       double slope_y, Pos q, Pos word_start, Pos word_end,
                                       std::uint64_t& word) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d gy4 = _mm256_set1_pd(gy), gz4 = _mm256_set1_pd(gz);
    const __m256d slope4 = _mm256_set1_pd(slope_y);
    for (; q + 3 < word_end; q += 4) {
        const __m256d dz = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(zs + q), gz4));
        const __m256d dy = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(ys + q), gy4));
        // Ordered: false for NaN, as the comparisons below.
        const int passes =
            _mm256_movemask_pd(_mm256_cmp_pd(_mm256_mul_pd(dz, slope4), dy, _CMP_GT_OQ));
        word |= static_cast<std::uint64_t>(passes) << (q - word_start);
    }
    return q;
}
#endif

// Marks the window's hits that pass the y cut against the upper hit; returns how many do.
std::size_t mark_y_cut(SegmentBlocks& sb, const HitLayout& layout, const WindowEntry& w, Pos g,
                       double slope_y, [[maybe_unused]] bool vector) {
    const double gy = layout.y[static_cast<std::size_t>(g)];
    const double gz = layout.z[static_cast<std::size_t>(g)];
    const double* ys = layout.y.data();
    const double* zs = layout.z.data();
    std::size_t count = 0;
    for (Pos word_start = w.first; word_start < w.end; word_start += 64) {
        const Pos word_end = std::min<Pos>(word_start + 64, w.end);
        std::uint64_t word = 0;
        Pos q = word_start;
#if TRELMON_AVX2
        if (vector)
            q = y_cut_avx2(ys, zs, gy, gz, slope_y, q, word_start, word_end, word);
#endif
#if defined(__SSE2__)
        // Two hits at a time, with the same operations as below.
        const __m128d sign = _mm_set1_pd(-0.0);
        const __m128d gy2 = _mm_set1_pd(gy), gz2 = _mm_set1_pd(gz), slope2 = _mm_set1_pd(slope_y);
        for (; q + 1 < word_end; q += 2) {
            const __m128d dz = _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(zs + q), gz2));
            const __m128d dy = _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(ys + q), gy2));
            const int passes = _mm_movemask_pd(_mm_cmpgt_pd(_mm_mul_pd(dz, slope2), dy));
            word |= static_cast<std::uint64_t>(passes) << (q - word_start);
        }
#endif
        for (; q < word_end; ++q) {
            const bool passes = std::fabs(zs[q] - gz) * slope_y > std::fabs(ys[q] - gy);
            word |= std::uint64_t{passes} << (q - word_start);
        }
        sb.pass_rank.push_back(static_cast<std::uint32_t>(count));
        count += count_ones(word);
        sb.pass_bits.push_back(word);
    }
    return count;
}

// The module of each upper hit, and the slot table when there are at most 64 modules.
void assign_owners_and_slots(SegmentBlocks& sb, const HitLayout& layout,
                             const GraphDFSParams& params) {
    const std::size_t n = layout.x.size();
    const auto module_count = static_cast<std::int32_t>(layout.ranges.size());
    sb.owner.assign(n, -1);
    if (module_count >= 3 && params.allowed_skip_modules >= 0) {
        for (std::int32_t j = module_count - 1; j >= 2; --j) {
            const ModuleRange& r = layout.ranges[static_cast<std::size_t>(j)];
            for (Pos p = r.begin; p < r.end; ++p)
                sb.owner[static_cast<std::size_t>(p)] = j;  // module ranges are disjoint
        }
    }
    if (module_count > 64)
        return;
    sb.slot_mask.assign(n, 0);
    sb.slot_words = n / 64 + 2;
    sb.slot_count.assign(static_cast<std::size_t>(module_count), 0);
    sb.slot_stride = 0;
    sb.slot_module.resize(64 * static_cast<std::size_t>(module_count));
    // Modules 0 and 1 hold no upper hits.
    for (std::int32_t t = 2; t < module_count; ++t) {
        std::uint32_t& count = sb.slot_count[static_cast<std::size_t>(t)];
        for (std::int64_t k = 0; k <= params.allowed_skip_modules; ++k) {
            const std::int64_t lower = params.allow_cross_track ? t - (k + 1) : t - 2 * (k + 1);
            if (lower < 0)
                break;
            sb.slot_module[64 * static_cast<std::size_t>(t) + count++] =
                static_cast<std::int32_t>(lower);
        }
        sb.slot_stride = std::max<std::size_t>(sb.slot_stride, count);
    }
    sb.slot_bits.assign(sb.slot_words * sb.slot_stride, 0);
}

}  // namespace

void build_segments(SegmentBlocks& sb, const HitLayout& layout, const GraphDFSParams& params,
                    std::size_t limit) {
    const std::size_t n = layout.x.size();
    limit = std::min(limit, n);
    assign_owners_and_slots(sb, layout, params);
    sb.hints.assign(layout.ranges.size(), {});
    const bool slots = layout.ranges.size() <= 64;
    const bool vector = four_lanes();
    sb.block_begin.resize(n + 1);
    sb.blocks.clear();
    sb.pass_bits.clear();
    sb.pass_rank.clear();
    std::size_t segments = 0;
    for (std::size_t gi = 0; gi < n; ++gi) {
        throw_if_cancelled();
        sb.block_begin[gi] = static_cast<std::uint32_t>(sb.blocks.size());
        const auto g = static_cast<Pos>(gi);
        if (gi >= limit || sb.owner[gi] < 0)
            continue;
        sb.windows.clear();
        collect_windows(sb, layout, params, sb.owner[gi], g);
        for (std::size_t slot = 0; slot < sb.windows.size(); ++slot) {
            const WindowEntry& w = sb.windows[slot];
            if (w.first >= w.end)
                continue;
            const std::size_t bits = sb.pass_bits.size();
            const std::size_t count =
                mark_y_cut(sb, layout, w, g, params.max_slopes.second, vector);
            if (count == 0) {
                sb.pass_bits.resize(bits);
                sb.pass_rank.resize(bits);
                continue;
            }
            if (segments + count >= kNoSeg || bits >= std::numeric_limits<std::uint32_t>::max())
                throw std::bad_alloc();
            sb.blocks.push_back({w.module, w.first, w.end, g, static_cast<Seg>(segments),
                                 static_cast<std::uint32_t>(bits)});
            segments += count;
            if (slots) {
                sb.slot_mask[gi] |= std::uint64_t{1} << slot;
                sb.slot_bits[slot * sb.slot_words + gi / 64] |= std::uint64_t{1} << (gi % 64);
            }
        }
    }
    sb.block_begin[n] = static_cast<std::uint32_t>(sb.blocks.size());
    sb.segments = segments;
}

}  // namespace trelmon::graph_dfs
