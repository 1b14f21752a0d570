#include "algorithms/common/planes.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace trelmon {

std::uint32_t ZPlanes::find(std::uint64_t z_bits) const {
    if (planes.size() > kLinearPlanes) {
        const auto found = by_z_.find(z_bits);
        return found == by_z_.end() ? kNoPlane : found->second;
    }
    for (std::uint32_t k = 0; k < planes.size(); ++k) {
        if (std::bit_cast<std::uint64_t>(planes[k].z) == z_bits) {
            return k;
        }
    }
    return kNoPlane;
}

void ZPlanes::group(std::span<const Hit> hits, bool finite_only) {
    planes.clear();
    by_z_.clear();
    plane_of.assign(hits.size(), kNoPlane);
    // First pass: each hit's plane, with the planes' sizes (in `end`) and extents.
    std::uint32_t last = kNoPlane;
    std::uint32_t grouped = 0;
    for (std::uint32_t p = 0; p < hits.size(); ++p) {
        const Hit& hit = hits[p];
        const bool finite_x = std::isfinite(hit.x);
        const bool finite_y = std::isfinite(hit.y);
        if (finite_only && !(finite_x && finite_y && std::isfinite(hit.z))) {
            continue;
        }
        const auto z_bits = std::bit_cast<std::uint64_t>(hit.z);
        if (last == kNoPlane || std::bit_cast<std::uint64_t>(planes[last].z) != z_bits) {
            last = find(z_bits);
            if (last == kNoPlane) {
                last = static_cast<std::uint32_t>(planes.size());
                ZPlane plane;
                plane.z = hit.z;
                planes.push_back(plane);
                if (planes.size() > kLinearPlanes) {
                    if (by_z_.empty()) {
                        for (std::uint32_t k = 0; k < planes.size(); ++k) {
                            by_z_.emplace(std::bit_cast<std::uint64_t>(planes[k].z), k);
                        }
                    } else {
                        by_z_.emplace(z_bits, last);
                    }
                }
            }
        }
        ZPlane& plane = planes[last];
        if (finite_x) {
            plane.x_min = std::min(plane.x_min, hit.x);
            plane.x_max = std::max(plane.x_max, hit.x);
        }
        if (finite_y) {
            plane.y_min = std::min(plane.y_min, hit.y);
            plane.y_max = std::max(plane.y_max, hit.y);
        }
        ++plane.end;
        plane_of[p] = last;
        ++grouped;
    }
    // Second pass: positions placed plane by plane, in increasing order within each.
    cursor_.resize(planes.size());
    std::uint32_t running = 0;
    for (std::size_t k = 0; k < planes.size(); ++k) {
        const std::uint32_t size = planes[k].end;
        planes[k].begin = running;
        planes[k].end = running + size;
        cursor_[k] = running;
        running += size;
    }
    position.resize(grouped);
    for (std::uint32_t p = 0; p < hits.size(); ++p) {
        if (plane_of[p] != kNoPlane) {
            position[cursor_[plane_of[p]]++] = p;
        }
    }
}

}  // namespace trelmon
