#include "algorithms/track_following.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "algorithms/common/avx2.hpp"
#include "algorithms/common/cells.hpp"
#include "algorithms/common/planes.hpp"
#include "algorithms/common/rounding.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "algorithms/cancel.hpp"

namespace trelmon {

bool are_compatible(const TrackFollowingParams& params, const Hit& hit0, const Hit& hit1) noexcept {
    const double dz = std::fabs(hit0.z - hit1.z);
    return std::fabs(hit1.x - hit0.x) < params.max_slopes.first * dz &&
           std::fabs(hit1.y - hit0.y) < params.max_slopes.second * dz;
}

bool check_tolerance(const TrackFollowingParams& params, const Hit& hit0, const Hit& hit1,
                     const Hit& hit2) noexcept {
    const double dz01 = hit1.z - hit0.z;
    const double dz12 = hit2.z - hit1.z;
    if (dz01 == 0.0 || dz12 == 0.0) {
        return false;
    }
    const double r = 1.0 / dz01;
    const double tx = r * (hit1.x - hit0.x);
    const double ty = r * (hit1.y - hit0.y);
    const double d = hit2.z - hit0.z;
    const double px = d * tx + hit0.x;
    const double py = d * ty + hit0.y;
    const double dx = std::fabs(px - hit2.x);
    const double dy = std::fabs(py - hit2.y);
    const double r2 = 1.0 / dz12;
    const double scatter = ((dy * dy + dx * dy) * r2) * r2;
    return dx < params.max_tolerance.first && dy < params.max_tolerance.second &&
           scatter < params.max_scatter;
}

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Hits that belong to accepted tracks, as a bitmap over their ids: an Event's ids are its
// positions 0 .. n - 1 (event_model/event.hpp).
class UsedHits {
  public:
    void reset(std::size_t hit_count) {
        count_ = hit_count;
        // One word past the last so that window() may read the word after any bit.
        words_.assign(hit_count / 64 + 2, 0);
    }

    // Bits first .. first + 63 (ids past the event read as unused); first at most the count.
    std::uint64_t window(std::size_t first) const {
        assert(first <= count_);
        const std::size_t w = first >> 6;
        const std::size_t s = first & 63;
        const std::uint64_t low = words_[w] >> s;
        return s == 0 ? low : low | words_[w + 1] << (64 - s);
    }

    bool contains(std::int32_t id) const {
        const auto bit = static_cast<std::size_t>(id);
        assert(id >= 0 && bit < count_);
        return (words_[bit >> 6] >> (bit & 63)) & 1U;
    }

    void insert(std::int32_t id) {
        const auto bit = static_cast<std::size_t>(id);
        assert(id >= 0 && bit < count_);
        words_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    }

  private:
    std::size_t count_ = 0;
    std::vector<std::uint64_t> words_;
};

// A monotone map of a coordinate onto cells 0 .. n - 1, branch-free: every value of a window
// [lo, hi] falls in cells cell(lo) .. cell(hi). NaN maps to cell 0.
struct Axis {
    double min = 0.0;
    double inv_width = 0.0;
    double last = 0.0;  // n - 1

    // n cells evenly over [lo, hi].
    void set(double lo, double hi, std::uint32_t n) {
        min = lo;
        last = static_cast<double>(n - 1);
        inv_width = static_cast<double>(n) / (hi - lo);
        if (!(hi > lo) || !std::isfinite(inv_width)) {
            inv_width = 0.0;
        }
    }

    // n cells of which the first and the last lie outside [lo, hi]: values beyond the range
    // land in cells that no value of the range occupies.
    void set_guarded(double lo, double hi, std::uint32_t n) {
        const double width = (hi - lo) / static_cast<double>(n - 3);
        min = lo - width;
        last = static_cast<double>(n - 1);
        inv_width = 1.0 / width;
        if (!(width > 0.0) || !std::isfinite(inv_width)) {
            inv_width = 0.0;
        }
    }

    std::uint32_t cell(double v) const { return clamped_cell((v - min) * inv_width, last); }
};

constexpr std::uint32_t kGrid = 64;  // a plane's occupancy grid: 64 rows of one word each

inline std::uint64_t bit_range(std::uint32_t first, std::uint32_t last) {
    return (~std::uint64_t{0} >> (kGrid - 1 - last)) & (~std::uint64_t{0} << first);
}

// One z plane of a module. Its hits sit in x buckets, in stored order within a bucket. The
// occupancy grid marks every cell within a search window of some hit, so a prediction is
// rejected by testing the one cell it falls in.
struct Plane {
    double z = 0.0;
    double x_min = 0.0;
    double x_max = 0.0;
    double y_min = 0.0;
    double y_max = 0.0;
    double half_x = 0.0;  // search window half-widths, widened against rounding
    double half_y = 0.0;
    Axis buckets;
    Axis grid_x;
    Axis grid_y;
    // The grids' minima and inverse widths and the half-widths as (x, y) pairs, for cells of
    // both axes at once.
    alignas(16) double grid_min[2];
    alignas(16) double grid_inv[2];
    alignas(16) double half[2];
    std::uint32_t first_bucket = 0;  // into ModuleIndex::bucket_start
    std::uint32_t first_row = 0;     // into ModuleIndex::rows
    std::uint32_t count = 0;
};

struct alignas(16) PlanePair {
    double z[2];
    double x_min[2];
    double x_inv[2];
    double y_min[2];
    double y_inv[2];
    const std::uint64_t* rows[2];  // each plane's kGrid rows
};

// Per-module working data: coordinates in stored order for the seed loop, and a spatial index
// for the extension searches. Only hits with finite coordinates enter the index, since a hit
// with a NaN or infinite coordinate never passes check_tolerance.
// Makes v at least n long. The per-hit buffers below only grow, and are read up to the module's
// own counts: resizing them down and up again for every module would fill them each time.
template <typename T>
void grow(std::vector<T>& v, std::size_t n) {
    if (v.size() < n) {
        v.resize(n);
    }
}

struct ModuleIndex {
    std::span<const Hit> hits;
    // Padded with NaN to a whole number of four-hit steps (`padded` of them), so that the vector
    // loops need no scalar tail: NaN fails every compare.
    std::size_t padded = 0;
    std::vector<double> xs;
    std::vector<double> ys;
    std::vector<double> zs;
    // True when the ids run hits[0].id, hits[0].id + 1, ...: the used-hit bitmap then holds the
    // module's used hits as one run of bits.
    bool consecutive_ids = false;
    std::vector<Plane> planes;
    std::vector<std::uint32_t> bucket_start;  // per plane: its buckets' offsets into entries
    // Positions in the module's stored order, bucket by bucket: the coordinates are read from
    // xs and ys, so that building the index writes a word per hit rather than a record.
    std::vector<std::uint32_t> entries;
    std::vector<std::uint64_t> rows;  // per plane kGrid rows, then one empty block
    // The planes' grid parameters two planes to an element, the last padded with a plane that
    // holds nothing, so that first_passing tests two planes at a time from one place.
    std::vector<PlanePair> pairs;
    // scratch
    std::vector<std::uint32_t> plane_of;  // per hit: its plane, kNone when not indexed
    ZPlanes grouping;                     // for modules of many planes
    std::vector<std::uint32_t> bucket_of;
    std::vector<std::uint32_t> cursor;

    void build(std::span<const Hit> module_hits, const TrackFollowingParams& params);
    bool copy_and_group();
    void group_many_planes();
    void shape_planes(const TrackFollowingParams& params);
    void fill_lanes();
    void fill_buckets_and_grid();
};

// The planes' grid parameters into the pairs, padded with a plane that holds nothing (NaN z,
// the empty block of rows). A module without planes still has one pair, of two such planes,
// so that first_passing's loop may test before it counts.
void ModuleIndex::fill_lanes() {
    pairs.resize(std::max<std::size_t>(1, (planes.size() + 1) / 2));
    for (std::size_t k = 0; k < pairs.size() * 2; ++k) {
        PlanePair& pair = pairs[k / 2];
        const std::size_t lane = k % 2;
        if (k < planes.size()) {
            pair.z[lane] = planes[k].z;
            pair.x_min[lane] = planes[k].grid_x.min;
            pair.x_inv[lane] = planes[k].grid_x.inv_width;
            pair.y_min[lane] = planes[k].grid_y.min;
            pair.y_inv[lane] = planes[k].grid_y.inv_width;
            pair.rows[lane] = rows.data() + planes[k].first_row;
        } else {
            pair.z[lane] = std::numeric_limits<double>::quiet_NaN();
            pair.x_min[lane] = pair.x_inv[lane] = pair.y_min[lane] = pair.y_inv[lane] = 0.0;
            pair.rows[lane] = rows.data() + planes.size() * kGrid;
        }
    }
}

void ModuleIndex::build(std::span<const Hit> module_hits, const TrackFollowingParams& params) {
    hits = module_hits;
    padded = (hits.size() + 3) / 4 * 4;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    grow(xs, padded);
    grow(ys, padded);
    grow(zs, padded);
    for (std::size_t p = hits.size(); p < padded; ++p) {
        xs[p] = ys[p] = zs[p] = nan;
    }
    grow(plane_of, hits.size());
    // Only hits with finite coordinates are indexed: no other passes check_tolerance.
    if (!copy_and_group()) {
        group_many_planes();
    }
    shape_planes(params);
    fill_lanes();
    fill_buckets_and_grid();
}

// The coordinates copied out (the ids checked), and the hits grouped into a few z planes, in one
// pass: each hit's plane (planes in order of first appearance, keyed by the bits of z, found by a
// short scan with the last one remembered) and the planes' extents and counts. False past
// kFewPlanes planes, with the copy still done.
bool ModuleIndex::copy_and_group() {
    constexpr std::size_t kFewPlanes = 8;
    constexpr double inf = std::numeric_limits<double>::infinity();
    // Plain pointers: through the members the compiler reloads them after every store.
    const Hit* in = hits.data();
    const std::size_t n = hits.size();
    double* x_out = xs.data();
    double* y_out = ys.data();
    double* z_out = zs.data();
    std::uint32_t* plane_out = plane_of.data();
    // The ids checked in the same pass, without a branch: they run on in every real event.
    const std::int64_t first_id = n == 0 ? -1 : in[0].id;
    bool running_on = first_id >= 0;
    auto copy = [&](std::size_t p) {
        x_out[p] = in[p].x;
        y_out[p] = in[p].y;
        z_out[p] = in[p].z;
        running_on &=
            static_cast<std::int64_t>(in[p].id) == first_id + static_cast<std::int64_t>(p);
    };
    // The planes' keys, counts and (x, y) extents in locals, written to the planes at the end.
    std::uint64_t keys[kFewPlanes];
    std::uint32_t counts[kFewPlanes];
    alignas(16) double lows[kFewPlanes][2];
    alignas(16) double highs[kFewPlanes][2];
    std::uint32_t found = 0;
    std::uint32_t last = kNone;
    for (std::size_t p = 0; p < n; ++p) {
        copy(p);
        const double x = in[p].x;
        const double y = in[p].y;
        const double z = in[p].z;
        // v - v is zero for a finite v and NaN otherwise: one compare for all three.
#if defined(__SSE2__)
        const __m128d xy = _mm_set_pd(y, x);
        const __m128d z0 = _mm_set_sd(z);
        const __m128d zero_if_finite = _mm_add_pd(_mm_sub_pd(xy, xy), _mm_sub_pd(z0, z0));
        if (_mm_movemask_pd(_mm_cmpneq_pd(zero_if_finite, _mm_setzero_pd())) != 0) {
#else
        if (!((x - x) + (y - y) + (z - z) == 0.0)) {
#endif
            plane_out[p] = kNone;
            continue;
        }
        const auto bits = std::bit_cast<std::uint64_t>(z);
        if (last == kNone || bits != keys[last]) {
            last = kNone;
            for (std::uint32_t k = 0; k < found; ++k) {
                if (keys[k] == bits) {
                    last = k;
                    break;
                }
            }
            if (last == kNone) {
                if (found == kFewPlanes) {
                    for (; p < n; ++p) {
                        copy(p);
                    }
                    consecutive_ids = running_on;
                    return false;
                }
                last = found++;
                keys[last] = bits;
                counts[last] = 0;
                lows[last][0] = lows[last][1] = inf;
                highs[last][0] = highs[last][1] = -inf;
            }
        }
        // std::min(low, v) is v < low ? v : low, as minpd(v, low) is; the same for max.
#if defined(__SSE2__)
        _mm_store_pd(lows[last], _mm_min_pd(xy, _mm_load_pd(lows[last])));
        _mm_store_pd(highs[last], _mm_max_pd(xy, _mm_load_pd(highs[last])));
#else
        lows[last][0] = std::min(lows[last][0], x);
        lows[last][1] = std::min(lows[last][1], y);
        highs[last][0] = std::max(highs[last][0], x);
        highs[last][1] = std::max(highs[last][1], y);
#endif
        ++counts[last];
        plane_out[p] = last;
    }
    consecutive_ids = running_on;
    planes.resize(found);
    for (std::uint32_t k = 0; k < found; ++k) {
        Plane& plane = planes[k];
        plane = Plane{};
        plane.z = std::bit_cast<double>(keys[k]);
        plane.x_min = lows[k][0];
        plane.y_min = lows[k][1];
        plane.x_max = highs[k][0];
        plane.y_max = highs[k][1];
        plane.count = counts[k];
    }
    return true;
}

// The general grouping, for modules of many planes.
void ModuleIndex::group_many_planes() {
    grouping.group(hits, true);
    planes.resize(grouping.planes.size());
    for (std::size_t k = 0; k < planes.size(); ++k) {
        const ZPlane& from = grouping.planes[k];
        Plane& plane = planes[k];
        plane = Plane{};
        plane.z = from.z;
        plane.x_min = from.x_min;
        plane.x_max = from.x_max;
        plane.y_min = from.y_min;
        plane.y_max = from.y_max;
        plane.count = from.end - from.begin;
    }
    plane_of.assign(grouping.plane_of.begin(), grouping.plane_of.end());
}

// Each plane's search half-widths, x buckets and occupancy grid, sized from its extent.
void ModuleIndex::shape_planes(const TrackFollowingParams& params) {
    const double tol_x = params.max_tolerance.first;
    const double tol_y = params.max_tolerance.second;
    std::uint32_t total_buckets = 0;
    for (std::uint32_t k = 0; k < planes.size(); ++k) {
        Plane& plane = planes[k];
        // A hit passing the exact test lies within tolerance of the prediction up to rounding
        // of magnitudes no larger than the plane's coordinates (common/rounding.hpp).
        const double scale_x = std::max(std::fabs(plane.x_min), std::fabs(plane.x_max));
        const double scale_y = std::max(std::fabs(plane.y_min), std::fabs(plane.y_max));
        plane.half_x = tol_x + rounding_margin(tol_x + scale_x);
        plane.half_y = tol_y + rounding_margin(tol_y + scale_y);
        plane.buckets.set(plane.x_min, plane.x_max, plane.count);
        plane.grid_x.set_guarded(plane.x_min - plane.half_x, plane.x_max + plane.half_x, kGrid);
        plane.grid_y.set_guarded(plane.y_min - plane.half_y, plane.y_max + plane.half_y, kGrid);
        plane.grid_min[0] = plane.grid_x.min;
        plane.grid_min[1] = plane.grid_y.min;
        plane.grid_inv[0] = plane.grid_x.inv_width;
        plane.grid_inv[1] = plane.grid_y.inv_width;
        plane.half[0] = plane.half_x;
        plane.half[1] = plane.half_y;
        plane.first_bucket = total_buckets;
        plane.first_row = k * kGrid;
        total_buckets += plane.count + 1;
    }
    rows.assign((planes.size() + 1) * kGrid, 0);
    bucket_start.assign(total_buckets, 0);
}

// The hits into their planes' x buckets (stored order within a bucket) and occupancy grids.
void ModuleIndex::fill_buckets_and_grid() {
    grow(bucket_of, hits.size());
    // Plain pointers: through the members the compiler reloads them after every store.
    const std::size_t n = hits.size();
    const double* x_in = xs.data();
    const double* y_in = ys.data();
    const std::uint32_t* plane_in = plane_of.data();
    const Plane* plane_list = planes.data();
    std::uint32_t* bucket_out = bucket_of.data();
    std::uint32_t* counts = bucket_start.data();
    for (std::size_t p = 0; p < n; ++p) {
        if (plane_in[p] == kNone) {
            continue;
        }
        const Plane& plane = plane_list[plane_in[p]];
        const double x = x_in[p];
        const double y = y_in[p];
        // Bucket b's count goes to slot b + 1, turned into offsets below.
        const std::uint32_t bucket = plane.first_bucket + plane.buckets.cell(x);
        bucket_out[p] = bucket;
        ++counts[bucket + 1];
        // A prediction that accepts this hit lies within the half-widths of it: the window's
        // cells, x and y together by the operations of Axis::cell.
#if defined(__SSE2__)
        const __m128d xy = _mm_set_pd(y, x);
        const __m128d half = _mm_load_pd(plane.half);
        const __m128d min = _mm_load_pd(plane.grid_min);
        const __m128d inv = _mm_load_pd(plane.grid_inv);
        const __m128d last = _mm_set1_pd(static_cast<double>(kGrid - 1));
        const __m128d zero = _mm_setzero_pd();
        const __m128i low = _mm_cvttpd_epi32(_mm_min_pd(
            _mm_max_pd(_mm_mul_pd(_mm_sub_pd(_mm_sub_pd(xy, half), min), inv), zero), last));
        const __m128i high = _mm_cvttpd_epi32(_mm_min_pd(
            _mm_max_pd(_mm_mul_pd(_mm_sub_pd(_mm_add_pd(xy, half), min), inv), zero), last));
        const auto first_column = static_cast<std::uint32_t>(_mm_cvtsi128_si32(low));
        const auto last_column = static_cast<std::uint32_t>(_mm_cvtsi128_si32(high));
        const auto first_row =
            static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(low, 4)));
        const auto last_row =
            static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(high, 4)));
#else
        const std::uint32_t first_column = plane.grid_x.cell(x - plane.half_x);
        const std::uint32_t last_column = plane.grid_x.cell(x + plane.half_x);
        const std::uint32_t first_row = plane.grid_y.cell(y - plane.half_y);
        const std::uint32_t last_row = plane.grid_y.cell(y + plane.half_y);
#endif
        const std::uint64_t columns = bit_range(first_column, last_column);
        std::uint64_t* plane_rows = rows.data() + plane.first_row;
        // A window spans one or two rows unless the plane is only a few windows high: those
        // two without a loop.
        plane_rows[first_row] |= columns;
        plane_rows[last_row] |= columns;
        for (std::uint32_t cy = first_row + 1; cy < last_row; ++cy) {
            plane_rows[cy] |= columns;
        }
    }
    // One entries array holds every plane, so the offsets run on across planes.
    std::uint32_t running = 0;
    for (const Plane& plane : planes) {
        counts[plane.first_bucket] = running;
        for (std::uint32_t b = 1; b <= plane.count; ++b) {
            running += counts[plane.first_bucket + b];
            counts[plane.first_bucket + b] = running;
        }
    }
    // Within a bucket, hits stay in stored order.
    grow(entries, running);
    cursor.assign(bucket_start.begin(), bucket_start.end());
    std::uint32_t* next = cursor.data();
    std::uint32_t* out = entries.data();
    // A bucket holds one plane's hits, so stored order over the module is stored order within it.
    for (std::size_t p = 0; p < n; ++p) {
        if (plane_in[p] != kNone) {
            out[next[bucket_out[p]]++] = static_cast<std::uint32_t>(p);
        }
    }
}

// The line through two hits, as check_tolerance forms it.
struct Line {
    const Hit* a;
    const Hit* b;
    double tx;
    double ty;
};

// Lines through two hits at the same z accept nothing.
inline bool make_line(const Hit& a, const Hit& b, Line& line) {
    const double dz = b.z - a.z;
    if (dz == 0.0) {
        return false;
    }
    const double r = 1.0 / dz;
    line = Line{&a, &b, r * (b.x - a.x), r * (b.y - a.y)};
    return true;
}

// Lowers best to the first hit of the plane in stored order that passes check_tolerance(a, b,
// hit), where (px, py) is the line's prediction on the plane. The line's slopes and the
// prediction are the very values check_tolerance computes (same operands, same operations), so
// only the residuals and the scatter remain to be formed here, in its order.
inline void scan_plane(const TrackFollowingParams& params, const ModuleIndex& index,
                       const Plane& plane, const Line& line, double px, double py,
                       std::uint32_t& best) {
    const double dz12 = plane.z - line.b->z;
    if (dz12 == 0.0) {
        return;
    }
    const double r2 = 1.0 / dz12;
    const std::uint32_t* starts = index.bucket_start.data() + plane.first_bucket;
    const std::uint32_t end = starts[plane.buckets.cell(px + plane.half_x) + 1];
    for (std::uint32_t e = starts[plane.buckets.cell(px - plane.half_x)]; e < end; ++e) {
        const std::uint32_t pos = index.entries[e];
        if (pos >= best) {
            continue;
        }
        const double dx = std::fabs(px - index.xs[pos]);
        const double dy = std::fabs(py - index.ys[pos]);
        const double scatter = ((dy * dy + dx * dy) * r2) * r2;
        if (dx < params.max_tolerance.first && dy < params.max_tolerance.second &&
            scatter < params.max_scatter) {
            best = pos;
        }
    }
}

#if defined(__SSE2__)
// Two predictions a + d * t, one per lane, and their grid cells by clamped_cell's operations.
// `x_min`, `x_inv`, `y_min` and `y_inv` hold the two lanes' grids, two aligned doubles each.
struct TwoPredictions {
    __m128d px;
    __m128d py;
    std::uint32_t x[2];
    std::uint32_t y[2];
};

inline TwoPredictions predict_two(__m128d d, __m128d ax, __m128d ay, __m128d tx, __m128d ty,
                                  const double* x_min, const double* x_inv, const double* y_min,
                                  const double* y_inv) {
    const __m128d zero = _mm_setzero_pd();
    const __m128d last = _mm_set1_pd(static_cast<double>(kGrid - 1));
    TwoPredictions p;
    p.px = _mm_add_pd(_mm_mul_pd(d, tx), ax);
    p.py = _mm_add_pd(_mm_mul_pd(d, ty), ay);
    const __m128d cx = _mm_mul_pd(_mm_sub_pd(p.px, _mm_load_pd(x_min)), _mm_load_pd(x_inv));
    const __m128d cy = _mm_mul_pd(_mm_sub_pd(p.py, _mm_load_pd(y_min)), _mm_load_pd(y_inv));
    const __m128i ix = _mm_cvttpd_epi32(_mm_min_pd(_mm_max_pd(cx, zero), last));
    const __m128i iy = _mm_cvttpd_epi32(_mm_min_pd(_mm_max_pd(cy, zero), last));
    p.x[0] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(ix));
    p.x[1] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(ix, 4)));
    p.y[0] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(iy));
    p.y[1] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(iy, 4)));
    return p;
}
#endif

// The first hit of the module in stored order that passes check_tolerance(a, b, hit), or kNone.
inline std::uint32_t first_passing(const TrackFollowingParams& params, const ModuleIndex& index,
                                   const Line& line) {
    const Hit& a = *line.a;
    std::uint32_t best = kNone;
#if defined(__SSE2__)
    // Two planes at once.
    const __m128d ax = _mm_set1_pd(a.x);
    const __m128d ay = _mm_set1_pd(a.y);
    const __m128d az = _mm_set1_pd(a.z);
    const __m128d tx = _mm_set1_pd(line.tx);
    const __m128d ty = _mm_set1_pd(line.ty);
    const std::size_t pairs = index.pairs.size();
    std::size_t k = 0;
    do {
        const PlanePair& pair = index.pairs[k];
        const __m128d d = _mm_sub_pd(_mm_load_pd(pair.z), az);
        const TwoPredictions p =
            predict_two(d, ax, ay, tx, ty, pair.x_min, pair.x_inv, pair.y_min, pair.y_inv);
        const std::uint64_t hit0 = pair.rows[0][p.y[0]] >> p.x[0];
        const std::uint64_t hit1 = pair.rows[1][p.y[1]] >> p.x[1];
        if (((hit0 | hit1) & 1U) == 0) {
            continue;
        }
        if ((hit0 & 1U) != 0) {
            scan_plane(params, index, index.planes[2 * k], line, _mm_cvtsd_f64(p.px),
                       _mm_cvtsd_f64(p.py), best);
        }
        if ((hit1 & 1U) != 0) {
            scan_plane(params, index, index.planes[2 * k + 1], line,
                       _mm_cvtsd_f64(_mm_unpackhi_pd(p.px, p.px)),
                       _mm_cvtsd_f64(_mm_unpackhi_pd(p.py, p.py)), best);
        }
    } while (++k < pairs);
#else
    for (const Plane& plane : index.planes) {
        const double d = plane.z - a.z;
        const double px = d * line.tx + a.x;
        const double py = d * line.ty + a.y;
        const std::uint64_t row = index.rows[plane.first_row + plane.grid_y.cell(py)];
        if (((row >> plane.grid_x.cell(px)) & 1U) != 0) {
            scan_plane(params, index, plane, line, px, py, best);
        }
    }
#endif
    return best;
}

#if TRELMON_AVX2
// compatible_with's loop four hits at a time over the whole (padded) module, each word of out
// written whole. The same operations as the two-lane loop.
__attribute__((target("avx2"))) void compatible_with_avx2(const TrackFollowingParams& params,
                                                          const Hit& h0, const ModuleIndex& index,
                                                          std::uint64_t* out) {
    const std::size_t n = index.padded;
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d vx0 = _mm256_set1_pd(h0.x);
    const __m256d vy0 = _mm256_set1_pd(h0.y);
    const __m256d vz0 = _mm256_set1_pd(h0.z);
    const __m256d vsx = _mm256_set1_pd(params.max_slopes.first);
    const __m256d vsy = _mm256_set1_pd(params.max_slopes.second);
    const double* xs = index.xs.data();
    const double* ys = index.ys.data();
    const double* zs = index.zs.data();
    // A word of results kept in a register until it is full (n is a whole number of steps).
    for (std::size_t first = 0; first < n; first += 64) {
        const std::size_t end = std::min(n, first + 64);
        std::uint64_t word = 0;
        for (std::size_t q = first; q < end; q += 4) {
            const __m256d dz = _mm256_andnot_pd(sign, _mm256_sub_pd(vz0, _mm256_loadu_pd(zs + q)));
            const __m256d dx = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(xs + q), vx0));
            const __m256d dy = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(ys + q), vy0));
            const __m256d ok = _mm256_and_pd(_mm256_cmp_pd(dx, _mm256_mul_pd(vsx, dz), _CMP_LT_OQ),
                                             _mm256_cmp_pd(dy, _mm256_mul_pd(vsy, dz), _CMP_LT_OQ));
            word |= static_cast<std::uint64_t>(_mm256_movemask_pd(ok)) << (q - first);
        }
        out[first >> 6] = word;
    }
}
#endif

// Bit q of the result: are_compatible(h0, hit q of the module), for every hit, without branches.
void compatible_with(const TrackFollowingParams& params, const Hit& h0, const ModuleIndex& index,
                     SeedLanes lanes, std::vector<std::uint64_t>& out) {
    const std::size_t n = index.padded;
    out.resize((n + 63) / 64);
#if TRELMON_AVX2
    // The four-lane loop writes every word whole.
    if (lanes == SeedLanes::kWidest && cpu_has_avx2()) {
        compatible_with_avx2(params, h0, index, out.data());
        return;
    }
#endif
    std::fill(out.begin(), out.end(), 0);
    const double x0 = h0.x;
    const double y0 = h0.y;
    const double z0 = h0.z;
    const double sx = params.max_slopes.first;
    const double sy = params.max_slopes.second;
    std::size_t q = 0;
#if defined(__SSE2__)
    // Two hits at a time; andnot of the sign bit is fabs, and ordered compares are false on NaN.
    const std::size_t paired = lanes == SeedLanes::kOne ? 0 : n;
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d vx0 = _mm_set1_pd(x0);
    const __m128d vy0 = _mm_set1_pd(y0);
    const __m128d vz0 = _mm_set1_pd(z0);
    const __m128d vsx = _mm_set1_pd(sx);
    const __m128d vsy = _mm_set1_pd(sy);
    for (; q + 2 <= paired; q += 2) {
        const __m128d dz = _mm_andnot_pd(sign, _mm_sub_pd(vz0, _mm_loadu_pd(&index.zs[q])));
        const __m128d dx = _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(&index.xs[q]), vx0));
        const __m128d dy = _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(&index.ys[q]), vy0));
        const __m128d ok = _mm_and_pd(_mm_cmplt_pd(dx, _mm_mul_pd(vsx, dz)),
                                      _mm_cmplt_pd(dy, _mm_mul_pd(vsy, dz)));
        out[q >> 6] |= static_cast<std::uint64_t>(_mm_movemask_pd(ok)) << (q & 63);
    }
#endif
    for (; q < n; ++q) {
        const double dz = std::fabs(z0 - index.zs[q]);
        const bool ok =
            (std::fabs(index.xs[q] - x0) < sx * dz) & (std::fabs(index.ys[q] - y0) < sy * dz);
        out[q >> 6] |= std::uint64_t{ok} << (q & 63);
    }
}

// A plane of the modules below a seed pair, as first_passing reads it, each value twice so that
// it loads straight into both lanes.
struct alignas(16) ThirdPlane {
    double d[2];  // z - h0.z, for the h0 at hand (the two-lane and scalar paths)
    double x_min[2];
    double x_inv[2];
    double y_min[2];
    double y_inv[2];
    double z;
    const std::uint64_t* rows;  // the plane's kGrid rows
};

// The planes of the (up to) three modules where a seed's third hit is looked for.
void third_planes(std::span<const ModuleIndex> indices, std::size_t j,
                  std::vector<ThirdPlane>& out) {
    out.clear();
    for (std::size_t step = 1; step <= 3 && step <= j; ++step) {
        const ModuleIndex& index = indices[j - step];
        for (std::size_t k = 0; k < index.planes.size(); ++k) {
            ThirdPlane& plane = out.emplace_back();
            const PlanePair& pair = index.pairs[k / 2];
            const std::size_t lane = k % 2;
            plane.x_min[0] = plane.x_min[1] = pair.x_min[lane];
            plane.x_inv[0] = plane.x_inv[1] = pair.x_inv[lane];
            plane.y_min[0] = plane.y_min[1] = pair.y_min[lane];
            plane.y_inv[0] = plane.y_inv[1] = pair.y_inv[lane];
            plane.z = pair.z[lane];
            plane.rows = pair.rows[lane];
        }
    }
}

#if TRELMON_AVX2
// may_have_third's loop four partners at a time, over all of `partners` (a whole number of
// steps), each word of out written whole. The same operations as the two-lane loop, lane by
// lane.
__attribute__((target("avx2"))) void may_have_third_avx2(const Hit& h0, const ModuleIndex& seeds1,
                                                         std::span<const std::uint32_t> partners,
                                                         std::span<const ThirdPlane> planes,
                                                         std::uint64_t* out) {
    const std::size_t n = partners.size();
    const __m256d ax = _mm256_set1_pd(h0.x);
    const __m256d ay = _mm256_set1_pd(h0.y);
    const __m256d az = _mm256_set1_pd(h0.z);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d last = _mm256_set1_pd(static_cast<double>(kGrid - 1));
    const __m256i low_bit = _mm256_set1_epi64x(1);
    // The masked gathers, all lanes on: the plain ones trip GCC 12's uninitialised warning.
    const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    // A word of results kept in a register until it is full, then written whole.
    std::uint64_t word = 0;
    for (std::size_t c = 0; c < n; c += 4) {
        const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(partners.data() + c));
        const __m256d bx = _mm256_mask_i32gather_pd(zero, seeds1.xs.data(), q, all, 8);
        const __m256d by = _mm256_mask_i32gather_pd(zero, seeds1.ys.data(), q, all, 8);
        const __m256d bz = _mm256_mask_i32gather_pd(zero, seeds1.zs.data(), q, all, 8);
        const __m256d r = _mm256_div_pd(one, _mm256_sub_pd(bz, az));
        const __m256d tx = _mm256_mul_pd(r, _mm256_sub_pd(bx, ax));
        const __m256d ty = _mm256_mul_pd(r, _mm256_sub_pd(by, ay));
        __m256i pass = _mm256_setzero_si256();
        for (const ThirdPlane& plane : planes) {
            // z - h0.z here rather than read from d: the two-lane paths fill d.
            const __m256d d = _mm256_sub_pd(_mm256_broadcast_sd(&plane.z), az);
            const __m256d px = _mm256_add_pd(_mm256_mul_pd(d, tx), ax);
            const __m256d py = _mm256_add_pd(_mm256_mul_pd(d, ty), ay);
            const __m256d cx =
                _mm256_mul_pd(_mm256_sub_pd(px, _mm256_broadcast_sd(&plane.x_min[0])),
                              _mm256_broadcast_sd(&plane.x_inv[0]));
            const __m256d cy =
                _mm256_mul_pd(_mm256_sub_pd(py, _mm256_broadcast_sd(&plane.y_min[0])),
                              _mm256_broadcast_sd(&plane.y_inv[0]));
            const __m128i ix = _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(cx, zero), last));
            const __m128i iy = _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(cy, zero), last));
            const __m256i rows = _mm256_mask_i32gather_epi64(
                _mm256_setzero_si256(), reinterpret_cast<const long long*>(plane.rows), iy,
                _mm256_castpd_si256(all), 8);
            pass = _mm256_or_si256(pass, _mm256_srlv_epi64(rows, _mm256_cvtepu32_epi64(ix)));
        }
        const __m256i bit = _mm256_and_si256(pass, low_bit);
        const auto lanes = static_cast<std::uint64_t>(
            _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_slli_epi64(bit, 63))));
        word |= lanes << (c & 63);
        if ((c & 63) == 60 || c + 4 == n) {
            out[c >> 6] = word;
            word = 0;
        }
    }
}
#endif

// Which of the seed partners h1 = hit q of module j (q in `partners`, increasing) may find a
// third hit: bit n of out[n / 64] for partners[n]. first_passing looks at a plane's hits only
// when the occupancy grid marks the cell of its prediction; the prediction here is formed from
// the same operands by the same operations as make_line and first_passing do it (r, then the
// slopes, then d * t + a), so it is the very same value and lands in the same cell. A partner
// whose cells are all empty on every plane of the three modules has no third hit; the others
// are followed in full. The partners are followed by copies of the last one up to a whole
// number of four, so that the widest loop needs no tail; their bits are cleared.
void may_have_third(const Hit& h0, const ModuleIndex& seeds1,
                    std::span<const std::uint32_t> partners, std::span<ThirdPlane> planes,
                    SeedLanes lanes, std::vector<std::uint64_t>& out) {
    const std::size_t n = partners.size();
    out.resize((n + 63) / 64);
    if (n == 0) {
        return;
    }
    std::size_t c = 0;
#if TRELMON_AVX2
    if (lanes == SeedLanes::kWidest && cpu_has_avx2()) {
        c = (n + 3) / 4 * 4;
        may_have_third_avx2(h0, seeds1, {partners.data(), c}, planes, out.data());
        if ((n & 63) != 0) {
            out.back() &= ~std::uint64_t{0} >> (64 - (n & 63));
        }
        return;
    }
#endif
    std::fill(out.begin(), out.end(), 0);
    for (ThirdPlane& plane : planes) {
        plane.d[0] = plane.d[1] = plane.z - h0.z;
    }
#if defined(__SSE2__)
    // Two partners at a time.
    const std::size_t paired = lanes == SeedLanes::kOne ? 0 : n;
    const __m128d ax = _mm_set1_pd(h0.x);
    const __m128d ay = _mm_set1_pd(h0.y);
    const __m128d az = _mm_set1_pd(h0.z);
    const __m128d one = _mm_set1_pd(1.0);
    for (; c + 2 <= paired; c += 2) {
        const std::uint32_t q0 = partners[c];
        const std::uint32_t q1 = partners[c + 1];
        const __m128d bx = _mm_set_pd(seeds1.xs[q1], seeds1.xs[q0]);
        const __m128d by = _mm_set_pd(seeds1.ys[q1], seeds1.ys[q0]);
        const __m128d bz = _mm_set_pd(seeds1.zs[q1], seeds1.zs[q0]);
        const __m128d r = _mm_div_pd(one, _mm_sub_pd(bz, az));
        const __m128d tx = _mm_mul_pd(r, _mm_sub_pd(bx, ax));
        const __m128d ty = _mm_mul_pd(r, _mm_sub_pd(by, ay));
        std::uint64_t pass = 0;
        for (const ThirdPlane& plane : planes) {
            const TwoPredictions p = predict_two(_mm_load_pd(plane.d), ax, ay, tx, ty, plane.x_min,
                                                 plane.x_inv, plane.y_min, plane.y_inv);
            const std::uint64_t first = (plane.rows[p.y[0]] >> p.x[0]) & 1U;
            const std::uint64_t second = (plane.rows[p.y[1]] >> p.x[1]) & 1U;
            pass |= first | second << 1;
        }
        out[c >> 6] |= pass << (c & 63);
    }
#endif
    for (; c < n; ++c) {
        const std::uint32_t q = partners[c];
        const double r = 1.0 / (seeds1.zs[q] - h0.z);
        const double tx = r * (seeds1.xs[q] - h0.x);
        const double ty = r * (seeds1.ys[q] - h0.y);
        std::uint64_t pass = 0;
        for (const ThirdPlane& plane : planes) {
            const double px = plane.d[0] * tx + h0.x;
            const double py = plane.d[0] * ty + h0.y;
            const std::uint32_t x = clamped_cell((px - plane.x_min[0]) * plane.x_inv[0], kGrid - 1);
            const std::uint32_t y = clamped_cell((py - plane.y_min[0]) * plane.y_inv[0], kGrid - 1);
            pass |= (plane.rows[y] >> x) & 1U;
        }
        out[c >> 6] |= pass << (c & 63);
    }
}

struct Workspace {
    UsedHits used;
    std::vector<ModuleIndex> indices;
    // Weak candidates' hits one after another: all are min_track_length long, and most clash.
    std::vector<Hit> weak;
    std::vector<std::uint64_t> compatible;
    std::vector<std::uint32_t> partners;
    std::vector<std::uint64_t> survivors;
    std::vector<ThirdPlane> third;
    std::vector<Hit> candidate;
};

// Not inlined: the compiler would otherwise recompute the thread-local address (a call into the
// dynamic loader) at many uses inside the seed loop instead of keeping it in a register.
[[gnu::noinline]] Workspace& workspace() {
    thread_local Workspace ws;
    return ws;
}

// The candidate track seeded by h0 and h1 (on module j), in ws.candidate: the first passing
// hit on one of the next three modules down, then one per module while fewer than three in a
// row are missed. False when no third hit passes.
bool follow_seed(const TrackFollowingParams& params, Workspace& ws, std::span<const Module> modules,
                 const Hit& h0, const Hit& h1, std::size_t j) {
    Line seed;
    if (!make_line(h0, h1, seed)) {
        return false;
    }
    std::size_t u = j;
    std::uint32_t third = kNone;
    for (std::size_t step = 1; step <= 3 && step <= j; ++step) {
        third = first_passing(params, ws.indices[j - step], seed);
        if (third != kNone) {
            u = j - step;
            break;
        }
    }
    if (third == kNone) {
        return false;
    }
    // Built in a reused buffer: most candidates are dropped.
    std::vector<Hit>& hits = ws.candidate;
    hits.assign({h0, h1, modules[u].hits()[third]});
    unsigned misses = 0;
    // The line through the last two hits, formed again only once a hit is added: a miss leaves
    // it as it was.
    Line line{};
    bool line_valid = false;
    bool line_stale = true;
    for (std::size_t m = u; m-- > 0;) {
        ++misses;
        if (line_stale) {
            const std::size_t n = hits.size();
            line_valid = make_line(hits[n - 2], hits[n - 1], line);
            line_stale = false;
        }
        const std::uint32_t next = line_valid ? first_passing(params, ws.indices[m], line) : kNone;
        if (next != kNone) {
            hits.push_back(modules[m].hits()[next]);
            misses = 0;
            line_stale = true;
        }
        if (misses == 3) {
            break;
        }
    }
    return true;
}

}  // namespace

// Relies on the Event's ids being its positions (the used-hit bitmap).
std::vector<Track> solve(const TrackFollowingParams& params, const Event& event) {
    return solve(params, event, SeedLanes::kWidest);
}

std::vector<Track> solve(const TrackFollowingParams& params, const Event& event, SeedLanes lanes) {
    std::vector<Track> result;
    const std::span<const Module> modules = event.modules;
    const std::size_t count = modules.size();
    if (count < 4) {
        return result;
    }
    // Residuals and scatter are never negative: limits that none can pass (NaN included)
    // leave every seed without a third hit.
    if (!(params.max_tolerance.first > 0.0 && params.max_tolerance.second > 0.0 &&
          params.max_scatter > 0.0)) {
        return result;
    }

    const CancelCheck check_cancelled;
    Workspace& ws = workspace();
    ws.used.reset(event.hits->size());
    ws.weak.clear();
    if (ws.indices.size() < count) {
        ws.indices.resize(count);
    }
    // The two last modules only ever give a seed's first hit, which is read from the module.
    for (std::size_t m = 0; m + 2 < count; ++m) {
        check_cancelled();
        ws.indices[m].build(modules[m].hits(), params);
    }
    UsedHits& used = ws.used;

    auto accept = [&](Track& track) {
        for (const Hit& hit : track.hits) {
            used.insert(hit.id);
        }
        result.push_back(std::move(track));
    };

    for (std::size_t k = 0; k + 4 <= count; ++k) {
        const std::size_t i = count - 1 - k;
        const std::size_t j = i - 2;
        const ModuleIndex& seeds1 = ws.indices[j];
        third_planes(ws.indices, j, ws.third);
        for (const Hit& h0 : modules[i].hits()) {
            if (used.contains(h0.id)) {
                continue;
            }
            check_cancelled();
            compatible_with(params, h0, seeds1, lanes, ws.compatible);
            // Partners already used are dropped up front. The tracks this h0 begins take no
            // other hit of module j, so the mask stays right for the whole h0; the check per
            // partner below serves modules whose ids do not run consecutively.
            // Room for the copies may_have_third pads with (xs is padded the same way).
            grow(ws.partners, seeds1.padded);
            std::size_t partner_count = 0;
            for (std::size_t w = 0; w < ws.compatible.size(); ++w) {
                std::uint64_t bits = ws.compatible[w];
                if (seeds1.consecutive_ids) {
                    bits &= ~used.window(static_cast<std::size_t>(seeds1.hits[0].id) + w * 64);
                }
                for (; bits != 0; bits &= bits - 1) {
                    ws.partners[partner_count++] =
                        static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits));
                }
            }
            for (std::size_t c = partner_count; c % 4 != 0; ++c) {
                ws.partners[c] = ws.partners[c - 1];
            }
            may_have_third(h0, seeds1, std::span(ws.partners).first(partner_count), ws.third, lanes,
                           ws.survivors);
            for (std::size_t w = 0; w < ws.survivors.size(); ++w) {
                for (std::uint64_t bits = ws.survivors[w]; bits != 0; bits &= bits - 1) {
                    // Also here: in a crowded event one first hit can have thousands of seeds.
                    check_cancelled();
                    const std::uint32_t q =
                        ws.partners[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))];
                    if (used.contains(seeds1.hits[q].id) ||
                        !follow_seed(params, ws, modules, h0, seeds1.hits[q], j)) {
                        continue;
                    }
                    const std::size_t n = ws.candidate.size();
                    if (n == params.min_track_length) {
                        ws.weak.insert(ws.weak.end(), ws.candidate.begin(), ws.candidate.end());
                    } else if (n >= params.min_strong_track_length) {
                        Track track;
                        track.hits = ws.candidate;
                        accept(track);
                    }
                }
            }
        }
    }

    // Weak candidates exist only when min_track_length is a candidate's (small) size.
    const auto weak_length = static_cast<std::ptrdiff_t>(params.min_track_length);
    for (auto at = ws.weak.begin(); at != ws.weak.end(); at += weak_length) {
        const auto end = at + weak_length;
        if (std::none_of(at, end, [&](const Hit& hit) { return used.contains(hit.id); })) {
            Track track;
            track.hits.assign(at, end);
            accept(track);
        }
    }
    ws.weak.clear();
    return result;
}

}  // namespace trelmon
