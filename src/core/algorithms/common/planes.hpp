// A module's (or station's) hits grouped into planes of equal z, the per-plane facts every
// finder's extrapolation needs: a prediction made for a plane is the same for all its hits.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <unordered_map>
#include <vector>

#include "event_model/hit.hpp"

namespace trelmon {

struct ZPlane {
    double z = 0.0;
    std::uint32_t begin = 0, end = 0;  // into ZPlanes::position
    // Extent of the plane's finite x and finite y values; +inf / -inf when it has none.
    double x_min = std::numeric_limits<double>::infinity();
    double x_max = -std::numeric_limits<double>::infinity();
    double y_min = std::numeric_limits<double>::infinity();
    double y_max = -std::numeric_limits<double>::infinity();
};

// Planes are keyed by the bit pattern of z, so -0.0 and 0.0 (or two NaNs with different
// payloads) are different planes. Planes come in order of first appearance; within a plane the
// positions increase. Every finder's choice among candidates is by a value with the lowest
// position breaking ties, which makes the order of the planes irrelevant to any result.
class ZPlanes {
  public:
    static constexpr std::uint32_t kNoPlane = std::numeric_limits<std::uint32_t>::max();

    // Groups `hits`; with finite_only, hits with a NaN or infinite coordinate are left out
    // (plane_of says kNoPlane for them). Reuses the object's buffers.
    void group(std::span<const Hit> hits, bool finite_only);

    std::vector<ZPlane> planes;
    std::vector<std::uint32_t> position;  // positions in the hit list, plane by plane
    std::vector<std::uint32_t> plane_of;  // per position of the hit list

  private:
    std::uint32_t find(std::uint64_t z_bits) const;

    // A module holds a handful of planes, found by a short scan; past kLinearPlanes a map keyed
    // by z bits takes over, so that a list of thousands of planes stays linear.
    static constexpr std::size_t kLinearPlanes = 16;
    std::unordered_map<std::uint64_t, std::uint32_t> by_z_;
    std::vector<std::uint32_t> cursor_;
};

}  // namespace trelmon
