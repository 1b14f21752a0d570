// The search-by-triplet finder's view of hits: the shared scatter recipe, and hits identified by
// id alone, as dense keys into flat per-hit arrays.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <unordered_map>
#include <vector>

#include "algorithms/common/hit_ids.hpp"
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

// A hit as the search sees it: the record it came from and the dense number of its id.
struct Ref {
    const Hit* hit = nullptr;
    std::uint32_t key = kNone;
};

// Hit identity is the id alone. Ids are turned into dense keys so that per-hit state can live
// in flat arrays; events built from dictionaries have ids 0..n-1 and map directly.
class KeyTable {
  public:
    explicit KeyTable(const std::vector<std::span<const Hit>>& sources) {
        std::size_t total = 0;
        std::int64_t low = std::numeric_limits<std::int64_t>::max();
        std::int64_t high = std::numeric_limits<std::int64_t>::min();
        for (const auto& hits : sources) {
            total += hits.size();
            for (const Hit& hit : hits) {
                low = std::min<std::int64_t>(low, hit.id);
                high = std::max<std::int64_t>(high, hit.id);
            }
        }
        offsets_.reserve(sources.size());
        keys_.reserve(total);
        const bool dense = ids_fit_flat_table(low, high, total);
        std::unordered_map<std::int32_t, std::uint32_t> sparse;
        for (const auto& hits : sources) {
            offsets_.push_back(keys_.size());
            for (const Hit& hit : hits) {
                if (dense) {
                    keys_.push_back(static_cast<std::uint32_t>(hit.id - low));
                } else {
                    const auto [it, inserted] =
                        sparse.try_emplace(hit.id, static_cast<std::uint32_t>(sparse.size()));
                    keys_.push_back(it->second);
                }
            }
        }
        count_ = total == 0 ? 0 : dense ? static_cast<std::size_t>(high - low) + 1 : sparse.size();
    }

    std::size_t count() const noexcept { return count_; }
    // The keys of source `source`, parallel to its hits.
    const std::uint32_t* keys(std::size_t source) const noexcept {
        return keys_.data() + offsets_[source];
    }

  private:
    std::vector<std::uint32_t> keys_;
    std::vector<std::size_t> offsets_;
    std::size_t count_ = 0;
};

inline std::uint64_t z_bits(double z) noexcept {
    return std::bit_cast<std::uint64_t>(z);
}

}  // namespace trelmon::sbt
