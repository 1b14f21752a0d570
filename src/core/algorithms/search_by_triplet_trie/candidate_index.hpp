// Spatial index of third-hit candidates: the hits of a list grouped into planes of equal z, each
// with a grid of cells listing the hits within reach. It only narrows the candidates: the
// scatter, computed as hits.hpp states, decides.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "algorithms/common/cells.hpp"
#include "algorithms/common/planes.hpp"
#include "algorithms/search_by_triplet_trie/hits.hpp"

namespace trelmon::sbt {

// Third-hit candidates of one hit list, grouped by exact z: a prediction made for a plane has
// the same value for every hit on it. Each plane carries a coarse grid in which every cell lists
// the hits whose reach box (+-reach in x and y) touches it, so a prediction is answered from its
// own cell. A hit with a scatter below max_scatter lies within reach of the prediction in both x
// and y, and rounding of the box edges and of the cell function is monotone, so no such hit is
// ever missed. Hits with a non-finite coordinate never give a finite scatter and are left out.
class CandidateIndex {
  public:
    struct Plane {
        double z = 0.0;
        double x_lo = 0.0, x_hi = 0.0, y_lo = 0.0, y_hi = 0.0;  // predictions outside miss all
        double inv_wx = 0.0, inv_wy = 0.0;
        std::uint32_t nx = 1, ny = 1;
        double last_x = 0.0, last_y = 0.0;  // nx - 1 and ny - 1
        std::size_t cell_offset = 0;        // into cell_begin_
        std::size_t word_offset = 0;        // into occupancy_
    };

    // Fills the index from the hits grouped by ZPlanes::group(hits, true), reusing its buffers.
    void build(std::span<const Hit> hits, const ZPlanes& grouping, double reach) {
        x_.clear();
        y_.clear();
        position_.clear();
        planes_.clear();
        cell_begin_.clear();
        cell_items_.clear();
        occupancy_.clear();
        for (const std::uint32_t p : grouping.position) {
            x_.push_back(hits[p].x);
            y_.push_back(hits[p].y);
            position_.push_back(p);
        }
        z_min_ = z_max_ = grouping.planes.empty() ? 0.0 : grouping.planes.front().z;
        for (const ZPlane& plane : grouping.planes) {
            z_min_ = std::min(z_min_, plane.z);
            z_max_ = std::max(z_max_, plane.z);
            add_plane(plane, reach);
        }
    }

    const std::vector<Plane>& planes() const noexcept { return planes_; }

    // The largest distance in z from z to a plane (0 without planes; NaN for NaN).
    double farthest_plane(double z) const noexcept {
        return std::max(std::abs(z_min_ - z), std::abs(z_max_ - z));
    }

    // Whether (px, py) lies in the plane's box at all; false for NaN.
    static bool inside(const Plane& plane, double px, double py) noexcept {
        return (px >= plane.x_lo) & (px <= plane.x_hi) & (py >= plane.y_lo) & (py <= plane.y_hi);
    }

    // The cell of a prediction inside the box, as an index into the plane's cells.
    static std::uint32_t cell(const Plane& plane, double px, double py) noexcept {
        return clamped_cell((px - plane.x_lo) * plane.inv_wx, plane.last_x) * plane.ny +
               clamped_cell((py - plane.y_lo) * plane.inv_wy, plane.last_y);
    }

    bool occupied(const Plane& plane, std::uint32_t cell) const noexcept {
        return ((occupancy_[plane.word_offset + (cell >> 5)] >> (cell & 31u)) & 1u) != 0;
    }

    // The plane's occupancy bits, cell c at bit c % 32 of word c / 32.
    const std::uint32_t* occupancy(const Plane& plane) const noexcept {
        return occupancy_.data() + plane.word_offset;
    }

    // Calls visit(position, x, y) for every hit listed in a cell, in increasing position.
    template <class Visit>
    void visit_cell(const Plane& plane, std::uint32_t cell, Visit&& visit) const {
        const std::size_t c = plane.cell_offset + cell;
        for (std::uint32_t k = cell_begin_[c]; k < cell_begin_[c + 1]; ++k) {
            const std::uint32_t item = cell_items_[k];
            visit(position_[item], x_[item], y_[item]);
        }
    }

    // Calls visit(position, x, y) for every hit of `plane` that can lie within reach of the
    // prediction (px, py), in increasing position.
    template <class Visit>
    void visit_near(const Plane& plane, double px, double py, Visit&& visit) const {
        if (!inside(plane, px, py)) {
            return;
        }
        const std::uint32_t c = cell(plane, px, py);
        if (occupied(plane, c)) {
            visit_cell(plane, c, visit);
        }
    }

  private:
    // Monotone in v, so a prediction between the edges of a reach box falls in a cell the box
    // touches. Written without branches: it runs once per candidate pair.
    static std::uint32_t cell_of(double v, double lo, double inv_w, std::uint32_t n) noexcept {
        return clamped_cell((v - lo) * inv_w, static_cast<double>(n - 1));
    }

    // Cells per axis: about sixteen cells per hit overall, none narrower than the reach box.
    static std::uint32_t cells_along(double extent, double width) noexcept {
        const double n = std::ceil(extent / width);
        if (!(n > 1.0)) {
            return 1;
        }
        return n >= 64.0 ? 64u : static_cast<std::uint32_t>(n);
    }

    void add_plane(const ZPlane& group, double reach) {
        const std::size_t begin = group.begin;
        const std::size_t end = group.end;
        Plane plane;
        plane.z = group.z;
        // Rounding is monotone, so the extreme reach boxes belong to the extreme hits.
        plane.x_lo = group.x_min - reach;
        plane.x_hi = group.x_max + reach;
        plane.y_lo = group.y_min - reach;
        plane.y_hi = group.y_max + reach;
        const double ex = plane.x_hi - plane.x_lo;
        const double ey = plane.y_hi - plane.y_lo;
        const auto n = static_cast<double>(end - begin);
        if (std::isfinite(ex) && std::isfinite(ey)) {
            const double width = std::max(2.0 * reach, std::sqrt(ex * ey / (16.0 * n)));
            plane.nx = cells_along(ex, width);
            plane.ny = cells_along(ey, width);
            plane.inv_wx = static_cast<double>(plane.nx) / ex;
            plane.inv_wy = static_cast<double>(plane.ny) / ey;
        }
        if (plane.nx == 1 && plane.ny == 1) {
            plane.inv_wx = plane.inv_wy = 0.0;
        } else if (!std::isfinite(plane.inv_wx) || !std::isfinite(plane.inv_wy)) {
            plane.nx = plane.ny = 1;
            plane.inv_wx = plane.inv_wy = 0.0;
        }
        plane.last_x = static_cast<double>(plane.nx - 1);
        plane.last_y = static_cast<double>(plane.ny - 1);
        const std::size_t cells = std::size_t{plane.nx} * plane.ny;
        plane.cell_offset = cell_begin_.empty() ? 0 : cell_begin_.size() - 1;
        if (cell_begin_.empty()) {
            cell_begin_.push_back(0);
        }
        const std::size_t first = cell_begin_.size() - 1;
        cell_begin_.resize(cell_begin_.size() + cells, 0);

        plane.word_offset = occupancy_.size();
        occupancy_.resize(occupancy_.size() + (cells + 31) / 32, 0);
        std::uint32_t* occupancy = occupancy_.data() + plane.word_offset;

        // Two passes over the reach boxes: count per cell (marking it occupied), then place in
        // position order. The first finds each box's cells, which the second reuses.
        spans_.resize(end - begin);
        const auto for_each_cell = [&](std::size_t i, auto&& action) {
            const CellSpan& span = spans_[i - begin];
            for (std::uint32_t cx = span.x0; cx <= span.x1; ++cx) {
                for (std::uint32_t cy = span.y0; cy <= span.y1; ++cy) {
                    action(cx * plane.ny + cy);
                }
            }
        };
        std::uint32_t* const counts = cell_begin_.data() + first;
        for (std::size_t i = begin; i < end; ++i) {
            spans_[i - begin] =
                CellSpan{cell_of(x_[i] - reach, plane.x_lo, plane.inv_wx, plane.nx),
                         cell_of(x_[i] + reach, plane.x_lo, plane.inv_wx, plane.nx),
                         cell_of(y_[i] - reach, plane.y_lo, plane.inv_wy, plane.ny),
                         cell_of(y_[i] + reach, plane.y_lo, plane.inv_wy, plane.ny)};
            for_each_cell(i, [&](std::uint32_t cell) {
                ++counts[cell + 1];
                occupancy[cell >> 5] |= std::uint32_t{1} << (cell & 31u);
            });
        }
        for (std::size_t c = 0; c < cells; ++c) {
            counts[c + 1] += counts[c];
        }
        cell_items_.resize(counts[cells]);
        // Place back to front, counting each cell's end down to its start.
        for (std::size_t i = end; i-- > begin;) {
            for_each_cell(i, [&](std::uint32_t cell) {
                cell_items_[--counts[cell + 1]] = static_cast<std::uint32_t>(i);
            });
        }
        // Now counts[c + 1] holds cell c's start; shift the starts back into place.
        for (std::size_t c = 0; c < cells; ++c) {
            counts[c] = counts[c + 1];
        }
        counts[cells] = static_cast<std::uint32_t>(cell_items_.size());
        planes_.push_back(plane);
    }

    std::vector<double> x_, y_;
    std::vector<std::uint32_t> position_;  // in the indexed hit list
    std::vector<Plane> planes_;
    double z_min_ = 0.0, z_max_ = 0.0;  // over the planes, all finite
    std::vector<std::uint32_t> cell_begin_;
    std::vector<std::uint32_t> cell_items_;
    std::vector<std::uint32_t> occupancy_;
    // The cells a plane's reach boxes touch, scratch of add_plane.
    struct CellSpan {
        std::uint32_t x0, x1, y0, y1;
    };
    std::vector<CellSpan> spans_;  // one bit per cell: does any reach box touch it
};
// The hit of `index` with the strictly smallest scatter against the line through a and b, below
// `best` (updated), the earliest position on equal scatters; hits for which skip(i) holds are
// passed over. kNone when no hit qualifies.
template <class Skip>
std::uint32_t nearest_to_line(const CandidateIndex& index, const Hit& a, const Hit& b, double& best,
                              Skip&& skip) {
    const double r = 1.0 / (b.z - a.z);
    const double tx = (b.x - a.x) * r;
    const double ty = (b.y - a.y) * r;
    std::uint32_t chosen = kNone;
    for (const CandidateIndex::Plane& plane : index.planes()) {
        const double d = plane.z - a.z;
        const double px = a.x + tx * d;
        const double py = a.y + ty * d;
        index.visit_near(plane, px, py, [&](std::uint32_t i, double x, double y) {
            if (skip(i)) {
                return;
            }
            const double dx = px - x;
            const double dy = py - y;
            const double scatter = dx * dx + dy * dy;
            if (scatter < best || (scatter == best && chosen != kNone && i < chosen)) {
                best = scatter;
                chosen = i;
            }
        });
    }
    return chosen;
}

}  // namespace trelmon::sbt
