#include "algorithms/scatter_window_following/layout.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <numeric>

namespace trelmon::swf {
namespace {

bool finite(const Hit& hit) noexcept {
    return std::isfinite(hit.x) && std::isfinite(hit.y) && std::isfinite(hit.z);
}

// A module is one-sided when the centroid of its hits lies well away from the beam compared
// with their spread; a module around the beam has its centroid near the axis.
constexpr double kOneSidedCentroid = 0.2;

// Modules with at least one finite hit, by the middle of their z range (ties keep module order).
struct Found {
    std::size_t original;
    double z_lo;
    double z_hi;
};

std::vector<Found> modules_in_z_order(const Event& event) {
    std::vector<Found> found;
    for (std::size_t m = 0; m < event.modules.size(); ++m) {
        double lo = std::numeric_limits<double>::infinity();
        double hi = -lo;
        for (const Hit& hit : event.modules[m].hits()) {
            if (finite(hit)) {
                lo = std::min(lo, hit.z);
                hi = std::max(hi, hit.z);
            }
        }
        if (lo <= hi) {
            found.push_back({m, lo, hi});
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return 0.5 * (a.z_lo + a.z_hi) < 0.5 * (b.z_lo + b.z_hi);
    });
    return found;
}

// Where a module's hits sit around the beam: their centroid, and its distance from the beam
// over the hits' spread.
struct Centroid {
    double x, y, offset;
};

// Appends module i's finite hits to the layout in phi order (ids break ties) and fills its
// z, depth and active area.
Centroid place_module_hits(Layout& layout, std::size_t i, const Found& found, const Event& event) {
    LayoutModule& mod = layout.modules[i];
    mod.z = 0.5 * (found.z_lo + found.z_hi);
    mod.half_depth = 0.5 * (found.z_hi - found.z_lo);
    mod.begin = static_cast<std::uint32_t>(layout.hits.size());
    mod.r_min = mod.x_min = mod.y_min = std::numeric_limits<double>::infinity();
    mod.r_max = mod.x_max = mod.y_max = -std::numeric_limits<double>::infinity();
    double sx = 0.0, sy = 0.0, sr2 = 0.0;
    for (const Hit& hit : event.modules[found.original].hits()) {
        if (!finite(hit)) {
            continue;
        }
        const double r = std::sqrt(hit.x * hit.x + hit.y * hit.y);
        layout.hits.push_back(
            {hit.x, hit.y, hit.z, std::atan2(hit.y, hit.x), static_cast<std::uint32_t>(i), &hit});
        mod.r_min = std::min(mod.r_min, r);
        mod.r_max = std::max(mod.r_max, r);
        mod.x_min = std::min(mod.x_min, hit.x);
        mod.x_max = std::max(mod.x_max, hit.x);
        mod.y_min = std::min(mod.y_min, hit.y);
        mod.y_max = std::max(mod.y_max, hit.y);
        sx += hit.x;
        sy += hit.y;
        sr2 += r * r;
    }
    mod.end = static_cast<std::uint32_t>(layout.hits.size());
    layout.r_max = std::max(layout.r_max, mod.r_max);
    std::sort(layout.hits.begin() + mod.begin, layout.hits.begin() + mod.end,
              [](const PlacedHit& a, const PlacedHit& b) {
                  return a.phi < b.phi || (a.phi == b.phi && a.source->id < b.source->id);
              });
    const double n = static_cast<double>(mod.end - mod.begin);
    const double x = sx / n;
    const double y = sy / n;
    return {x, y, std::hypot(x, y) / std::sqrt(sr2 / n)};
}

// Sides: one-sided modules whose centroids point the same way as the centroid of the most
// one-sided module (farthest from the beam for its spread) are side 1, the others side 2.
// Returns which sides occur.
std::array<bool, 3> assign_sides(Layout& layout, const std::vector<Centroid>& centroids) {
    double ref_x = 0.0, ref_y = 0.0, ref_score = 0.0;
    for (const Centroid& c : centroids) {
        if (c.offset > kOneSidedCentroid && c.offset > ref_score) {
            ref_score = c.offset;
            ref_x = c.x;
            ref_y = c.y;
        }
    }
    std::array<bool, 3> has_side = {false, false, false};
    for (std::size_t i = 0; i < centroids.size(); ++i) {
        if (!(centroids[i].offset > kOneSidedCentroid)) {
            continue;
        }
        layout.modules[i].side = centroids[i].x * ref_x + centroids[i].y * ref_y > 0.0 ? 1 : 2;
        has_side[layout.modules[i].side] = true;
    }
    return has_side;
}

// Seed partners: walking down in z, the next two modules of each side.
void find_seed_partners(Layout& layout, const std::array<bool, 3>& has_side) {
    for (std::size_t i = 0; i < layout.modules.size(); ++i) {
        int count[3] = {0, 0, 0};
        const auto satisfied = [&] {
            if (!has_side[1] && !has_side[2]) {
                return count[1] >= 2;
            }
            return (!has_side[1] || count[1] >= 2) && (!has_side[2] || count[2] >= 2);
        };
        for (std::size_t j = i; j-- > 0 && !satisfied();) {
            const int side = layout.modules[j].side;
            if (side == 0) {
                if (count[1] < 2 || count[2] < 2) {
                    layout.modules[i].partners.push_back(static_cast<std::uint32_t>(j));
                }
                ++count[1];
                ++count[2];
            } else if (count[side] < 2) {
                layout.modules[i].partners.push_back(static_cast<std::uint32_t>(j));
                ++count[side];
            }
        }
    }
}

}  // namespace

Layout learn_layout(const Event& event) {
    const std::vector<Found> found = modules_in_z_order(event);
    Layout layout;
    layout.modules.resize(found.size());
    std::vector<Centroid> centroids(found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        centroids[i] = place_module_hits(layout, i, found[i], event);
    }
    find_seed_partners(layout, assign_sides(layout, centroids));
    return layout;
}

}  // namespace trelmon::swf
