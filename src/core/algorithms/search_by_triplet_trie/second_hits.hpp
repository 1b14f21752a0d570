// The hits of the station below a trie's station, as the trie's second hits.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "algorithms/common/planes.hpp"
#include "algorithms/search_by_triplet_trie/hits.hpp"
#include "algorithms/search_by_triplet_trie/screen.hpp"

namespace trelmon::sbt {

// Second hits of a station, grouped by exact z, with each plane's extent over its finite
// coordinates. For a fixed first hit and planes of the second and third hit, the predicted x is
// a composition of monotone rounded operations of the second hit's x (and likewise for y), so
// the predictions from a whole plane lie between those from its extreme hits.
// Each plane's coordinates start at a multiple of kScreenStep and are padded with NaN to the next
// one, so that the screens read them in whole steps. A plane of kSortedPlane hits or more, all
// with a finite x, lists them by increasing x (then position): a first hit's predictions on a
// third plane are then monotone in the list, and those inside an x window form one run of it.
struct SecondHits {
    struct Plane {
        double z = 0.0;
        std::uint32_t begin = 0, end = 0;  // end - begin hits, then the padding
        double x_min = 0.0, x_max = 0.0, y_min = 0.0, y_max = 0.0;
        bool bounded = false;  // the extents above hold every finite coordinate of the plane
        bool sorted = false;   // listed by increasing x, every x finite
    };
    static constexpr std::uint32_t kSortedPlane = 64;
    std::vector<Plane> planes;
    std::vector<double> x, y;
    std::vector<std::uint32_t> position;  // in the station's hit list; kNone in the padding

    // Fills the lists from the station's hits grouped by ZPlanes::group(hits, false), reusing
    // their buffers.
    void build(std::span<const Hit> hits, const ZPlanes& grouping) {
        planes.clear();
        x.clear();
        y.clear();
        position.clear();
        for (const ZPlane& group : grouping.planes) {
            Plane plane;
            plane.z = group.z;
            plane.begin = static_cast<std::uint32_t>(x.size());
            order_.assign(grouping.position.begin() + group.begin,
                          grouping.position.begin() + group.end);
            plane.sorted = order_.size() >= kSortedPlane &&
                           std::all_of(order_.begin(), order_.end(),
                                       [&](std::uint32_t p) { return std::isfinite(hits[p].x); });
            if (plane.sorted) {
                std::sort(order_.begin(), order_.end(), [&](std::uint32_t p, std::uint32_t q) {
                    return hits[p].x < hits[q].x || (hits[p].x == hits[q].x && p < q);
                });
            }
            for (const std::uint32_t p : order_) {
                x.push_back(hits[p].x);
                y.push_back(hits[p].y);
                position.push_back(p);
            }
            plane.end = static_cast<std::uint32_t>(x.size());
            while (x.size() % kScreenStep != 0) {
                x.push_back(std::numeric_limits<double>::quiet_NaN());
                y.push_back(std::numeric_limits<double>::quiet_NaN());
                position.push_back(kNone);
            }
            plane.x_min = group.x_min;
            plane.x_max = group.x_max;
            plane.y_min = group.y_min;
            plane.y_max = group.y_max;
            plane.bounded = plane.x_min <= plane.x_max && plane.y_min <= plane.y_max;
            planes.push_back(plane);
        }
    }

  private:
    std::vector<std::uint32_t> order_;  // scratch of build: one plane's positions
};

}  // namespace trelmon::sbt
