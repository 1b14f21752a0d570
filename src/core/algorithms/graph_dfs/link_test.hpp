// The link test (does one segment continue another?) and the predictions the grids narrow its
// candidates with. Shared by the grids stage (grids.hpp), which sizes its halos by the reach of
// a prediction, and the link graph stage (link_graph.hpp), which applies the test.
#pragma once

#include <cmath>

#include "algorithms/common/rounding.hpp"
#include "algorithms/graph_dfs.hpp"
#include "algorithms/graph_dfs/hit_layout.hpp"

namespace trelmon::graph_dfs {

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

// What the link test and the predictions read, gathered once per event.
struct LinkInputs {
    const double* xs;
    const double* ys;
    const double* zs;
    LinkCut cut;
    bool narrow;      // predictions may narrow the search at all
    bool all_finite;  // every coordinate finite
    double scale;     // coordinate_scale of the layout
    double margin;
};

inline LinkInputs make_link_inputs(const HitLayout& layout, const GraphDFSParams& params) {
    LinkInputs in{};
    in.xs = layout.x.data();
    in.ys = layout.y.data();
    in.zs = layout.z.data();
    in.cut = {params.max_tolerance.first, params.max_tolerance.second, params.max_scatter};
    // A NaN tolerance rejects nothing, so positions cannot narrow the search.
    in.narrow = !std::isnan(in.cut.tol_x) && !std::isnan(in.cut.tol_y);
    auto finite = [](const std::vector<double>& column) {
        for (double v : column) {
            if (!std::isfinite(v))
                return false;
        }
        return true;
    };
    in.all_finite = finite(layout.x) && finite(layout.y) && finite(layout.z);
    in.scale = coordinate_scale(layout);
    in.margin = rounding_margin(in.scale);
    return in;
}

// The line of a segment as the link test extrapolates it, with the reach of its predictions.
struct Line {
    Pos g, q;
    double tx, ty;
    double abs_tx, abs_ty;
    double base_x, base_y;
    bool finite;   // predictions may narrow the search
    bool bounded;  // within the halo bounds: predictions into a module with a halo are usable
};

// The reach of a line's predictions, from its slopes.
inline void set_reach(const LinkInputs& in, Line& line) {
    line.abs_tx = std::fabs(line.tx);
    line.abs_ty = std::fabs(line.ty);
    // A lower hit that passes lies within reach of the prediction at the module's middle z: its
    // own z is within z_half of that, and the margin covers rounding in both this estimate and
    // the exact test, with room to spare.
    line.base_x = in.cut.tol_x + in.margin * (2 + line.abs_tx);
    line.base_y = in.cut.tol_y + in.margin * (2 + line.abs_ty);
}

// False when the segment has no direction (dz = 0): it continues into nothing. `bounded`: the
// caller knows that every coordinate is finite, the search may narrow and the slopes lie within
// the halo bounds (grids.hpp), so that the line is finite, and so is its prediction into any
// module whose halo reach is (it is no larger), without checking.
inline bool make_line(const LinkInputs& in, Pos g, Pos q, Line& line, bool bounded = false) {
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
    line.bounded = bounded;
    line.finite =
        bounded ||
        (in.narrow && std::isfinite(line.tx) && std::isfinite(line.ty) &&
         (in.all_finite || (std::isfinite(xg) && std::isfinite(yg) && std::isfinite(zg) &&
                            std::isfinite(xq) && std::isfinite(yq) && std::isfinite(zq))));
    set_reach(in, line);
    return true;
}

// make_line for a bounded segment whose slopes (tx, ty) the caller has formed with make_line's
// very operations.
inline bool make_bounded_line(const LinkInputs& in, Pos g, Pos q, double tx, double ty,
                              Line& line) {
    if (in.zs[q] - in.zs[g] == 0)
        return false;
    line.g = g;
    line.q = q;
    line.tx = tx;
    line.ty = ty;
    line.bounded = true;
    line.finite = true;
    set_reach(in, line);
    return true;
}

struct Prediction {
    double cx, cy, reach_x, reach_y;

    // Huge slopes can overflow the estimate. Asked only where the line's bounds leave it open.
    bool usable() const {
        return std::isfinite(cx) && std::isfinite(cy) && std::isfinite(reach_x) &&
               std::isfinite(reach_y);
    }
};

inline Prediction predict(const LinkInputs& in, const Line& line, const ModuleRange& lower) {
    const double d = lower.z_mid - in.zs[line.q];
    Prediction at;
    at.cx = in.xs[line.q] + line.tx * d;
    at.cy = in.ys[line.q] + line.ty * d;
    at.reach_x = line.base_x + line.abs_tx * lower.z_half;
    at.reach_y = line.base_y + line.abs_ty * lower.z_half;
    return at;
}

}  // namespace trelmon::graph_dfs
