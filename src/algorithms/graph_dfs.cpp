#include "algorithms/graph_dfs.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>

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
    bool any_z = false;    // some hit has a z that is not NaN
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

// The segments from one upper hit into one lower module: consecutive indices, lower hits in x
// order, one for each hit of the window [first, window_end) that passes the y cut.
struct Block {
    std::int32_t module;
    Seg begin;
    Seg end;
    Pos first;
    Pos window_end;
    Pos upper;
};

// A segment and a block of its lower hit that may hold successors.
struct Candidate {
    Seg seg;
    std::uint32_t block;
};

// Per-thread scratch; every vector is resized per event, so capacity carries over.
struct Workspace {
    // By position in the sorted hit list.
    std::vector<std::uint32_t> order;  // position -> index in the event's hit list
    std::vector<double> x, y, z;
    std::vector<Pos> first_pos;  // first position holding the same hit id
    std::vector<Pos> next_same;  // next position with the same id, kNone at the end
    std::vector<std::int32_t> owner;
    std::vector<std::uint32_t> block_begin;  // blocks of the segments whose upper hit is here
    std::vector<Block> blocks;
    std::vector<std::uint8_t> in_long_track;
    std::vector<ModuleRange> ranges;
    std::vector<WindowEntry> windows;
    std::vector<std::int64_t> id_slot;
    std::vector<std::pair<std::int32_t, Pos>> id_sort;
    // By segment index.
    std::vector<Pos> up, low;
    std::vector<Pos> cell_start;  // module x grids
    std::vector<std::uint64_t> masks;
    std::vector<std::uint64_t> halos;
    std::vector<Candidate> candidates;
    std::vector<Seg> link_index;  // position in `linked`, kNoSeg without successors
    // By position in `linked`, the segments with successors in ascending order.
    std::vector<Seg> linked;
    std::vector<Seg> succ_begin, succ;
    std::vector<std::uint8_t> is_successor;
    std::vector<std::int32_t> weight;
    std::vector<std::uint32_t> chain_hits;  // hits from the segment's h1 down its shortest chain
    std::vector<Seg> chain_next;
    std::vector<Seg> reverse_begin, reverse_links, queue;
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
        r.finite_z = r.any_z && std::isfinite(r.z_min) && std::isfinite(r.z_max);
        if (r.finite_z) {
            r.z_mid = r.z_min + (r.z_max - r.z_min) / 2;
            r.z_half = std::max(r.z_max - r.z_mid, r.z_mid - r.z_min);
            r.finite_z = std::isfinite(r.z_mid) && std::isfinite(r.z_half);
        }
    }
}

// Links look a segment's upper hit up by id: the first position holding that id. Returns
// whether some id occurs twice (then next_same chains the positions of each id).
bool index_ids(Workspace& ws, const HitList& hits) {
    const std::size_t n = hits.size();
    ws.first_pos.resize(n);
    bool dense = true;
    for (std::size_t p = 0; p < n && dense; ++p) {
        const std::int32_t id = hits[ws.order[p]].id;
        dense = id >= 0 && static_cast<std::size_t>(id) < n;
    }
    if (dense) {
        ws.id_slot.assign(n, -1);
        for (std::size_t p = 0; p < n; ++p) {
            auto& slot = ws.id_slot[static_cast<std::size_t>(hits[ws.order[p]].id)];
            if (slot < 0)
                slot = static_cast<std::int64_t>(p);
            ws.first_pos[p] = static_cast<Pos>(slot);
        }
    } else {
        ws.id_sort.resize(n);
        for (std::size_t p = 0; p < n; ++p)
            ws.id_sort[p] = {hits[ws.order[p]].id, static_cast<Pos>(p)};
        std::sort(ws.id_sort.begin(), ws.id_sort.end());
        for (std::size_t i = 0; i < n; ++i) {
            const bool starts = i == 0 || ws.id_sort[i].first != ws.id_sort[i - 1].first;
            const Pos first =
                starts ? ws.id_sort[i].second
                       : ws.first_pos[static_cast<std::size_t>(ws.id_sort[i - 1].second)];
            ws.first_pos[static_cast<std::size_t>(ws.id_sort[i].second)] = first;
        }
    }
    bool duplicates = false;
    for (std::size_t p = 0; p < n && !duplicates; ++p)
        duplicates = ws.first_pos[p] != static_cast<Pos>(p);
    if (duplicates) {
        ws.next_same.assign(n, kNone);
        std::vector<Pos> last(n, kNone);
        for (std::size_t p = 0; p < n; ++p) {
            const auto f = static_cast<std::size_t>(ws.first_pos[p]);
            if (last[f] != kNone)
                ws.next_same[static_cast<std::size_t>(last[f])] = static_cast<Pos>(p);
            last[f] = static_cast<Pos>(p);
        }
    }
    return duplicates;
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
    const bool bounded = std::isfinite(hz);
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
    for (; q < r.end; ++q) {
        if (w.first == kNone) {
            if (inside(q)) {
                w.first = q;
            } else if (bounded && !(xs[q] - hx < bound)) {
                return w;
            }
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
void collect_windows(Workspace& ws, const GraphDFSParams& params, std::int32_t upper, Pos g,
                     bool may_repeat) {
    for (std::int64_t k = 0; k <= params.allowed_skip_modules; ++k) {
        const std::int64_t t = params.allow_cross_track ? upper - (k + 1) : upper - 2 * (k + 1);
        if (t < 0)
            break;  // t only falls with k
        const WindowEntry w =
            find_window(ws, static_cast<std::int32_t>(t), g, params.max_slopes.first);
        if (may_repeat) {
            auto it = std::find_if(ws.windows.begin(), ws.windows.end(),
                                   [&](const WindowEntry& e) { return e.module == w.module; });
            if (it != ws.windows.end()) {
                *it = w;  // a replaced window keeps its place
                continue;
            }
        }
        ws.windows.push_back(w);
    }
}

void build_segments(Workspace& ws, const GraphDFSParams& params, const Event& event) {
    const std::size_t n = ws.x.size();
    const std::size_t limit = std::min(event.number_of_hits, n);
    const auto module_count = static_cast<std::int32_t>(ws.ranges.size());
    ws.owner.assign(n, -1);
    bool overlap = false;
    if (module_count >= 3 && params.allowed_skip_modules >= 0) {
        for (std::int32_t j = module_count - 1; j >= 2; --j) {
            const ModuleRange& r = ws.ranges[static_cast<std::size_t>(j)];
            for (Pos p = r.begin; p < r.end; ++p) {
                auto& o = ws.owner[static_cast<std::size_t>(p)];
                if (o != -1) {
                    overlap = true;
                } else {
                    o = j;
                }
            }
        }
    }
    ws.block_begin.resize(n + 1);
    ws.blocks.clear();
    ws.up.clear();
    ws.low.clear();
    const double slope_y = params.max_slopes.second;
    for (std::size_t gi = 0; gi < n; ++gi) {
        ws.block_begin[gi] = static_cast<std::uint32_t>(ws.blocks.size());
        const auto g = static_cast<Pos>(gi);
        if (gi >= limit || ws.owner[gi] < 0)
            continue;
        ws.windows.clear();
        if (!overlap) {
            collect_windows(ws, params, ws.owner[gi], g, false);
        } else {
            for (std::int32_t j = module_count - 1; j >= 2; --j) {
                const ModuleRange& r = ws.ranges[static_cast<std::size_t>(j)];
                if (r.begin <= g && g < r.end)
                    collect_windows(ws, params, j, g, true);
            }
        }
        const double gy = ws.y[gi];
        const double gz = ws.z[gi];
        for (const WindowEntry& w : ws.windows) {
            const auto block_start = static_cast<Seg>(ws.up.size());
            for (Pos q = w.first; q < w.end; ++q) {
                const auto qi = static_cast<std::size_t>(q);
                if (std::fabs(ws.z[qi] - gz) * slope_y > std::fabs(ws.y[qi] - gy)) {
                    if (ws.up.size() >= kNoSeg)
                        throw std::bad_alloc();
                    ws.up.push_back(g);
                    ws.low.push_back(q);
                }
            }
            const auto block_end = static_cast<Seg>(ws.up.size());
            if (block_end != block_start)
                ws.blocks.push_back({w.module, block_start, block_end, w.first, w.end, g});
        }
    }
    ws.block_begin[n] = static_cast<std::uint32_t>(ws.blocks.size());
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

// Monotonic in v; truncation is floor for c > 0.
std::int32_t cell(double v, double origin, double inv_width, std::int32_t cells) {
    const double c = (v - origin) * inv_width;
    if (!(c > 0))
        return 0;
    if (c >= cells - 1)
        return cells - 1;
    return static_cast<std::int32_t>(c);
}

constexpr int kMaskCells = 64;  // one bit per column
constexpr double kTiny = std::numeric_limits<double>::min();

// Monotonic in v, NaN to 0: the column or row of the occupancy grid.
inline int mask_cell(double v, double origin, double inv_width) {
    double c = (v - origin) * inv_width;
    c = c > 0 ? c : 0;
    c = c < kMaskCells - 1 ? c : kMaskCells - 1;
    return static_cast<int>(c);
}

// An x grid per module, fine enough that a prediction's reach covers few hits beyond those
// inside it.
void build_module_grids(Workspace& ws) {
    constexpr std::size_t kMaxCells = 4096;
    ws.cell_start.clear();
    ws.masks.clear();
    for (ModuleRange& r : ws.ranges) {
        r.cells = 0;
        if (r.begin == r.end || r.finite_x_end != r.end || !r.finite_z)
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
        const double mask_y_width = std::max((y1 - y0) / kMaskCells, kTiny);
        if (!std::isfinite(y0) || !std::isfinite(y1) || !std::isfinite(mask_y_width) ||
            !std::isfinite(mask_x_width)) {
            continue;
        }
        r.has_mask = true;
        r.mask = static_cast<std::uint32_t>(ws.masks.size());
        r.mask_x0 = x0;
        r.mask_x_inv = 1 / mask_x_width;
        r.mask_y0 = y0;
        r.mask_y_inv = 1 / mask_y_width;
        ws.masks.resize(ws.masks.size() + kMaskCells, 0);
        for (Pos p = r.begin; p < r.end; ++p) {
            const auto pi = static_cast<std::size_t>(p);
            const int column = mask_cell(ws.x[pi], r.mask_x0, r.mask_x_inv);
            const int row = mask_cell(ws.y[pi], r.mask_y0, r.mask_y_inv);
            ws.masks[r.mask + static_cast<std::uint32_t>(row)] |= std::uint64_t{1} << column;
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
    double slope_y;  // the y cut of the segments
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
    ws.halos.assign(ws.masks.size(), 0);
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
            if (xa > xb)
                continue;  // a negative reach: nothing comes near
            const std::uint64_t columns =
                (~std::uint64_t{0} >> (63 - xb)) & (~std::uint64_t{0} << xa);
            const int ya = mask_cell(ws.y[pi] - reach_y, r.mask_y0, r.mask_y_inv);
            const int yb = mask_cell(ws.y[pi] + reach_y, r.mask_y0, r.mask_y_inv);
            for (int row = ya; row <= yb; ++row)
                ws.halos[r.mask + static_cast<std::uint32_t>(row)] |= columns;
        }
    }
    return bounds;
}

// Successor lists of the segments that have any, ascending both ways. Returns whether every
// link goes to a lower index, which holds whenever modules lie in the hit list in module order.
bool link_segments(Workspace& ws, const GraphDFSParams& params, bool duplicates) {
    const std::size_t count = ws.up.size();
    build_module_grids(ws);

    LinkInputs in{};
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
    in.margin = 1e-9 * coordinate_scale(ws);
    in.slope_y = params.max_slopes.second;
    const Pos* up = ws.up.data();
    const Pos* low = ws.low.data();
    const Pos* first_pos = ws.first_pos.data();
    const Pos* next_same = duplicates ? ws.next_same.data() : nullptr;
    const std::uint32_t* block_begin = ws.block_begin.data();
    const Block* blocks = ws.blocks.data();
    const ModuleRange* ranges = ws.ranges.data();
    const HaloBounds halo = build_halos(ws, params, in);
    const std::uint64_t* masks = ws.masks.data();
    const std::uint64_t* halos = ws.halos.data();

    // First pass, kept lean: the (segment, block) pairs whose predictions come near a hit at
    // all, predecessors ascending and for each the blocks of its lower hit ascending.
    std::vector<Candidate>& candidates = ws.candidates;
    candidates.clear();
    for (std::size_t pi = 0; pi < count; ++pi) {
        const Pos q = low[pi];
        const auto qi = static_cast<std::size_t>(q);
        // The link step looks a segment's upper hit up by id: only the first position of an id
        // has segments continuing the ones that end there.
        if (duplicates ? first_pos[qi] != q : block_begin[qi] == block_begin[qi + 1])
            continue;
        Line line;
        if (!make_line(in, up[pi], q, line))
            continue;
        const bool near =
            halo.enabled && line.finite && line.abs_tx <= halo.tx && line.abs_ty <= halo.ty;
        const double xq = in.xs[q], yq = in.ys[q], zq = in.zs[q];
        for (Pos u = q; u != kNone;
             u = duplicates ? next_same[static_cast<std::size_t>(u)] : kNone) {
            const auto ui = static_cast<std::size_t>(u);
            for (std::uint32_t b = block_begin[ui]; b < block_begin[ui + 1]; ++b) {
                const ModuleRange& lower = ranges[blocks[b].module];
                if (near && lower.has_halo) {
                    const double d = lower.z_mid - zq;
                    const int column = mask_cell(xq + line.tx * d, lower.mask_x0, lower.mask_x_inv);
                    const int row = mask_cell(yq + line.ty * d, lower.mask_y0, lower.mask_y_inv);
                    if (((halos[lower.mask + static_cast<std::uint32_t>(row)] >> column) & 1) == 0)
                        continue;
                } else if (line.finite && lower.has_mask) {
                    const Prediction at = predict(in, line, lower);
                    if (at.usable) {
                        const std::uint64_t* grid = masks + lower.mask;
                        const int ya =
                            mask_cell(at.cy - at.reach_y, lower.mask_y0, lower.mask_y_inv);
                        const int yb =
                            mask_cell(at.cy + at.reach_y, lower.mask_y0, lower.mask_y_inv);
                        // Rarely more than two rows.
                        std::uint64_t rows = grid[ya] | grid[yb];
                        for (int row = ya + 1; row < yb; ++row)
                            rows |= grid[row];
                        const int xa =
                            mask_cell(at.cx - at.reach_x, lower.mask_x0, lower.mask_x_inv);
                        const int xb =
                            mask_cell(at.cx + at.reach_x, lower.mask_x0, lower.mask_x_inv);
                        const std::uint64_t columns =
                            (~std::uint64_t{0} >> (63 - xb)) & (~std::uint64_t{0} << xa);
                        if ((rows & columns) == 0)
                            continue;  // usually no hit at all lies near the prediction
                    }
                }
                candidates.push_back({static_cast<Seg>(pi), b});
            }
        }
    }

    // Second pass: the link test on the hits near each prediction, or on every segment of the
    // block where the prediction cannot narrow the search.
    const Pos* cell_start = ws.cell_start.data();
    std::vector<Seg>& linked = ws.linked;
    std::vector<Seg>& succ_begin = ws.succ_begin;
    std::vector<Seg>& succ = ws.succ;
    linked.clear();
    succ_begin.clear();
    succ.clear();
    bool descending = true;
    Seg current = kNoSeg;
    Seg before = 0;
    Line line{};
    auto finish = [&] {
        if (current != kNoSeg && succ.size() != before) {
            if (succ.size() >= kNoSeg)
                throw std::bad_alloc();
            linked.push_back(current);
            succ_begin.push_back(before);
        }
    };
    for (const Candidate& candidate : candidates) {
        const Seg p = candidate.seg;
        if (p != current) {
            finish();
            current = p;
            before = static_cast<Seg>(succ.size());
            make_line(in, up[p], low[p], line);
        }
        auto link = [&](Seg s, Pos c) {
            if (continues(in.xs, in.ys, in.zs, in.cut, line.g, line.q, line.tx, line.ty, c)) {
                succ.push_back(s);
                descending = descending && s < p;
            }
        };
        const Block& block = blocks[candidate.block];
        const ModuleRange& lower = ranges[block.module];
        if (line.finite && lower.cells != 0) {
            const Prediction at = predict(in, line, lower);
            if (at.usable) {
                const Pos* table = cell_start + lower.table;
                const Pos from = std::max(
                    table[cell(at.cx - at.reach_x, lower.x0, lower.inv_width, lower.cells)],
                    block.first);
                const Pos to = std::min(
                    table[cell(at.cx + at.reach_x, lower.x0, lower.inv_width, lower.cells) + 1],
                    block.window_end);
                // Most hits in reach of x miss in y. A segment's index is its rank among the
                // window's hits that pass the y cut, counted again here: cheaper than a table
                // that is cold by now.
                const double gy = in.ys[block.upper];
                const double gz = in.zs[block.upper];
                auto passes = [&](Pos c) {
                    return std::fabs(in.zs[c] - gz) * in.slope_y > std::fabs(in.ys[c] - gy);
                };
                Seg s = block.begin;
                Pos counted = block.first;
                for (Pos c = from; c < to; ++c) {
                    if (!(std::fabs(in.ys[c] - at.cy) < at.reach_y) || !passes(c))
                        continue;
                    for (; counted < c; ++counted)
                        s += passes(counted) ? 1 : 0;
                    link(s, c);
                }
                continue;
            }
        }
        for (Seg s = block.begin; s < block.end; ++s)
            link(s, low[s]);
    }
    finish();
    succ_begin.push_back(static_cast<Seg>(succ.size()));
    ws.link_index.assign(count, kNoSeg);
    for (std::size_t i = 0; i < linked.size(); ++i)
        ws.link_index[linked[i]] = static_cast<Seg>(i);
    ws.is_successor.assign(linked.size(), 0);
    for (Seg s : succ) {
        if (ws.link_index[s] != kNoSeg)
            ws.is_successor[ws.link_index[s]] = 1;
    }
    return descending;
}

// The weight passes over the segments with successors, in ascending order; the others weigh 0.
void assign_weights(Workspace& ws, std::int32_t iterations, bool descending) {
    const std::size_t count = ws.linked.size();
    ws.weight.assign(count, 0);
    for (std::int32_t pass = 0; pass < iterations; ++pass) {
        bool changed = false;
        for (std::size_t i = 0; i < count; ++i) {
            std::int32_t heaviest = std::numeric_limits<std::int32_t>::min();
            for (Seg k = ws.succ_begin[i]; k < ws.succ_begin[i + 1]; ++k) {
                const Seg j = ws.link_index[ws.succ[k]];
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
// A segment without successors is a chain of one hit; 0 marks one that reaches no chain end.
void shortest_chains(Workspace& ws, bool descending) {
    const std::size_t count = ws.linked.size();
    ws.chain_hits.assign(count, 0);
    ws.chain_next.assign(count, kNoSeg);
    auto hits_from = [&](Seg s) -> std::uint32_t {
        const Seg j = ws.link_index[s];
        return j == kNoSeg ? 1 : ws.chain_hits[j];
    };
    if (descending) {
        for (std::size_t i = 0; i < count; ++i) {
            std::uint32_t best = std::numeric_limits<std::uint32_t>::max();
            for (Seg k = ws.succ_begin[i]; k < ws.succ_begin[i + 1]; ++k) {
                const std::uint32_t h = hits_from(ws.succ[k]);
                if (h < best) {
                    best = h;
                    ws.chain_next[i] = ws.succ[k];
                }
            }
            ws.chain_hits[i] = best + 1;
        }
        return;
    }
    // Any other graph: breadth-first from the chain ends over reversed links.
    ws.reverse_begin.assign(count + 1, 0);
    for (Seg s : ws.succ) {
        if (ws.link_index[s] != kNoSeg)
            ++ws.reverse_begin[ws.link_index[s] + 1];
    }
    for (std::size_t i = 0; i < count; ++i)
        ws.reverse_begin[i + 1] += ws.reverse_begin[i];
    ws.reverse_links.resize(ws.reverse_begin[count]);
    ws.queue.assign(ws.reverse_begin.begin(), ws.reverse_begin.end() - 1);  // fill cursors
    for (std::size_t i = 0; i < count; ++i) {
        for (Seg k = ws.succ_begin[i]; k < ws.succ_begin[i + 1]; ++k) {
            const Seg j = ws.link_index[ws.succ[k]];
            if (j != kNoSeg)
                ws.reverse_links[ws.queue[j]++] = static_cast<Seg>(i);
        }
    }
    ws.queue.clear();
    for (std::size_t i = 0; i < count; ++i) {
        for (Seg k = ws.succ_begin[i]; k < ws.succ_begin[i + 1]; ++k) {
            if (ws.link_index[ws.succ[k]] == kNoSeg) {
                ws.chain_hits[i] = 2;
                ws.queue.push_back(static_cast<Seg>(i));
                break;
            }
        }
    }
    for (std::size_t head = 0; head < ws.queue.size(); ++head) {
        const Seg i = ws.queue[head];
        for (Seg k = ws.reverse_begin[i]; k < ws.reverse_begin[i + 1]; ++k) {
            const Seg j = ws.reverse_links[k];
            if (ws.chain_hits[j] == 0) {
                ws.chain_hits[j] = ws.chain_hits[i] + 1;
                ws.queue.push_back(j);
            }
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (ws.chain_hits[i] == 0)
            continue;
        for (Seg k = ws.succ_begin[i]; k < ws.succ_begin[i + 1]; ++k) {
            const std::uint32_t h = hits_from(ws.succ[k]);
            if (h != 0 && h + 1 == ws.chain_hits[i]) {
                ws.chain_next[i] = ws.succ[k];
                break;
            }
        }
    }
}

// Kept opaque: propagated into the callees, the thread-local workspace would be looked up
// afresh at every use.
[[gnu::noipa]] std::vector<Track> solve_with(Workspace& ws, const GraphDFSParams& params,
                                             const Event& event) {
    const HitList& hits = *event.hits;
    if (hits.size() >= static_cast<std::size_t>(std::numeric_limits<Pos>::max()))
        throw std::bad_alloc();
    sort_hits(ws, hits, event.modules);
    const bool duplicates = index_ids(ws, hits);
    build_segments(ws, params, event);
    const bool descending = link_segments(ws, params, duplicates);
    assign_weights(ws, params.weight_assignment_iterations, descending);
    shortest_chains(ws, descending);

    // Roots: segments with successors that continue no other segment, heavy enough. Each
    // yields its upper hit and the lower hits down its shortest chain.
    ws.track_pos.clear();
    ws.track_begin.clear();
    for (std::size_t i = 0; i < ws.linked.size(); ++i) {
        if (ws.is_successor[i] || ws.weight[i] < params.minimum_root_weight ||
            ws.chain_hits[i] == 0) {
            continue;
        }
        const Seg root = ws.linked[i];
        ws.track_begin.push_back(ws.track_pos.size());
        ws.track_pos.push_back(ws.up[root]);
        for (Seg s = root;;) {
            ws.track_pos.push_back(ws.low[s]);
            const Seg j = ws.link_index[s];
            if (j == kNoSeg)
                break;
            s = ws.chain_next[j];
        }
    }
    ws.track_begin.push_back(ws.track_pos.size());
    const std::size_t track_count = ws.track_begin.size() - 1;
    auto track_hits = [&](std::size_t i) {
        return std::span<const Pos>(ws.track_pos.data() + ws.track_begin[i],
                                    ws.track_begin[i + 1] - ws.track_begin[i]);
    };
    // Short tracks sharing a hit id with a long track go; the first position of an id stands
    // for the id.
    auto id_slot = [&](Pos p) {
        return static_cast<std::size_t>(ws.first_pos[static_cast<std::size_t>(p)]);
    };
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
