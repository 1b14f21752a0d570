// GraphDFS stage 3, the module grids: per module an x grid over its hits, and coarse x-y grids
// (occupancy, and halos: occupancy widened by the largest reach of a prediction) that let the
// link search rule out a lower module, or a stretch of it, without testing its hits.
//
// Takes the hit layout. Hands on: cell c of module m's x grid starts at
// position cell_start[modules[m].table + c] (cells == 0: no grid); bit i of row j of a coarse
// grid, at word masks[mask + j * kMaskWords + i / 64] (or halos[band.grid + ...] for a halo), is
// set when a hit of the module (of the band) lies in (or comes within reach of) column i, row j.
// A module's halo comes in bands: its hits split at the module's middle z, each band's halo
// serving predictions at the band's own middle z, so that its reach grows only with the band's
// z spread (none for hits on one plane) and not the module's. The grids only narrow the
// candidates; the exact link test decides, so they never change a result. Without halo_filter,
// masks holds the occupancy grids (with it they are left unfilled).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "algorithms/common/cells.hpp"
#include "algorithms/graph_dfs/hit_layout.hpp"
#include "algorithms/graph_dfs/link_test.hpp"

namespace trelmon::graph_dfs {

// The coarse grids: kMaskRows rows of kMaskWords words, one bit per column.
constexpr int kMaskWords = 2;
constexpr int kMaskCells = 64 * kMaskWords;
constexpr int kMaskRows = 256;

// c clamped to [0, last] and truncated, NaN to 0 (common/cells.hpp).
inline std::int32_t clamped_index(double c, std::int32_t last) {
    return static_cast<std::int32_t>(clamped_cell(c, last));
}

// The cell of a module's x grid that holds v.
inline std::int32_t cell(double v, double origin, double inv_width, std::int32_t cells) {
    return clamped_index((v - origin) * inv_width, cells - 1);
}

// The column or row of a coarse grid that holds v.
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

// One band of a module's halo: its hits' middle z and the half-width of their z range, and the
// word of `halos` where its grid starts.
struct HaloBand {
    double z_mid = 0.0;
    double z_half = 0.0;
    std::uint32_t grid = 0;
};

constexpr int kMaxBands = 2;

struct ModuleGrid {
    // x grid over the module's hits. 0 cells: no grid (some x or z not finite).
    std::int32_t cells = 0;
    std::uint32_t table = 0;
    double x0 = 0.0;
    double inv_width = 0.0;
    double last = 0.0;  // cells - 1, the clamp of cell()
    // The coarse grids' place and geometry. Without them (has_mask false) every range of x is
    // scanned.
    bool has_mask = false;
    std::uint32_t mask = 0;
    double mask_x0 = 0.0;
    double mask_x_inv = 0.0;
    double mask_y0 = 0.0;
    double mask_y_inv = 0.0;
    // With has_halo, bands[0 .. band_count - 1] hold the halo, and a line within the halo
    // bounds places its predictions in the coarse grid with finite values.
    bool has_halo = false;
    std::int32_t band_count = 0;
    HaloBand bands[kMaxBands];
};

// Bounds on the slopes of the segments whose predictions the halos serve.
struct HaloBounds {
    bool enabled = false;
    double tx = 0.0;
    double ty = 0.0;
};

struct ModuleGrids {
    std::vector<ModuleGrid> modules;
    std::vector<Pos> cell_start;
    std::size_t grid_words = 0;  // of the occupancy grids
    std::vector<std::uint64_t> masks;
    std::vector<std::uint64_t> halos;
    HaloBounds halo;
    // The halo filter needs every coordinate finite and each hit in one module with its blocks
    // in slot order, so that a block's slot names its lower module.
    bool halo_filter = false;
};

// Where a line through (x, y, z) with slopes (tx, ty) meets the band's halo, in grid units:
// column and row before clamping. Both the filter's lanes and its scalar path place a prediction
// with these operations, in this order.
inline double halo_column(const ModuleGrid& grid, const HaloBand& band, double x, double z,
                          double tx) {
    return (x - grid.mask_x0) * grid.mask_x_inv + tx * ((band.z_mid - z) * grid.mask_x_inv);
}

inline double halo_row(const ModuleGrid& grid, const HaloBand& band, double y, double z,
                       double ty) {
    return (y - grid.mask_y0) * grid.mask_y_inv + ty * ((band.z_mid - z) * grid.mask_y_inv);
}

void build_grids(ModuleGrids& grids, const HitLayout& layout, const GraphDFSParams& params,
                 const LinkInputs& in);

}  // namespace trelmon::graph_dfs
