#include "algorithms/graph_dfs/hit_layout.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace trelmon::graph_dfs {
namespace {

bool x_before(double a, double b) {
    // NaN goes last so the order stays strict-weak; otherwise plain ascending x.
    return !std::isnan(a) && (std::isnan(b) || a < b);
}

// Each module's slice of `order` sorted by the x of its hits.
void sort_modules_by_x(HitLayout& layout, const HitList& hits, const std::vector<Module>& modules) {
    const std::size_t n = hits.size();
    layout.order.resize(n);
    // Positions outside every module's range keep their own hit.
    for (std::size_t i = 0; i < n; ++i)
        layout.order[i] = static_cast<std::uint32_t>(i);
    layout.ranges.assign(modules.size(), ModuleRange{});
    for (std::size_t m = 0; m < modules.size(); ++m) {
        const std::size_t end = std::min(modules[m].hit_end_index, n);
        const std::size_t begin = std::min(modules[m].hit_start_index, end);
        layout.ranges[m].begin = static_cast<Pos>(begin);
        layout.ranges[m].end = static_cast<Pos>(end);
        // Sorted by (x, event order): the order a stable sort by x gives, with the x values
        // side by side and no buffer to allocate.
        layout.keys.clear();
        for (std::size_t i = begin; i < end; ++i)
            layout.keys.push_back({hits[i].x, static_cast<std::uint32_t>(i)});
        std::sort(layout.keys.begin(), layout.keys.end(), [](const auto& a, const auto& b) {
            if (x_before(a.x, b.x))
                return true;
            return !x_before(b.x, a.x) && a.index < b.index;
        });
        for (std::size_t i = begin; i < end; ++i)
            layout.order[i] = layout.keys[i - begin].index;
    }
}

// The x order and z range of the module's hits, from the columns.
void describe_module(ModuleRange& r, const HitLayout& layout) {
    Pos p = r.begin;
    while (p < r.end && !std::isnan(layout.x[static_cast<std::size_t>(p)]))
        ++p;
    r.finite_x_end = p;
    r.sorted = true;
    for (Pos q = r.begin; q + 1 < r.end && r.sorted; ++q)
        r.sorted = !x_before(layout.x[static_cast<std::size_t>(q + 1)],
                             layout.x[static_cast<std::size_t>(q)]);
    for (Pos q = r.begin; q < r.end; ++q) {
        const double zq = layout.z[static_cast<std::size_t>(q)];
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
    r.all_z = std::none_of(layout.z.begin() + r.begin, layout.z.begin() + r.end,
                           [](double v) { return std::isnan(v); });
    r.finite_z = r.any_z && std::isfinite(r.z_min) && std::isfinite(r.z_max);
    if (r.finite_z) {
        r.z_mid = r.z_min + (r.z_max - r.z_min) / 2;
        r.z_half = std::max(r.z_max - r.z_mid, r.z_mid - r.z_min);
        r.finite_z = std::isfinite(r.z_mid) && std::isfinite(r.z_half);
    }
}

}  // namespace

void lay_out_hits(HitLayout& layout, const HitList& hits, const std::vector<Module>& modules) {
    sort_modules_by_x(layout, hits, modules);
    const std::size_t n = hits.size();
    layout.x.resize(n);
    layout.y.resize(n);
    layout.z.resize(n);
    for (std::size_t p = 0; p < n; ++p) {
        const Hit& h = hits[layout.order[p]];
        layout.x[p] = h.x;
        layout.y[p] = h.y;
        layout.z[p] = h.z;
    }
    for (ModuleRange& r : layout.ranges)
        describe_module(r, layout);
}

double coordinate_scale(const HitLayout& layout) {
    double scale = 1.0;
    for (const auto* column : {&layout.x, &layout.y, &layout.z}) {
        for (double v : *column) {
            if (std::isfinite(v))
                scale = std::max(scale, std::fabs(v));
        }
    }
    return scale;
}

}  // namespace trelmon::graph_dfs
