// A reconstructed track: hits in the order they were added, plus the flags an algorithm keeps
// while extending it. Identity is the hit ids in order and the two flags, not missed_count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "event_model/hit.hpp"

namespace trelmon {

struct Track {
    std::vector<Hit> hits;
    bool missed_last_module = false;
    bool missed_penultimate_module = false;
    std::uint8_t missed_count = 0;
};

bool operator==(const Track& a, const Track& b) noexcept;

std::size_t track_hash(const Track& track) noexcept;

std::string track_repr(const Track& track);

}  // namespace trelmon

template <>
struct std::hash<trelmon::Track> {
    std::size_t operator()(const trelmon::Track& track) const noexcept {
        return trelmon::track_hash(track);
    }
};
