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
};

struct WindowEntry {
    std::int32_t module;
    Pos first;
    Pos end;
};

// The segments from one upper hit into one lower module: consecutive indices, lower hits in x
// order. Cell c of the block's x range starts at segment cell_start[table + c], so a range of x
// maps onto a range of segments without a search.
struct Block {
    std::int32_t module;
    Seg begin;
    Seg end;
    std::int32_t cells;  // 0: no table
    std::uint32_t table;
    double x0;
    double inv_width;
    double z_mid;  // of the lower module
    double z_half;
};

// A segment listed under its lower hit.
struct Ending {
    Seg seg;
    Pos up;
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
    std::vector<double> low_y;  // y of the lower hit, contiguous for the link search
    std::vector<Seg> cell_start;
    std::vector<Seg> ends_begin, cursor;  // segments grouped by lower hit
    std::vector<Ending> ends;
    std::vector<std::uint64_t> links;  // (predecessor << 32) | successor
    std::vector<Seg> link_index;       // position in `linked`, kNoSeg without successors
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
    ws.low_y.clear();
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
                    ws.low_y.push_back(ws.y[qi]);
                }
            }
            const auto block_end = static_cast<Seg>(ws.up.size());
            if (block_end != block_start)
                ws.blocks.push_back({w.module, block_start, block_end, 0, 0, 0.0, 0.0, 0.0, 0.0});
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

// Cells about as wide as the reach of a typical prediction (see link_segments).
void build_cell_tables(Workspace& ws, const GraphDFSParams& params) {
    constexpr double kMaxCells = 64;
    const double typical_slope = std::fabs(params.max_slopes.first);
    ws.cell_start.clear();
    for (Block& block : ws.blocks) {
        const ModuleRange& lower = ws.ranges[static_cast<std::size_t>(block.module)];
        const double x0 = ws.x[static_cast<std::size_t>(ws.low[block.begin])];
        const double x1 = ws.x[static_cast<std::size_t>(ws.low[block.end - 1])];
        double width = params.max_tolerance.first + typical_slope * lower.z_half;
        if (!(width > 0) || !std::isfinite(width))
            width = 0;
        width = std::max({width, (x1 - x0) / kMaxCells, std::numeric_limits<double>::min()});
        if (!lower.finite_z || !std::isfinite(x0) || !std::isfinite(x1) || !std::isfinite(width))
            continue;
        block.cells = static_cast<std::int32_t>(std::min((x1 - x0) / width, kMaxCells)) + 1;
        block.x0 = x0;
        block.inv_width = 1 / width;
        block.z_mid = lower.z_mid;
        block.z_half = lower.z_half;
        block.table = static_cast<std::uint32_t>(ws.cell_start.size());
        std::int32_t c = 0;
        for (Seg s = block.begin; s < block.end; ++s) {
            const std::int32_t here = cell(ws.x[static_cast<std::size_t>(ws.low[s])], block.x0,
                                           block.inv_width, block.cells);
            for (; c <= here; ++c)
                ws.cell_start.push_back(s);
        }
        for (; c <= block.cells; ++c)
            ws.cell_start.push_back(block.end);
    }
}

struct LinkCut {
    double tol_x, tol_y, max_scatter;
};

// The link test: does the segment ending at c continue the one through g and q, of direction
// (tx, ty)?
inline bool continues(const Workspace& ws, const LinkCut& cut, Pos g, Pos q, double tx, double ty,
                      Pos c) {
    const double* xs = ws.x.data();
    const double* ys = ws.y.data();
    const double* zs = ws.z.data();
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

// Successor lists of the segments that have any, ascending both ways. Returns whether every
// link goes to a lower index, which holds whenever modules lie in the hit list in module order.
bool link_segments(Workspace& ws, const GraphDFSParams& params, bool duplicates) {
    const std::size_t n = ws.x.size();
    const std::size_t count = ws.up.size();
    build_cell_tables(ws, params);
    // Segments grouped by their lower hit, so that all predecessors of one hit meet its blocks
    // while they are in cache.
    ws.ends_begin.assign(n + 1, 0);
    for (Pos q : ws.low)
        ++ws.ends_begin[static_cast<std::size_t>(q) + 1];
    for (std::size_t i = 0; i < n; ++i)
        ws.ends_begin[i + 1] += ws.ends_begin[i];
    ws.cursor.assign(ws.ends_begin.begin(), ws.ends_begin.end() - 1);
    ws.ends.resize(count);
    for (std::size_t s = 0; s < count; ++s) {
        ws.ends[ws.cursor[static_cast<std::size_t>(ws.low[s])]++] = {static_cast<Seg>(s), ws.up[s]};
    }

    const LinkCut cut{params.max_tolerance.first, params.max_tolerance.second, params.max_scatter};
    // A NaN tolerance rejects nothing, so positions cannot narrow the search.
    const bool narrow = !std::isnan(cut.tol_x) && !std::isnan(cut.tol_y);
    const bool all_finite =
        std::all_of(ws.x.begin(), ws.x.end(), [](double v) { return std::isfinite(v); }) &&
        std::all_of(ws.y.begin(), ws.y.end(), [](double v) { return std::isfinite(v); }) &&
        std::all_of(ws.z.begin(), ws.z.end(), [](double v) { return std::isfinite(v); });
    const double margin = 1e-9 * coordinate_scale(ws);
    // Locals: the link list grows inside the loop, and the compiler would reload any array
    // reached through the workspace after each append.
    const double* xs = ws.x.data();
    const double* ys = ws.y.data();
    const double* zs = ws.z.data();
    const Pos* low = ws.low.data();
    const double* low_y = ws.low_y.data();
    const Pos* first_pos = ws.first_pos.data();
    const Pos* next_same = duplicates ? ws.next_same.data() : nullptr;
    const std::uint32_t* block_begin = ws.block_begin.data();
    const Block* blocks = ws.blocks.data();
    const Seg* cell_start = ws.cell_start.data();
    const Seg* ends_begin = ws.ends_begin.data();
    const Ending* ends = ws.ends.data();
    ws.links.clear();
    for (std::size_t qi = 0; qi < n; ++qi) {
        const auto q = static_cast<Pos>(qi);
        if (ends_begin[qi] == ends_begin[qi + 1])
            continue;
        // The link step looks a segment's upper hit up by id: only the first position of an id
        // has segments continuing the ones that end there.
        if (duplicates ? first_pos[qi] != q : block_begin[qi] == block_begin[qi + 1])
            continue;
        const double xq = xs[q], yq = ys[q], zq = zs[q];
        for (Seg k = ends_begin[qi]; k < ends_begin[qi + 1]; ++k) {
            const Seg p = ends[k].seg;
            const Pos g = ends[k].up;
            const double xg = xs[g], yg = ys[g], zg = zs[g];
            const double dz0 = zq - zg;
            if (dz0 == 0)
                continue;
            const double r = 1 / dz0;
            const double tx = (xq - xg) * r;
            const double ty = (yq - yg) * r;
            const bool finite =
                narrow && std::isfinite(tx) && std::isfinite(ty) &&
                (all_finite || (std::isfinite(xg) && std::isfinite(yg) && std::isfinite(zg) &&
                                std::isfinite(xq) && std::isfinite(yq) && std::isfinite(zq)));
            const double abs_tx = std::fabs(tx);
            const double abs_ty = std::fabs(ty);
            // A lower hit that passes lies within reach of the prediction at the module's middle
            // z: its own z is within z_half of that, and the margin covers rounding in both this
            // estimate and the exact test, with room to spare.
            const double base_x = cut.tol_x + margin * (2 + abs_tx);
            const double base_y = cut.tol_y + margin * (2 + abs_ty);
            auto link = [&](Seg s) {
                if (continues(ws, cut, g, q, tx, ty, low[s]))
                    ws.links.push_back(std::uint64_t{p} << 32 | s);
            };
            for (Pos u = q; u != kNone;
                 u = duplicates ? next_same[static_cast<std::size_t>(u)] : kNone) {
                const auto ui = static_cast<std::size_t>(u);
                for (std::uint32_t b = block_begin[ui]; b < block_begin[ui + 1]; ++b) {
                    const Block& block = blocks[b];
                    const double d = block.z_mid - zq;
                    const double cx = xq + tx * d;
                    const double cy = yq + ty * d;
                    const double reach_x = base_x + abs_tx * block.z_half;
                    const double reach_y = base_y + abs_ty * block.z_half;
                    // Huge slopes can overflow the estimate: then every segment is tested.
                    if (!finite || block.cells == 0 || !std::isfinite(cx) || !std::isfinite(cy) ||
                        !std::isfinite(reach_x) || !std::isfinite(reach_y)) {
                        for (Seg s = block.begin; s < block.end; ++s)
                            link(s);
                        continue;
                    }
                    // No NaN here, so clamping makes the cell indices safe.
                    const double last = block.cells - 1;
                    const double lo =
                        std::min(std::max((cx - reach_x - block.x0) * block.inv_width, 0.0), last);
                    const double hi =
                        std::min(std::max((cx + reach_x - block.x0) * block.inv_width, 0.0), last);
                    const Seg* table = cell_start + block.table;
                    const Seg to = table[static_cast<std::int32_t>(hi) + 1];
                    for (Seg s = table[static_cast<std::int32_t>(lo)]; s < to; ++s) {
                        if (std::fabs(low_y[s] - cy) < reach_y)
                            link(s);
                    }
                }
            }
        }
    }

    // Links were found by lower hit; successor lists go by predecessor, both ascending.
    std::sort(ws.links.begin(), ws.links.end());
    ws.linked.clear();
    ws.succ_begin.clear();
    ws.succ.clear();
    bool descending = true;
    for (std::uint64_t link : ws.links) {
        const auto p = static_cast<Seg>(link >> 32);
        const auto s = static_cast<Seg>(link);
        if (ws.linked.empty() || ws.linked.back() != p) {
            ws.linked.push_back(p);
            ws.succ_begin.push_back(static_cast<Seg>(ws.succ.size()));
        }
        ws.succ.push_back(s);
        descending = descending && s < p;
    }
    ws.succ_begin.push_back(static_cast<Seg>(ws.succ.size()));
    ws.link_index.assign(count, kNoSeg);
    for (std::size_t i = 0; i < ws.linked.size(); ++i)
        ws.link_index[ws.linked[i]] = static_cast<Seg>(i);
    ws.is_successor.assign(ws.linked.size(), 0);
    for (Seg s : ws.succ) {
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

}  // namespace

std::vector<Track> solve(const GraphDFSParams& params, const Event& event) {
    thread_local Workspace ws;
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

}  // namespace trelmon
