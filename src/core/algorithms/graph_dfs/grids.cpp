#include "algorithms/graph_dfs/grids.hpp"

#include <cmath>
#include <limits>

namespace trelmon::graph_dfs {
namespace {

constexpr double kTiny = std::numeric_limits<double>::min();

// An x grid per module, fine enough that a prediction's reach covers few hits beyond those
// inside it, and the coarse grids' geometry.
void build_module_grids(ModuleGrids& grids, const HitLayout& layout) {
    constexpr std::size_t kMaxCells = 4096;
    grids.modules.assign(layout.ranges.size(), ModuleGrid{});
    grids.cell_start.clear();
    grids.grid_words = 0;
    for (std::size_t m = 0; m < layout.ranges.size(); ++m) {
        const ModuleRange& r = layout.ranges[m];
        ModuleGrid& grid = grids.modules[m];
        if (r.begin == r.end || r.finite_x_end != r.end || !r.finite_z || !r.sorted)
            continue;
        const double x0 = layout.x[static_cast<std::size_t>(r.begin)];
        const double x1 = layout.x[static_cast<std::size_t>(r.end - 1)];
        const std::size_t count = static_cast<std::size_t>(r.end - r.begin);
        const auto cells = static_cast<std::int32_t>(std::min(4 * count, kMaxCells));
        const double width = std::max((x1 - x0) / cells, std::numeric_limits<double>::min());
        if (!std::isfinite(x0) || !std::isfinite(x1) || !std::isfinite(width))
            continue;
        grid.cells = cells;
        grid.x0 = x0;
        grid.inv_width = 1 / width;
        grid.table = static_cast<std::uint32_t>(grids.cell_start.size());
        std::int32_t c = 0;
        for (Pos p = r.begin; p < r.end; ++p) {
            const std::int32_t here =
                cell(layout.x[static_cast<std::size_t>(p)], grid.x0, grid.inv_width, grid.cells);
            for (; c <= here; ++c)
                grids.cell_start.push_back(p);
        }
        for (; c <= grid.cells; ++c)
            grids.cell_start.push_back(r.end);

        double y0 = layout.y[static_cast<std::size_t>(r.begin)];
        double y1 = y0;
        for (Pos p = r.begin; p < r.end; ++p) {
            y0 = std::min(y0, layout.y[static_cast<std::size_t>(p)]);
            y1 = std::max(y1, layout.y[static_cast<std::size_t>(p)]);
        }
        const double mask_x_width = std::max((x1 - x0) / kMaskCells, kTiny);
        const double mask_y_width = std::max((y1 - y0) / kMaskRows, kTiny);
        if (!std::isfinite(y0) || !std::isfinite(y1) || !std::isfinite(mask_y_width) ||
            !std::isfinite(mask_x_width)) {
            continue;
        }
        grid.has_mask = true;
        grid.mask = static_cast<std::uint32_t>(grids.grid_words);
        grid.mask_x0 = x0;
        grid.mask_x_inv = 1 / mask_x_width;
        grid.mask_y0 = y0;
        grid.mask_y_inv = 1 / mask_y_width;
        grids.grid_words += kMaskRows * kMaskWords;
    }
}

// The occupancy grids themselves: only the search without the halo filter reads them.
void mark_occupancy(ModuleGrids& grids, const HitLayout& layout) {
    grids.masks.assign(grids.grid_words, 0);
    for (std::size_t m = 0; m < layout.ranges.size(); ++m) {
        const ModuleRange& r = layout.ranges[m];
        const ModuleGrid& grid = grids.modules[m];
        if (!grid.has_mask)
            continue;
        for (Pos p = r.begin; p < r.end; ++p) {
            const auto pi = static_cast<std::size_t>(p);
            const int column = mask_cell(layout.x[pi], grid.mask_x0, grid.mask_x_inv);
            const int row = mask_row(layout.y[pi], grid.mask_y0, grid.mask_y_inv);
            grids.masks[grid.mask + static_cast<std::uint32_t>(row * kMaskWords + (column >> 6))] |=
                std::uint64_t{1} << (column & 63);
        }
    }
}

// Segment slopes stay within the window slopes, so the reach of a prediction is bounded per
// module; segments steeper than the bounds take the exact rectangle instead.
void build_halos(ModuleGrids& grids, const HitLayout& layout, const GraphDFSParams& params,
                 const LinkInputs& in) {
    HaloBounds& bounds = grids.halo;
    bounds = HaloBounds{};
    grids.halos.assign(grids.grid_words, 0);
    const double slack = 1 + 1e-6;
    bounds.tx = std::fabs(params.max_slopes.first) * slack;
    bounds.ty = std::fabs(params.max_slopes.second) * slack;
    const double scale = in.scale;
    // Far from overflow, every prediction below is finite.
    if (!in.narrow || !std::isfinite(bounds.tx) || !std::isfinite(bounds.ty) ||
        !(scale * (1 + bounds.tx + bounds.ty) * 8 < 1e300)) {
        return;
    }
    bounds.enabled = true;
    for (std::size_t m = 0; m < layout.ranges.size(); ++m) {
        const ModuleRange& r = layout.ranges[m];
        ModuleGrid& grid = grids.modules[m];
        if (!grid.has_mask)
            continue;
        const double reach_x =
            (in.cut.tol_x + in.margin * (2 + bounds.tx) + bounds.tx * r.z_half) * slack + in.margin;
        const double reach_y =
            (in.cut.tol_y + in.margin * (2 + bounds.ty) + bounds.ty * r.z_half) * slack + in.margin;
        if (!std::isfinite(reach_x) || !std::isfinite(reach_y))
            continue;
        grid.has_halo = true;
        for (Pos p = r.begin; p < r.end; ++p) {
            const auto pi = static_cast<std::size_t>(p);
            const int xa = mask_cell(layout.x[pi] - reach_x, grid.mask_x0, grid.mask_x_inv);
            const int xb = mask_cell(layout.x[pi] + reach_x, grid.mask_x0, grid.mask_x_inv);
            const int ya = mask_row(layout.y[pi] - reach_y, grid.mask_y0, grid.mask_y_inv);
            const int yb = mask_row(layout.y[pi] + reach_y, grid.mask_y0, grid.mask_y_inv);
            for (int word = 0; word < kMaskWords; ++word) {
                // Empty for a negative reach: nothing comes near.
                const std::uint64_t columns = column_span(xa, xb, word);
                for (int row = ya; row <= yb; ++row)
                    grids.halos[grid.mask + static_cast<std::uint32_t>(row * kMaskWords + word)] |=
                        columns;
            }
        }
    }
}

// The halo terms of every hit, slot_stride slots each, and the two stand-in grids.
void build_halo_terms(ModuleGrids& grids, const HitLayout& layout, const SegmentBlocks& sb) {
    constexpr std::size_t kGridWords = kMaskRows * kMaskWords;
    const auto empty = static_cast<std::uint32_t>(grids.halos.size());
    grids.halos.resize(grids.halos.size() + kGridWords, 0);
    const auto full = static_cast<std::uint32_t>(grids.halos.size());
    grids.halos.resize(grids.halos.size() + kGridWords, ~std::uint64_t{0});
    HaloTerms& terms = grids.halo_terms;
    const std::size_t n = layout.x.size();
    const std::size_t size = n * sb.slot_stride;
    terms.hits = n;
    // Every entry the filter reads, slot k < slot_count of the hit's module, is written below;
    // the others are never read, so nothing is cleared first.
    terms.ux.resize(size);
    terms.uy.resize(size);
    terms.vx.resize(size);
    terms.vy.resize(size);
    terms.grid.resize(size);
    for (std::size_t t = 0; t < layout.ranges.size(); ++t) {
        const ModuleRange& upper = layout.ranges[t];
        for (std::uint32_t k = 0; k < sb.slot_count[t]; ++k) {
            const auto lower_module = static_cast<std::size_t>(sb.slot_module[64 * t + k]);
            const ModuleRange& lower = layout.ranges[lower_module];
            const ModuleGrid& grid = grids.modules[lower_module];
            for (Pos q = upper.begin; q < upper.end; ++q) {
                const auto qi = static_cast<std::size_t>(q);
                const std::size_t e = k * n + qi;
                terms.ux[e] = 0.0;
                terms.uy[e] = 0.0;
                terms.vx[e] = 0.0;
                terms.vy[e] = 0.0;
                terms.grid[e] = empty;
                if (((sb.slot_mask[qi] >> k) & 1) == 0)
                    continue;
                const double d = lower.z_mid - layout.z[qi];
                const double ux = (layout.x[qi] - grid.mask_x0) * grid.mask_x_inv;
                const double uy = (layout.y[qi] - grid.mask_y0) * grid.mask_y_inv;
                const double vx = d * grid.mask_x_inv;
                const double vy = d * grid.mask_y_inv;
                const bool finite = std::isfinite(ux) && std::isfinite(vx) && std::isfinite(uy) &&
                                    std::isfinite(vy);
                if (!grid.has_halo || !finite) {
                    terms.grid[e] = full;
                    continue;
                }
                terms.ux[e] = ux;
                terms.uy[e] = uy;
                terms.vx[e] = vx;
                terms.vy[e] = vy;
                terms.grid[e] = grid.mask;
            }
        }
    }
}

}  // namespace

void build_grids(ModuleGrids& grids, const HitLayout& layout, const SegmentBlocks& blocks,
                 const GraphDFSParams& params, const LinkInputs& in) {
    build_module_grids(grids, layout);
    build_halos(grids, layout, params, in);
    grids.halo_filter = grids.halo.enabled && in.all_finite && layout.ranges.size() <= 64;
    if (grids.halo_filter) {
        build_halo_terms(grids, layout, blocks);
    } else {
        mark_occupancy(grids, layout);
    }
}

}  // namespace trelmon::graph_dfs
