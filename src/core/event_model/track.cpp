#include "event_model/track.hpp"

namespace trelmon {
namespace {

// boost-style mixing; any hash consistent with equality would do.
void mix(std::size_t& seed, std::size_t value) noexcept {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace

bool operator==(const Track& a, const Track& b) noexcept {
    return a.missed_last_module == b.missed_last_module &&
           a.missed_penultimate_module == b.missed_penultimate_module && a.hits == b.hits;
}

std::size_t track_hash(const Track& track) noexcept {
    std::size_t seed = 0;
    mix(seed, track.hits.size());
    for (const Hit& hit : track.hits) {
        mix(seed, std::hash<Hit>{}(hit));
    }
    mix(seed, track.missed_last_module);
    mix(seed, track.missed_penultimate_module);
    return seed;
}

std::string track_repr(const Track& track) {
    std::string out = "Track with " + std::to_string(track.hits.size());
    out += " hits: ";
    out += hit_list_debug(track.hits);
    return out;
}

}  // namespace trelmon
