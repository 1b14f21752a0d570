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
        grid.last = cells - 1;
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

// Two bands cost the halo filter a second look-up per slot, which pays only where a module's
// hits are dense enough that the narrower reach spares many searches.
constexpr Pos kBandsFromHits = 64;

// The side of the module's middle z that z lies on: 0 below, 1 at or above.
int band_side(double z, const ModuleRange& r) {
    return z < r.z_mid ? 0 : 1;
}

// The bands of a module's halo: its hits below its middle z, and the others, an empty band
// dropped; a module of few hits keeps one band.
void split_bands(ModuleGrid& grid, const ModuleRange& r, const HitLayout& layout) {
    if (r.end - r.begin < kBandsFromHits) {
        grid.band_count = 1;
        grid.bands[0].z_mid = r.z_mid;
        grid.bands[0].z_half = r.z_half;
        return;
    }
    double lo[kMaxBands], hi[kMaxBands];
    bool any[kMaxBands] = {};
    for (Pos p = r.begin; p < r.end; ++p) {
        const double z = layout.z[static_cast<std::size_t>(p)];
        const int b = band_side(z, r);
        lo[b] = any[b] ? std::min(lo[b], z) : z;
        hi[b] = any[b] ? std::max(hi[b], z) : z;
        any[b] = true;
    }
    grid.band_count = 0;
    for (int b = 0; b < kMaxBands; ++b) {
        if (!any[b])
            continue;
        HaloBand& band = grid.bands[grid.band_count++];
        band.z_mid = lo[b] + (hi[b] - lo[b]) / 2;
        band.z_half = std::max(hi[b] - band.z_mid, band.z_mid - lo[b]);
    }
}

// Segment slopes stay within the window slopes, so the reach of a prediction is bounded per
// band; segments steeper than the bounds take the exact rectangle instead. A hit at z within
// z_half of its band's middle passes only within tol + |t| z_half of the prediction there.
void build_halos(ModuleGrids& grids, const HitLayout& layout, const GraphDFSParams& params,
                 const LinkInputs& in) {
    constexpr std::size_t kGridWords = kMaskRows * kMaskWords;
    HaloBounds& bounds = grids.halo;
    bounds = HaloBounds{};
    grids.halos.clear();
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
        // Coordinates and z steps are within 2 scale, so a column or row placed by
        // halo_column or halo_row is within 2 scale (1 + bound) inv: finite, far from overflow.
        const double placed = 2 * scale * (1 + std::max(bounds.tx, bounds.ty)) *
                              std::max(grid.mask_x_inv, grid.mask_y_inv) * 8;
        if (!grid.has_mask || !(placed < 1e300))
            continue;
        split_bands(grid, r, layout);
        bool finite = true;
        for (int b = 0; b < grid.band_count; ++b) {
            const HaloBand& band = grid.bands[b];
            finite = finite && std::isfinite(band.z_mid) && std::isfinite(band.z_half);
        }
        if (!finite)
            continue;
        grid.has_halo = true;
        for (int b = 0; b < grid.band_count; ++b) {
            HaloBand& band = grid.bands[b];
            band.grid = static_cast<std::uint32_t>(grids.halos.size());
            grids.halos.resize(grids.halos.size() + kGridWords, 0);
            const double reach_x =
                (in.cut.tol_x + in.margin * (2 + bounds.tx) + bounds.tx * band.z_half) * slack +
                in.margin;
            const double reach_y =
                (in.cut.tol_y + in.margin * (2 + bounds.ty) + bounds.ty * band.z_half) * slack +
                in.margin;
            if (!std::isfinite(reach_x) || !std::isfinite(reach_y)) {
                grid.has_halo = false;
                break;
            }
            for (Pos p = r.begin; p < r.end; ++p) {
                const auto pi = static_cast<std::size_t>(p);
                // One band holds every hit; of two, band 0 those below the middle z.
                if (grid.band_count == 2 && band_side(layout.z[pi], r) != b)
                    continue;
                const int xa = mask_cell(layout.x[pi] - reach_x, grid.mask_x0, grid.mask_x_inv);
                const int xb = mask_cell(layout.x[pi] + reach_x, grid.mask_x0, grid.mask_x_inv);
                const int ya = mask_row(layout.y[pi] - reach_y, grid.mask_y0, grid.mask_y_inv);
                const int yb = mask_row(layout.y[pi] + reach_y, grid.mask_y0, grid.mask_y_inv);
                for (int word = 0; word < kMaskWords; ++word) {
                    // Empty for a negative reach: nothing comes near.
                    const std::uint64_t columns = column_span(xa, xb, word);
                    for (int row = ya; row <= yb; ++row)
                        grids.halos[band.grid +
                                    static_cast<std::uint32_t>(row * kMaskWords + word)] |= columns;
                }
            }
        }
    }
}

}  // namespace

void build_grids(ModuleGrids& grids, const HitLayout& layout, const GraphDFSParams& params,
                 const LinkInputs& in) {
    build_module_grids(grids, layout);
    build_halos(grids, layout, params, in);
    grids.halo_filter = grids.halo.enabled && in.all_finite && layout.ranges.size() <= 64;
    if (!grids.halo_filter)
        mark_occupancy(grids, layout);
}

}  // namespace trelmon::graph_dfs
