#include "algorithms/graph_dfs.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>

#include "algorithms/common/cells.hpp"
#include "algorithms/common/rounding.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "algorithms/cancel.hpp"

namespace trelmon {
namespace {

using Pos = std::int32_t;   // a position in the x-sorted hit list
using Seg = std::uint32_t;  // a segment index
constexpr Pos kNone = -1;
constexpr Seg kNoSeg = std::numeric_limits<Seg>::max();

struct ModuleRange {
    Pos begin = 0;
    Pos end = 0;
    Pos finite_x_end = 0;  // NaN x values sort last; [begin, finite_x_end) is ordered by x
    // In x order once every module is sorted.
    bool sorted = false;
    bool any_z = false;  // some hit has a z that is not NaN
    bool all_z = false;  // no hit has a NaN z
    double z_min = 0.0;
    double z_max = 0.0;
    bool finite_z = false;  // z_min and z_max finite: every z lies within z_mid +- z_half
    double z_mid = 0.0;
    double z_half = 0.0;
    // x grid over the module's hits: cell c starts at position cell_start[table + c]. 0 cells:
    // no grid (some x or z not finite).
    std::int32_t cells = 0;
    std::uint32_t table = 0;
    double x0 = 0.0;
    double inv_width = 0.0;
    // Occupancy of a coarse x-y grid: bit i of row masks[mask + j] is set when a hit lies in
    // column i, row j. Without it (has_mask false) every range of x is scanned.
    bool has_mask = false;
    std::uint32_t mask = 0;
    double mask_x0 = 0.0;
    double mask_x_inv = 0.0;
    double mask_y0 = 0.0;
    double mask_y_inv = 0.0;
    // The same grid with every hit widened by the largest reach of a prediction: one bit
    // answers whether a prediction comes near a hit.
    bool has_halo = false;
};

struct WindowEntry {
    std::int32_t module;
    Pos first;
    Pos end;
};

// The segments from one upper hit into one lower module have consecutive indices, their lower
// hits in x order: one for each hit of the window [first, window_end) that passes the y cut.
// Bit i of the window's words (a word per 64 hits, from pass_bits[bits]) says whether hit
// first + i does, so a segment's index is begin plus its hit's rank among the passing ones.
struct Block {
    std::int32_t module;
    Pos first;
    Pos window_end;
    Pos upper;
    Seg begin;
    std::uint32_t bits;
};

// Where a line through hit q with slopes (tx, ty) meets the halo of lower module slot k, in
// grid units: column ux + tx vx, row uy + ty vy. The same prediction as at the module's middle
// z, rearranged; the halos' margins dwarf the difference in rounding.
struct HaloTerm {
    double ux, vx, uy, vy;
    const std::uint64_t* rows;
};

// Per-thread scratch; every vector is resized per event, so capacity carries over.
struct Workspace {
    // By position in the sorted hit list.
    std::vector<std::uint32_t> order;  // position -> index in the event's hit list
    std::vector<double> x, y, z;
    std::vector<std::int32_t> owner;
    std::vector<std::uint32_t> block_begin;  // blocks of the segments whose upper hit is here
    std::vector<Block> blocks;
    std::vector<std::uint64_t> pass_bits;
    // A hit's blocks go to the lower modules of its module in the order k = 0, 1, ...: slot k
    // of module t is module slot_module[64 t + k], and bit k of a hit's slot_mask says whether
    // it has a block there.
    std::vector<std::uint64_t> slot_mask;
    std::vector<std::uint32_t> slot_count;
    std::vector<std::int32_t> slot_module;
    std::size_t slot_stride = 0;  // the most slots of any module
    std::vector<HaloTerm> halo_terms;
    std::vector<std::uint8_t> in_long_track;
    std::vector<ModuleRange> ranges;
    std::vector<WindowEntry> windows;
    std::vector<Pos> cell_start;  // module x grids
    std::size_t grid_words = 0;   // of the occupancy grids and of the halos, laid out alike
    std::vector<std::uint64_t> masks;
    std::vector<std::uint64_t> halos;
    // The segments with successors, ascending, by their position in this list: index, upper
    // and lower hit, and where their successors start in `succ`.
    std::vector<Seg> linked;
    std::vector<Pos> linked_up, linked_low;
    std::vector<std::uint32_t> succ_begin;
    // By position in `succ`: the successor's index, its lower hit and its position in `linked`
    // (kNoSeg when it has no successors of its own).
    std::vector<Seg> succ;
    std::vector<Pos> succ_low;
    std::vector<Seg> succ_link;
    // By segment index, valid only where linked[link_index[s]] == s: never cleared.
    std::vector<Seg> link_index;
    std::vector<std::uint8_t> is_successor;
    std::vector<std::int32_t> weight;
    std::vector<std::uint32_t> chain_hits;  // hits from the segment's h1 down its shortest chain
    std::vector<std::uint32_t> chain_next;  // position in `succ` of the first step of that chain
    // Tracks as positions, before clone removal.
    std::vector<Pos> track_pos;
    std::vector<std::size_t> track_begin;
};

bool x_before(double a, double b) {
    // NaN goes last so the order stays strict-weak; otherwise plain ascending x.
    return !std::isnan(a) && (std::isnan(b) || a < b);
}

void sort_hits(Workspace& ws, const HitList& hits, const std::vector<Module>& modules) {
    const std::size_t n = hits.size();
    ws.order.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        ws.order[i] = static_cast<std::uint32_t>(i);
    ws.ranges.assign(modules.size(), ModuleRange{});
    for (std::size_t m = 0; m < modules.size(); ++m) {
        const std::size_t end = std::min(modules[m].hit_end_index, n);
        const std::size_t begin = std::min(modules[m].hit_start_index, end);
        ws.ranges[m].begin = static_cast<Pos>(begin);
        ws.ranges[m].end = static_cast<Pos>(end);
        auto first = ws.order.begin() + static_cast<std::ptrdiff_t>(begin);
        auto last = ws.order.begin() + static_cast<std::ptrdiff_t>(end);
        auto by_x = [&hits](std::uint32_t a, std::uint32_t b) {
            return x_before(hits[a].x, hits[b].x);
        };
        if (end - begin <= 32) {
            // Insertion sort: stable, and no buffer for the usual few dozen hits.
            for (auto it = first; it != last; ++it) {
                const std::uint32_t v = *it;
                auto hole = it;
                while (hole != first && by_x(v, *(hole - 1))) {
                    *hole = *(hole - 1);
                    --hole;
                }
                *hole = v;
            }
        } else {
            std::stable_sort(first, last, by_x);
        }
    }
    ws.x.resize(n);
    ws.y.resize(n);
    ws.z.resize(n);
    for (std::size_t p = 0; p < n; ++p) {
        const Hit& h = hits[ws.order[p]];
        ws.x[p] = h.x;
        ws.y[p] = h.y;
        ws.z[p] = h.z;
    }
    for (ModuleRange& r : ws.ranges) {
        Pos p = r.begin;
        while (p < r.end && !std::isnan(ws.x[static_cast<std::size_t>(p)]))
            ++p;
        r.finite_x_end = p;
        r.sorted = true;
        for (Pos q = r.begin; q + 1 < r.end && r.sorted; ++q)
            r.sorted =
                !x_before(ws.x[static_cast<std::size_t>(q + 1)], ws.x[static_cast<std::size_t>(q)]);
        for (Pos q = r.begin; q < r.end; ++q) {
            const double zq = ws.z[static_cast<std::size_t>(q)];
            if (std::isnan(zq))
                continue;
            if (!r.any_z) {
                r.any_z = true;
                r.z_min = r.z_max = zq;
            } else {
                r.z_min = std::min(r.z_min, zq);
                r.z_max = std::max(r.z_max, zq);
            }
        }
        r.all_z = std::none_of(ws.z.begin() + r.begin, ws.z.begin() + r.end,
                               [](double v) { return std::isnan(v); });
        r.finite_z = r.any_z && std::isfinite(r.z_min) && std::isfinite(r.z_max);
        if (r.finite_z) {
            r.z_mid = r.z_min + (r.z_max - r.z_min) / 2;
            r.z_half = std::max(r.z_max - r.z_mid, r.z_mid - r.z_min);
            r.finite_z = std::isfinite(r.z_mid) && std::isfinite(r.z_half);
        }
    }
}

// The Event invariants this finder relies on (event_model/event.hpp): the hit at position i has
// id i, and module ranges are ordered and disjoint. So every id occurs at one sorted position,
// a hit belongs to one module, and a segment's successors were all numbered before it.
void check_event_invariants([[maybe_unused]] const HitList& hits,
                            [[maybe_unused]] const std::vector<Module>& modules) {
#ifndef NDEBUG
    for (std::size_t i = 0; i < hits.size(); ++i)
        assert(hits[i].id == static_cast<std::int32_t>(i));
    for (std::size_t m = 0; m + 1 < modules.size(); ++m)
        assert(modules[m].hit_end_index <= modules[m + 1].hit_start_index);
#endif
}

// The first run of hits of module range r inside the x window of the hit at g.
WindowEntry find_window(const Workspace& ws, std::int32_t module, Pos g, double slope_x) {
    const ModuleRange& r = ws.ranges[static_cast<std::size_t>(module)];
    WindowEntry w{module, kNone, kNone};
    if (!r.any_z)
        return w;  // every z is NaN: nothing is inside
    const double hx = ws.x[static_cast<std::size_t>(g)];
    const double hz = ws.z[static_cast<std::size_t>(g)];
    const double* xs = ws.x.data();
    const double* zs = ws.z.data();
    auto inside = [&](Pos q) { return std::fabs(zs[q] - hz) * slope_x > std::fabs(xs[q] - hx); };
    Pos q = r.begin;
    // With a finite z, no hit can be inside unless |x - hx| < bound, so the x order lets a
    // binary search skip the hits to the left and the scan stop on the right.
    const bool bounded = r.sorted && std::isfinite(hz);
    double bound = 0.0;
    if (bounded) {
        bound = std::max(std::fabs(r.z_max - hz), std::fabs(r.z_min - hz)) * slope_x;
        Pos lo = r.begin;
        Pos hi = r.finite_x_end;
        while (lo < hi) {
            const Pos mid = lo + (hi - lo) / 2;
            if (!(hx - xs[mid] < bound)) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        q = lo;
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
            Pos lo = q + 1;
            Pos hi = r.finite_x_end;
            while (lo < hi) {
                const Pos mid = lo + (hi - lo) / 2;
                if (xs[mid] - hx < sure) {
                    lo = mid + 1;
                } else {
                    hi = mid;
                }
            }
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
void collect_windows(Workspace& ws, const GraphDFSParams& params, std::int32_t upper, Pos g) {
    for (std::int64_t k = 0; k <= params.allowed_skip_modules; ++k) {
        const std::int64_t t = params.allow_cross_track ? upper - (k + 1) : upper - 2 * (k + 1);
        if (t < 0)
            break;  // t only falls with k
        const WindowEntry w =
            find_window(ws, static_cast<std::int32_t>(t), g, params.max_slopes.first);
        ws.windows.push_back(w);
    }
}

// Set bits of v. std::popcount becomes a library call on a baseline x86-64 build.
inline std::uint32_t count_ones(std::uint64_t v) {
    v = v - ((v >> 1) & 0x5555555555555555u);
    v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
    v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<std::uint32_t>((v * 0x0101010101010101u) >> 56);
}

// Marks the window's hits that pass the y cut against the upper hit; returns how many do.
std::size_t mark_y_cut(Workspace& ws, const WindowEntry& w, Pos g, double slope_y) {
    const double gy = ws.y[static_cast<std::size_t>(g)];
    const double gz = ws.z[static_cast<std::size_t>(g)];
    const double* ys = ws.y.data();
    const double* zs = ws.z.data();
    std::size_t count = 0;
    for (Pos word_start = w.first; word_start < w.end; word_start += 64) {
        const Pos word_end = std::min<Pos>(word_start + 64, w.end);
        std::uint64_t word = 0;
        Pos q = word_start;
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
        count += count_ones(word);
        ws.pass_bits.push_back(word);
    }
    return count;
}

// Returns the number of segments.
std::size_t build_segments(Workspace& ws, const GraphDFSParams& params, const Event& event) {
    const std::size_t n = ws.x.size();
    const std::size_t limit = std::min(event.number_of_hits, n);
    const auto module_count = static_cast<std::int32_t>(ws.ranges.size());
    ws.owner.assign(n, -1);
    if (module_count >= 3 && params.allowed_skip_modules >= 0) {
        for (std::int32_t j = module_count - 1; j >= 2; --j) {
            const ModuleRange& r = ws.ranges[static_cast<std::size_t>(j)];
            for (Pos p = r.begin; p < r.end; ++p)
                ws.owner[static_cast<std::size_t>(p)] = j;  // module ranges are disjoint
        }
    }
    const bool slots = module_count <= 64;
    if (slots) {
        ws.slot_mask.assign(n, 0);
        ws.slot_count.assign(static_cast<std::size_t>(module_count), 0);
        ws.slot_stride = 0;
        ws.slot_module.resize(64 * static_cast<std::size_t>(module_count));
        // Modules 0 and 1 hold no upper hits.
        for (std::int32_t t = 2; t < module_count; ++t) {
            std::uint32_t& count = ws.slot_count[static_cast<std::size_t>(t)];
            for (std::int64_t k = 0; k <= params.allowed_skip_modules; ++k) {
                const std::int64_t lower = params.allow_cross_track ? t - (k + 1) : t - 2 * (k + 1);
                if (lower < 0)
                    break;
                ws.slot_module[64 * static_cast<std::size_t>(t) + count++] =
                    static_cast<std::int32_t>(lower);
            }
            ws.slot_stride = std::max<std::size_t>(ws.slot_stride, count);
        }
    }
    ws.block_begin.resize(n + 1);
    ws.blocks.clear();
    ws.pass_bits.clear();
    std::size_t segments = 0;
    for (std::size_t gi = 0; gi < n; ++gi) {
        throw_if_cancelled();
        ws.block_begin[gi] = static_cast<std::uint32_t>(ws.blocks.size());
        const auto g = static_cast<Pos>(gi);
        if (gi >= limit || ws.owner[gi] < 0)
            continue;
        ws.windows.clear();
        collect_windows(ws, params, ws.owner[gi], g);
        for (std::size_t slot = 0; slot < ws.windows.size(); ++slot) {
            const WindowEntry& w = ws.windows[slot];
            if (w.first >= w.end)
                continue;
            const std::size_t bits = ws.pass_bits.size();
            const std::size_t count = mark_y_cut(ws, w, g, params.max_slopes.second);
            if (count == 0) {
                ws.pass_bits.resize(bits);
                continue;
            }
            if (segments + count >= kNoSeg || bits >= std::numeric_limits<std::uint32_t>::max())
                throw std::bad_alloc();
            ws.blocks.push_back({w.module, w.first, w.end, g, static_cast<Seg>(segments),
                                 static_cast<std::uint32_t>(bits)});
            segments += count;
            if (slots)
                ws.slot_mask[gi] |= std::uint64_t{1} << slot;
        }
    }
    ws.block_begin[n] = static_cast<std::uint32_t>(ws.blocks.size());
    return segments;
}

// Largest finite coordinate magnitude: the scale of the rounding margins below.
double coordinate_scale(const Workspace& ws) {
    double scale = 1.0;
    for (const auto* column : {&ws.x, &ws.y, &ws.z}) {
        for (double v : *column) {
            if (std::isfinite(v))
                scale = std::max(scale, std::fabs(v));
        }
    }
    return scale;
}

// c clamped to [0, last] and truncated, NaN to 0 (common/cells.hpp).
inline std::int32_t clamped_index(double c, std::int32_t last) {
    return static_cast<std::int32_t>(clamped_cell(c, last));
}

// The cell of a module's x grid that holds v.
inline std::int32_t cell(double v, double origin, double inv_width, std::int32_t cells) {
    return clamped_index((v - origin) * inv_width, cells - 1);
}

// The occupancy grids: kMaskRows rows of kMaskWords words, one bit per column.
constexpr int kMaskWords = 2;
constexpr int kMaskCells = 64 * kMaskWords;
constexpr int kMaskRows = 256;
constexpr double kTiny = std::numeric_limits<double>::min();

// The column or row of the occupancy grid that holds v.
inline int mask_cell(double v, double origin, double inv_width) {
    return clamped_index((v - origin) * inv_width, kMaskCells - 1);
}

inline int mask_row(double v, double origin, double inv_width) {
    return clamped_index((v - origin) * inv_width, kMaskRows - 1);
}

// Whether the grid has column `column` of row `row` set.
inline bool grid_bit(const std::uint64_t* grid, int row, int column) {
    return ((grid[row * kMaskWords + (column >> 6)] >> (column & 63)) & 1) != 0;
}

// The bits of columns first..last that lie in word `word` of a row.
inline std::uint64_t column_span(int first, int last, int word) {
    const int low = std::max(first - 64 * word, 0);
    const int high = std::min(last - 64 * word, 63);
    if (low > high)
        return 0;
    return (~std::uint64_t{0} >> (63 - high)) & (~std::uint64_t{0} << low);
}

// An x grid per module, fine enough that a prediction's reach covers few hits beyond those
// inside it.
void build_module_grids(Workspace& ws) {
    constexpr std::size_t kMaxCells = 4096;
    ws.cell_start.clear();
    ws.grid_words = 0;
    for (ModuleRange& r : ws.ranges) {
        r.cells = 0;
        if (r.begin == r.end || r.finite_x_end != r.end || !r.finite_z || !r.sorted)
            continue;
        const double x0 = ws.x[static_cast<std::size_t>(r.begin)];
        const double x1 = ws.x[static_cast<std::size_t>(r.end - 1)];
        const std::size_t count = static_cast<std::size_t>(r.end - r.begin);
        const auto cells = static_cast<std::int32_t>(std::min(4 * count, kMaxCells));
        const double width = std::max((x1 - x0) / cells, std::numeric_limits<double>::min());
        if (!std::isfinite(x0) || !std::isfinite(x1) || !std::isfinite(width))
            continue;
        r.cells = cells;
        r.x0 = x0;
        r.inv_width = 1 / width;
        r.table = static_cast<std::uint32_t>(ws.cell_start.size());
        std::int32_t c = 0;
        for (Pos p = r.begin; p < r.end; ++p) {
            const std::int32_t here =
                cell(ws.x[static_cast<std::size_t>(p)], r.x0, r.inv_width, r.cells);
            for (; c <= here; ++c)
                ws.cell_start.push_back(p);
        }
        for (; c <= r.cells; ++c)
            ws.cell_start.push_back(r.end);

        r.has_mask = false;
        double y0 = ws.y[static_cast<std::size_t>(r.begin)];
        double y1 = y0;
        for (Pos p = r.begin; p < r.end; ++p) {
            y0 = std::min(y0, ws.y[static_cast<std::size_t>(p)]);
            y1 = std::max(y1, ws.y[static_cast<std::size_t>(p)]);
        }
        const double mask_x_width = std::max((x1 - x0) / kMaskCells, kTiny);
        const double mask_y_width = std::max((y1 - y0) / kMaskRows, kTiny);
        if (!std::isfinite(y0) || !std::isfinite(y1) || !std::isfinite(mask_y_width) ||
            !std::isfinite(mask_x_width)) {
            continue;
        }
        r.has_mask = true;
        r.mask = static_cast<std::uint32_t>(ws.grid_words);
        r.mask_x0 = x0;
        r.mask_x_inv = 1 / mask_x_width;
        r.mask_y0 = y0;
        r.mask_y_inv = 1 / mask_y_width;
        ws.grid_words += kMaskRows * kMaskWords;
    }
}

// The occupancy grids themselves: only the search without the halo filter reads them.
void mark_occupancy(Workspace& ws) {
    ws.masks.assign(ws.grid_words, 0);
    for (const ModuleRange& r : ws.ranges) {
        if (!r.has_mask)
            continue;
        for (Pos p = r.begin; p < r.end; ++p) {
            const auto pi = static_cast<std::size_t>(p);
            const int column = mask_cell(ws.x[pi], r.mask_x0, r.mask_x_inv);
            const int row = mask_row(ws.y[pi], r.mask_y0, r.mask_y_inv);
            ws.masks[r.mask + static_cast<std::uint32_t>(row * kMaskWords + (column >> 6))] |=
                std::uint64_t{1} << (column & 63);
        }
    }
}

struct LinkCut {
    double tol_x, tol_y, max_scatter;
};

// The link test: does the segment ending at c continue the one through g and q, of direction
// (tx, ty)?
inline bool continues(const double* xs, const double* ys, const double* zs, const LinkCut& cut,
                      Pos g, Pos q, double tx, double ty, Pos c) {
    const double d = zs[c] - zs[g];
    const double dx = tx * d + xs[g] - xs[c];
    if (std::fabs(dx) >= cut.tol_x)
        return false;
    const double dy = ty * d + ys[g] - ys[c];
    if (std::fabs(dy) >= cut.tol_y)
        return false;
    const double dz1 = zs[c] - zs[q];
    if (dz1 == 0)
        return false;
    const double inv = 1 / dz1;
    const double scatter = (dx * dx + dy * dy) * inv * inv;
    return scatter < cut.max_scatter;
}

// The line of a segment as the link test extrapolates it, with the reach of its predictions.
struct Line {
    Pos g, q;
    double tx, ty;
    double abs_tx, abs_ty;
    double base_x, base_y;
    bool finite;  // predictions may narrow the search
};

struct LinkInputs {
    const double* xs;
    const double* ys;
    const double* zs;
    LinkCut cut;
    bool narrow;
    bool all_finite;
    double margin;
};

// False when the segment has no direction (dz = 0): it continues into nothing.
inline bool make_line(const LinkInputs& in, Pos g, Pos q, Line& line) {
    const double xq = in.xs[q], yq = in.ys[q], zq = in.zs[q];
    const double xg = in.xs[g], yg = in.ys[g], zg = in.zs[g];
    const double dz0 = zq - zg;
    if (dz0 == 0)
        return false;
    const double r = 1 / dz0;
    line.g = g;
    line.q = q;
    line.tx = (xq - xg) * r;
    line.ty = (yq - yg) * r;
    line.finite = in.narrow && std::isfinite(line.tx) && std::isfinite(line.ty) &&
                  (in.all_finite || (std::isfinite(xg) && std::isfinite(yg) && std::isfinite(zg) &&
                                     std::isfinite(xq) && std::isfinite(yq) && std::isfinite(zq)));
    line.abs_tx = std::fabs(line.tx);
    line.abs_ty = std::fabs(line.ty);
    // A lower hit that passes lies within reach of the prediction at the module's middle z: its
    // own z is within z_half of that, and the margin covers rounding in both this estimate and
    // the exact test, with room to spare.
    line.base_x = in.cut.tol_x + in.margin * (2 + line.abs_tx);
    line.base_y = in.cut.tol_y + in.margin * (2 + line.abs_ty);
    return true;
}

struct Prediction {
    double cx, cy, reach_x, reach_y;
    bool usable;  // huge slopes can overflow the estimate
};

inline Prediction predict(const LinkInputs& in, const Line& line, const ModuleRange& lower) {
    const double d = lower.z_mid - in.zs[line.q];
    Prediction at;
    at.cx = in.xs[line.q] + line.tx * d;
    at.cy = in.ys[line.q] + line.ty * d;
    at.reach_x = line.base_x + line.abs_tx * lower.z_half;
    at.reach_y = line.base_y + line.abs_ty * lower.z_half;
    at.usable = std::isfinite(at.cx) && std::isfinite(at.cy) && std::isfinite(at.reach_x) &&
                std::isfinite(at.reach_y);
    return at;
}

// Bounds on the slopes of the segments whose predictions the halos serve.
struct HaloBounds {
    bool enabled = false;
    double tx = 0.0;
    double ty = 0.0;
};

// Segment slopes stay within the window slopes, so the reach of a prediction is bounded per
// module; segments steeper than the bounds take the exact rectangle instead.
HaloBounds build_halos(Workspace& ws, const GraphDFSParams& params, const LinkInputs& in) {
    HaloBounds bounds;
    ws.halos.assign(ws.grid_words, 0);
    const double slack = 1 + 1e-6;
    bounds.tx = std::fabs(params.max_slopes.first) * slack;
    bounds.ty = std::fabs(params.max_slopes.second) * slack;
    const double scale = coordinate_scale(ws);
    // Far from overflow, every prediction below is finite.
    if (!in.narrow || !std::isfinite(bounds.tx) || !std::isfinite(bounds.ty) ||
        !(scale * (1 + bounds.tx + bounds.ty) * 8 < 1e300)) {
        return bounds;
    }
    bounds.enabled = true;
    for (ModuleRange& r : ws.ranges) {
        r.has_halo = false;
        if (!r.has_mask)
            continue;
        const double reach_x =
            (in.cut.tol_x + in.margin * (2 + bounds.tx) + bounds.tx * r.z_half) * slack + in.margin;
        const double reach_y =
            (in.cut.tol_y + in.margin * (2 + bounds.ty) + bounds.ty * r.z_half) * slack + in.margin;
        if (!std::isfinite(reach_x) || !std::isfinite(reach_y))
            continue;
        r.has_halo = true;
        for (Pos p = r.begin; p < r.end; ++p) {
            const auto pi = static_cast<std::size_t>(p);
            const int xa = mask_cell(ws.x[pi] - reach_x, r.mask_x0, r.mask_x_inv);
            const int xb = mask_cell(ws.x[pi] + reach_x, r.mask_x0, r.mask_x_inv);
            const int ya = mask_row(ws.y[pi] - reach_y, r.mask_y0, r.mask_y_inv);
            const int yb = mask_row(ws.y[pi] + reach_y, r.mask_y0, r.mask_y_inv);
            for (int word = 0; word < kMaskWords; ++word) {
                // Empty for a negative reach: nothing comes near.
                const std::uint64_t columns = column_span(xa, xb, word);
                for (int row = ya; row <= yb; ++row)
                    ws.halos[r.mask + static_cast<std::uint32_t>(row * kMaskWords + word)] |=
                        columns;
            }
        }
    }
    return bounds;
}

// Rank of window hit `offset` among the window's hits that pass the y cut.
inline std::uint32_t rank_in_window(const std::uint64_t* words, std::uint32_t offset) {
    std::uint32_t rank = 0;
    for (std::uint32_t w = 0; w < offset / 64; ++w)
        rank += count_ones(words[w]);
    const std::uint64_t below = (std::uint64_t{1} << (offset % 64)) - 1;
    return rank + count_ones(words[offset / 64] & below);
}

// Calls visit(offset) for every window hit that passes the y cut, in x order.
template <typename Visit>
inline void for_each_passing(const std::uint64_t* words, Pos length, Visit&& visit) {
    for (Pos w = 0; w * 64 < length; ++w) {
        for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1)
            visit(static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits)));
    }
}

// What the link search reads, gathered once per event.
struct LinkContext {
    LinkInputs in;
    HaloBounds halo;
    const ModuleRange* ranges;
    const Block* blocks;
    const std::uint32_t* block_begin;
    const std::uint64_t* pass_bits;
    const std::uint64_t* masks;
    const std::uint64_t* halos;
    const Pos* cell_start;
};

// Whether the grids show that no hit of the lower module lies near the line's prediction there.
inline bool misses_lower_module(const LinkContext& ctx, const Line& line, bool near,
                                const ModuleRange& lower) {
    const LinkInputs& in = ctx.in;
    if (near && lower.has_halo) {
        const double d = lower.z_mid - in.zs[line.q];
        const int column = mask_cell(in.xs[line.q] + line.tx * d, lower.mask_x0, lower.mask_x_inv);
        const int row = mask_row(in.ys[line.q] + line.ty * d, lower.mask_y0, lower.mask_y_inv);
        return !grid_bit(ctx.halos + lower.mask, row, column);
    }
    if (line.finite && lower.has_mask) {
        const Prediction at = predict(in, line, lower);
        if (at.usable) {
            const std::uint64_t* grid = ctx.masks + lower.mask;
            const int ya = mask_row(at.cy - at.reach_y, lower.mask_y0, lower.mask_y_inv);
            const int yb = mask_row(at.cy + at.reach_y, lower.mask_y0, lower.mask_y_inv);
            const int xa = mask_cell(at.cx - at.reach_x, lower.mask_x0, lower.mask_x_inv);
            const int xb = mask_cell(at.cx + at.reach_x, lower.mask_x0, lower.mask_x_inv);
            for (int word = 0; word < kMaskWords; ++word) {
                std::uint64_t rows = 0;
                for (int row = ya; row <= yb; ++row)
                    rows |= grid[row * kMaskWords + word];
                if ((rows & column_span(xa, xb, word)) != 0)
                    return false;
            }
            return true;
        }
    }
    return false;
}

// Calls link(s, c) for every segment s of `block` (they all start at the line's lower hit) that
// continues the line, c being its lower hit, in index order. Where the prediction is usable,
// only the hits within its reach are tested; the exact link test decides.
template <typename Link>
inline void search_block(const LinkContext& ctx, const Line& line, const Block& block,
                         Link&& link) {
    const LinkInputs& in = ctx.in;
    const ModuleRange& lower = ctx.ranges[block.module];
    const std::uint64_t* words = ctx.pass_bits + block.bits;
    auto test = [&](std::uint32_t offset, Seg s) {
        const Pos c = block.first + static_cast<Pos>(offset);
        if (continues(in.xs, in.ys, in.zs, in.cut, line.g, line.q, line.tx, line.ty, c))
            link(s, c);
    };
    if (line.finite && lower.cells != 0) {
        const Prediction at = predict(in, line, lower);
        if (at.usable) {
            const Pos* table = ctx.cell_start + lower.table;
            const Pos from =
                std::max(table[cell(at.cx - at.reach_x, lower.x0, lower.inv_width, lower.cells)],
                         block.first);
            const Pos to = std::min(
                table[cell(at.cx + at.reach_x, lower.x0, lower.inv_width, lower.cells) + 1],
                block.window_end);
            for (Pos c = from; c < to; ++c) {
                const auto offset = static_cast<std::uint32_t>(c - block.first);
                if (std::fabs(in.ys[c] - at.cy) < at.reach_y &&
                    ((words[offset / 64] >> (offset % 64)) & 1) != 0) {
                    test(offset, block.begin + rank_in_window(words, offset));
                }
            }
            return;
        }
    }
    Seg s = block.begin;
    for_each_passing(words, block.window_end - block.first,
                     [&](std::uint32_t offset) { test(offset, s++); });
}

// The halo filter needs every coordinate finite and each hit in one module with its blocks in
// window order, so that a block's slot names its lower module.
bool halo_filter_applies(const Workspace& ws, const LinkContext& ctx) {
    return ctx.halo.enabled && ctx.in.all_finite && ws.ranges.size() <= 64;
}

// Grids standing in for a halo: nothing is near (a hit without a block into the module), and
// anything may be (a module without a halo).
constexpr std::array<std::uint64_t, kMaskRows * kMaskWords> kEmptyGrid{};
constexpr auto kFullGrid = [] {
    std::array<std::uint64_t, kMaskRows * kMaskWords> grid{};
    grid.fill(~std::uint64_t{0});
    return grid;
}();

// The halo terms of every hit, slot_stride slots each.
void build_halo_terms(Workspace& ws, const LinkContext& ctx) {
    const std::size_t stride = ws.slot_stride;
    ws.halo_terms.resize(ws.x.size() * stride);
    for (std::size_t t = 0; t < ws.ranges.size(); ++t) {
        const ModuleRange& upper = ws.ranges[t];
        for (Pos q = upper.begin; q < upper.end; ++q) {
            const auto qi = static_cast<std::size_t>(q);
            for (std::uint32_t k = 0; k < ws.slot_count[t]; ++k) {
                HaloTerm& term = ws.halo_terms[qi * stride + k];
                term = {0.0, 0.0, 0.0, 0.0, kEmptyGrid.data()};
                if (((ws.slot_mask[qi] >> k) & 1) == 0)
                    continue;
                const ModuleRange& lower =
                    ws.ranges[static_cast<std::size_t>(ws.slot_module[64 * t + k])];
                const double d = lower.z_mid - ws.z[qi];
                term = {(ws.x[qi] - lower.mask_x0) * lower.mask_x_inv, d * lower.mask_x_inv,
                        (ws.y[qi] - lower.mask_y0) * lower.mask_y_inv, d * lower.mask_y_inv,
                        ctx.halos + lower.mask};
                const bool finite = std::isfinite(term.ux) && std::isfinite(term.vx) &&
                                    std::isfinite(term.uy) && std::isfinite(term.vy);
                if (!lower.has_halo || !finite)
                    term = {0.0, 0.0, 0.0, 0.0, kFullGrid.data()};
            }
        }
    }
}

// For the segments from the block's upper hit to the hits `from` + i that `passing` marks: sets
// reached[i] to the slots of the lower hit's blocks whose module the halo cannot rule out, and
// returns the offsets i with any. Every such segment lies within the halo bounds: its slopes
// passed the window and y cuts, which the bounds exceed by far more than rounding. No branch
// depends on the data: nearly every segment ends here.
std::uint64_t halo_filter(const Workspace& ws, const LinkContext& ctx, const Block& block, Pos from,
                          std::uint64_t passing, std::uint64_t* reached) {
    const double* xs = ctx.in.xs;
    const double* ys = ctx.in.ys;
    const double* zs = ctx.in.zs;
    const auto g = static_cast<std::size_t>(block.upper);
    const double xg = xs[g], yg = ys[g], zg = zs[g];
    const std::uint32_t slot_count = ws.slot_count[static_cast<std::size_t>(block.module)];
    if (slot_count == 0)
        return 0;  // a block into module 0 or 1: its lower hits start no segments
    const std::size_t stride = ws.slot_stride;
    const HaloTerm* terms = ws.halo_terms.data();
    std::uint64_t result = 0;
    for (; passing != 0; passing &= passing - 1) {
        const int i = std::countr_zero(passing);
        const auto q = static_cast<std::size_t>(from + i);
        const double r = 1 / (zs[q] - zg);
        const double tx = (xs[q] - xg) * r;
        const double ty = (ys[q] - yg) * r;
        const HaloTerm* term = terms + q * stride;
        std::uint64_t slots = 0;
        for (std::uint32_t k = 0; k < slot_count; ++k) {
            const int column = clamped_index(term[k].ux + tx * term[k].vx, kMaskCells - 1);
            const int row = clamped_index(term[k].uy + ty * term[k].vy, kMaskRows - 1);
            const std::uint64_t bits =
                term[k].rows[row * kMaskWords + (column >> 6)] >> (column & 63);
            slots |= (bits & 1) << k;
        }
        reached[i] = slots;
        result |= std::uint64_t{slots != 0} << i;
    }
    return result;
}

// Successor lists of the segments that have any, both ascending, found segment by segment in
// index order. Returns whether every link goes to a lower index, which holds whenever modules
// lie in the hit list in module order.
bool link_segments(Workspace& ws, const GraphDFSParams& params, std::size_t segments) {
    build_module_grids(ws);

    LinkContext ctx{};
    LinkInputs& in = ctx.in;
    in.xs = ws.x.data();
    in.ys = ws.y.data();
    in.zs = ws.z.data();
    in.cut = {params.max_tolerance.first, params.max_tolerance.second, params.max_scatter};
    // A NaN tolerance rejects nothing, so positions cannot narrow the search.
    in.narrow = !std::isnan(in.cut.tol_x) && !std::isnan(in.cut.tol_y);
    in.all_finite =
        std::all_of(ws.x.begin(), ws.x.end(), [](double v) { return std::isfinite(v); }) &&
        std::all_of(ws.y.begin(), ws.y.end(), [](double v) { return std::isfinite(v); }) &&
        std::all_of(ws.z.begin(), ws.z.end(), [](double v) { return std::isfinite(v); });
    in.margin = rounding_margin(coordinate_scale(ws));
    ctx.halo = build_halos(ws, params, in);
    ctx.ranges = ws.ranges.data();
    ctx.blocks = ws.blocks.data();
    ctx.block_begin = ws.block_begin.data();
    ctx.pass_bits = ws.pass_bits.data();
    ctx.halos = ws.halos.data();
    ctx.cell_start = ws.cell_start.data();

    ws.linked.clear();
    ws.linked_up.clear();
    ws.linked_low.clear();
    ws.succ_begin.clear();
    ws.succ.clear();
    ws.succ_low.clear();
    bool descending = true;
    // The successors of segment number `segment`, from g down to q, in index order: in the
    // blocks that blocks_to_search(line, q, search) hands to search, in block order.
    auto link_from = [&](Seg segment, Pos g, Pos q, auto&& blocks_to_search) {
        Line line;
        if (!make_line(in, g, q, line))
            return;
        const std::size_t before = ws.succ.size();
        auto link = [&](Seg s, Pos c) {
            ws.succ.push_back(s);
            ws.succ_low.push_back(c);
            descending = descending && s < segment;
        };
        blocks_to_search(line, q,
                         [&](const Block& block) { search_block(ctx, line, block, link); });
        if (ws.succ.size() == before)
            return;
        if (ws.succ.size() >= kNoSeg)
            throw std::bad_alloc();
        ws.linked.push_back(segment);
        ws.linked_up.push_back(g);
        ws.linked_low.push_back(q);
        ws.succ_begin.push_back(static_cast<std::uint32_t>(before));
    };
    if (!halo_filter_applies(ws, ctx)) {
        mark_occupancy(ws);
        ctx.masks = ws.masks.data();
        // The blocks of the hits with q's id that the grids cannot rule out.
        auto unruled_blocks = [&](const Line& line, Pos q, auto&& search) {
            const bool near = ctx.halo.enabled && line.finite && line.abs_tx <= ctx.halo.tx &&
                              line.abs_ty <= ctx.halo.ty;
            const auto qi = static_cast<std::size_t>(q);
            for (auto b = ctx.block_begin[qi]; b < ctx.block_begin[qi + 1]; ++b) {
                if (!misses_lower_module(ctx, line, near, ctx.ranges[ctx.blocks[b].module]))
                    search(ctx.blocks[b]);
            }
        };
        for (const Block& block : ws.blocks) {
            throw_if_cancelled();
            Seg segment = block.begin;
            for_each_passing(ws.pass_bits.data() + block.bits, block.window_end - block.first,
                             [&](std::uint32_t offset) {
                                 const Pos q = block.first + static_cast<Pos>(offset);
                                 const auto qi = static_cast<std::size_t>(q);
                                 // Only a lower hit with blocks of its own continues.
                                 if (ctx.block_begin[qi] != ctx.block_begin[qi + 1])
                                     link_from(segment, block.upper, q, unruled_blocks);
                                 ++segment;
                             });
        }
    } else {
        build_halo_terms(ws, ctx);
        std::array<std::uint64_t, 64> reached;
        std::uint64_t slots = 0;  // those the halo filter left to the hit at hand
        // The blocks of q in those slots: a hit's blocks are in slot order, one per slot it has.
        auto blocks_in_slots = [&](const Line&, Pos q, auto&& search) {
            const auto qi = static_cast<std::size_t>(q);
            for (std::uint64_t left = slots; left != 0; left &= left - 1) {
                const std::uint64_t lowest = left & (~left + 1);
                const std::uint32_t rank = count_ones(ws.slot_mask[qi] & (lowest - 1));
                search(ctx.blocks[ctx.block_begin[qi] + rank]);
            }
        };
        for (const Block& block : ws.blocks) {
            throw_if_cancelled();
            const std::uint64_t* passing = ws.pass_bits.data() + block.bits;
            const Pos length = block.window_end - block.first;
            Seg before_word = block.begin;
            for (Pos w = 0; w * 64 < length; ++w) {
                const Pos from = block.first + 64 * w;
                const std::uint64_t candidates =
                    halo_filter(ws, ctx, block, from, passing[w], reached.data());
                for (std::uint64_t bits = candidates; bits != 0; bits &= bits - 1) {
                    const int offset = std::countr_zero(bits);
                    const std::uint64_t below = (std::uint64_t{1} << offset) - 1;
                    slots = reached[static_cast<std::size_t>(offset)];
                    link_from(before_word + count_ones(passing[w] & below), block.upper,
                              from + offset, blocks_in_slots);
                }
                before_word += count_ones(passing[w]);
            }
        }
    }
    ws.succ_begin.push_back(static_cast<std::uint32_t>(ws.succ.size()));

    // Each successor's position in `linked`, if it has successors itself.
    const std::size_t linked = ws.linked.size();
    if (ws.link_index.size() < segments)
        ws.link_index.resize(segments);
    for (std::size_t i = 0; i < linked; ++i)
        ws.link_index[ws.linked[i]] = static_cast<Seg>(i);
    ws.succ_link.resize(ws.succ.size());
    ws.is_successor.assign(linked, 0);
    for (std::size_t k = 0; k < ws.succ.size(); ++k) {
        const Seg s = ws.succ[k];
        const Seg j = ws.link_index[s];
        const bool has_successors = j < linked && ws.linked[j] == s;
        ws.succ_link[k] = has_successors ? j : kNoSeg;
        if (has_successors)
            ws.is_successor[j] = 1;
    }
    return descending;
}

// The weight passes over the segments with successors, in ascending order; the others weigh 0.
void assign_weights(Workspace& ws, std::int32_t iterations, bool descending) {
    const std::size_t count = ws.linked.size();
    ws.weight.assign(count, 0);
    for (std::int32_t pass = 0; pass < iterations; ++pass) {
        throw_if_cancelled();
        bool changed = false;
        for (std::size_t i = 0; i < count; ++i) {
            std::int32_t heaviest = std::numeric_limits<std::int32_t>::min();
            for (std::uint32_t k = ws.succ_begin[i]; k < ws.succ_begin[i + 1]; ++k) {
                const Seg j = ws.succ_link[k];
                heaviest = std::max(heaviest, j == kNoSeg ? 0 : ws.weight[j]);
            }
            // Wraps instead of overflowing; only a cyclic graph keeps growing.
            const auto w = static_cast<std::int32_t>(static_cast<std::uint32_t>(heaviest) + 1u);
            changed = changed || w != ws.weight[i];
            ws.weight[i] = w;
        }
        // Successors before predecessors: one pass reaches the fixed point.
        if (!changed || descending)
            break;
    }
}

// For every segment with successors: the number of hits on its shortest chain (its own h1
// included) and the first successor in list order that starts such a chain. Taking the first
// successor of minimal length at every step gives the first shortest chain in depth-first order.
// A segment without successors is a chain of one hit.
void shortest_chains(Workspace& ws) {
    const std::size_t count = ws.linked.size();
    ws.chain_hits.assign(count, 0);
    ws.chain_next.assign(count, 0);
    auto hits_from = [&](std::uint32_t k) -> std::uint32_t {
        const Seg j = ws.succ_link[k];
        return j == kNoSeg ? 1 : ws.chain_hits[j];
    };
    // Successors come before their predecessors, so one pass in order sees every chain below.
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t best = std::numeric_limits<std::uint32_t>::max();
        for (std::uint32_t k = ws.succ_begin[i]; k < ws.succ_begin[i + 1]; ++k) {
            const std::uint32_t h = hits_from(k);
            if (h < best) {
                best = h;
                ws.chain_next[i] = k;
            }
        }
        ws.chain_hits[i] = best + 1;
    }
}

// Kept opaque: propagated into the callees, the thread-local workspace would be looked up
// afresh at every use.
[[gnu::noipa]] std::vector<Track> solve_with(Workspace& ws, const GraphDFSParams& params,
                                             const Event& event) {
    const HitList& hits = *event.hits;
    if (hits.size() >= static_cast<std::size_t>(std::numeric_limits<Pos>::max()))
        throw std::bad_alloc();
    check_event_invariants(hits, event.modules);
    sort_hits(ws, hits, event.modules);
    const std::size_t segments = build_segments(ws, params, event);
    // Segments are numbered by upper hit, module by module upwards: successors come first.
    [[maybe_unused]] const bool descending = link_segments(ws, params, segments);
    assert(descending);
    assign_weights(ws, params.weight_assignment_iterations, descending);
    shortest_chains(ws);

    // Roots: segments with successors that continue no other segment, heavy enough. Each
    // yields its upper hit and the lower hits down its shortest chain.
    ws.track_pos.clear();
    ws.track_begin.clear();
    for (std::size_t i = 0; i < ws.linked.size(); ++i) {
        if (ws.is_successor[i] || ws.weight[i] < params.minimum_root_weight ||
            ws.chain_hits[i] == 0) {
            continue;
        }
        ws.track_begin.push_back(ws.track_pos.size());
        ws.track_pos.push_back(ws.linked_up[i]);
        ws.track_pos.push_back(ws.linked_low[i]);
        for (Seg j = static_cast<Seg>(i); j != kNoSeg;) {
            const std::uint32_t k = ws.chain_next[j];
            ws.track_pos.push_back(ws.succ_low[k]);
            j = ws.succ_link[k];
        }
    }
    ws.track_begin.push_back(ws.track_pos.size());
    const std::size_t track_count = ws.track_begin.size() - 1;
    auto track_hits = [&](std::size_t i) {
        return std::span<const Pos>(ws.track_pos.data() + ws.track_begin[i],
                                    ws.track_begin[i + 1] - ws.track_begin[i]);
    };
    // Short tracks sharing a hit with a long track go; ids are distinct, so a position stands
    // for its hit's id.
    auto id_slot = [](Pos p) { return static_cast<std::size_t>(p); };
    if (params.clone_ghost_killing) {
        ws.in_long_track.assign(hits.size(), 0);
        for (std::size_t i = 0; i < track_count; ++i) {
            const auto t = track_hits(i);
            if (t.size() > 3) {
                for (Pos p : t)
                    ws.in_long_track[id_slot(p)] = 1;
            }
        }
    }
    std::vector<Track> tracks;
    tracks.reserve(track_count);
    for (std::size_t i = 0; i < track_count; ++i) {
        const auto t = track_hits(i);
        if (params.clone_ghost_killing && t.size() <= 3 &&
            std::any_of(t.begin(), t.end(), [&](Pos p) { return ws.in_long_track[id_slot(p)]; })) {
            continue;
        }
        Track& track = tracks.emplace_back();
        track.hits.reserve(t.size());
        for (Pos p : t)
            track.hits.push_back(hits[ws.order[static_cast<std::size_t>(p)]]);
    }
    return tracks;
}

}  // namespace

std::vector<Track> solve(const GraphDFSParams& params, const Event& event) {
    thread_local Workspace ws;
    return solve_with(ws, params, event);
}

}  // namespace trelmon
