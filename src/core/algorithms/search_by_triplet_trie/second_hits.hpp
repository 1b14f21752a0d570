// The hits of the station below a trie's station, as the trie's second hits.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "algorithms/search_by_triplet_trie/hits.hpp"

namespace trelmon::sbt {

// Second hits of a station, grouped by exact z, with each plane's extent over its finite
// coordinates. For a fixed first hit and planes of the second and third hit, the predicted x is
// a composition of monotone rounded operations of the second hit's x (and likewise for y), so
// the predictions from a whole plane lie between those from its extreme hits.
struct SecondHits {
    struct Plane {
        double z = 0.0;
        std::uint32_t begin = 0, end = 0;
        double x_min = 0.0, x_max = 0.0, y_min = 0.0, y_max = 0.0;
        bool bounded = false;  // the extents above hold every finite coordinate of the plane
    };
    std::vector<Plane> planes;
    std::vector<double> x, y;
    std::vector<std::uint32_t> position;  // in the station's hit list

    explicit SecondHits(std::span<const Hit> hits) {
        std::vector<std::pair<std::uint64_t, std::uint32_t>> order;
        order.reserve(hits.size());
        for (std::size_t i = 0; i < hits.size(); ++i) {
            order.emplace_back(z_bits(hits[i].z), static_cast<std::uint32_t>(i));
        }
        std::sort(order.begin(), order.end());
        x.reserve(order.size());
        y.reserve(order.size());
        position.reserve(order.size());
        std::size_t begin = 0;
        while (begin < order.size()) {
            std::size_t end = begin + 1;
            while (end < order.size() && order[end].first == order[begin].first) {
                ++end;
            }
            Plane plane;
            plane.z = hits[order[begin].second].z;
            plane.begin = static_cast<std::uint32_t>(x.size());
            plane.x_min = plane.y_min = std::numeric_limits<double>::infinity();
            plane.x_max = plane.y_max = -std::numeric_limits<double>::infinity();
            for (std::size_t k = begin; k < end; ++k) {
                const Hit& hit = hits[order[k].second];
                x.push_back(hit.x);
                y.push_back(hit.y);
                position.push_back(order[k].second);
                if (std::isfinite(hit.x)) {
                    plane.x_min = std::min(plane.x_min, hit.x);
                    plane.x_max = std::max(plane.x_max, hit.x);
                }
                if (std::isfinite(hit.y)) {
                    plane.y_min = std::min(plane.y_min, hit.y);
                    plane.y_max = std::max(plane.y_max, hit.y);
                }
            }
            plane.bounded = plane.x_min <= plane.x_max && plane.y_min <= plane.y_max;
            plane.end = static_cast<std::uint32_t>(x.size());
            planes.push_back(plane);
            begin = end;
        }
    }
};

}  // namespace trelmon::sbt
