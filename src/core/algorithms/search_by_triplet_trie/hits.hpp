// The search-by-triplet finder's view of hits: the shared scatter recipe, and hits named by id.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "event_model/hit.hpp"

namespace trelmon::sbt {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Every scatter below is computed by exactly these operations, in this order:
//   r = 1 / (q.z - p.z);  tx = (q.x - p.x) * r;  ty = (q.y - p.y) * r;
//   d = h.z - p.z;  px = p.x + tx * d;  py = p.y + ty * d;
//   dx = px - h.x;  dy = py - h.y;  scatter = dx * dx + dy * dy
// The spatial indexes only decide which hits are worth evaluating; the value decides.

inline bool finite(const Hit& hit) noexcept {
    return std::isfinite(hit.x) && std::isfinite(hit.y) && std::isfinite(hit.z);
}

// A hit as the search holds it: its id, which is also its position in the event's hit list
// (event_model/event.hpp), so per-hit state lives in flat arrays indexed by it.
using HitId = std::uint32_t;

}  // namespace trelmon::sbt
