#include "validator/event.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace trelmon {

std::vector<Hit> validator_hits(const std::vector<double>& x, const std::vector<double>& y,
                                const std::vector<double>& z) {
    const std::size_t n = std::min({x.size(), y.size(), z.size()});
    std::vector<Hit> hits(n);
    for (std::size_t i = 0; i < n; ++i) {
        Hit& hit = hits[i];
        hit.id = static_cast<std::int32_t>(i);
        hit.x = x[i];
        hit.y = y[i];
        hit.z = z[i];
    }
    return hits;
}

namespace {

bool in_range(const Hit& hit, std::size_t hit_count) noexcept {
    return hit.id >= 0 && static_cast<std::size_t>(hit.id) < hit_count;
}

// Open addressing on the key: no allocation per particle.
class KeyTable {
  public:
    explicit KeyTable(std::size_t count)
        : slots_(std::bit_ceil(2 * count + 2), kEmpty),
          shift_(64 - static_cast<unsigned>(std::countr_zero(slots_.size()))) {}

    // The entry stored under `key`, or `fresh` after storing it there.
    std::uint32_t find_or_insert(std::uint64_t key, std::uint32_t fresh,
                                 const std::vector<ParticleHitsEntry>& entries,
                                 const std::vector<MCParticle>& particles) {
        std::size_t slot = static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ULL) >> shift_);
        while (slots_[slot] != kEmpty) {
            if (particles[entries[slots_[slot]].first].key == key) {
                return slots_[slot];
            }
            slot = (slot + 1) & (slots_.size() - 1);
        }
        slots_[slot] = fresh;
        return fresh;
    }

  private:
    static constexpr std::uint32_t kEmpty = 0xffffffffu;
    std::vector<std::uint32_t> slots_;
    unsigned shift_;
};

// Counting sort of (hit, entry) pairs by hit, keeping map order within a hit.
HitParticles hit_particles(const ValidatorEvent& event, const ParticleHits& map) {
    const std::size_t hit_count = event.hits.size();
    HitParticles result;
    result.begin.assign(hit_count + 1, 0);
    for (const ParticleHitsEntry& entry : map.entries) {
        for (const Hit& hit : entry_hits(event, entry)) {
            if (in_range(hit, hit_count)) {
                ++result.begin[static_cast<std::size_t>(hit.id) + 1];
            }
        }
    }
    for (std::size_t h = 0; h < hit_count; ++h) {
        result.begin[h + 1] += result.begin[h];
    }
    result.entries.resize(result.begin[hit_count]);
    std::vector<std::size_t> fill(result.begin.begin(), result.begin.end() - 1);
    for (std::size_t e = 0; e < map.entries.size(); ++e) {
        for (const Hit& hit : entry_hits(event, map.entries[e])) {
            if (in_range(hit, hit_count)) {
                result.entries[fill[static_cast<std::size_t>(hit.id)]++] =
                    static_cast<std::uint32_t>(e);
            }
        }
    }
    return result;
}

}  // namespace

ParticleHits particle_hits_map(const std::vector<MCParticle>& particles, std::size_t hit_count) {
    ParticleHits map;
    map.entry_of_row.resize(particles.size());
    KeyTable table(particles.size());
    for (std::size_t row = 0; row < particles.size(); ++row) {
        const auto fresh = static_cast<std::uint32_t>(map.entries.size());
        const std::uint32_t entry =
            table.find_or_insert(particles[row].key, fresh, map.entries, particles);
        if (entry == fresh) {
            map.entries.push_back({row, row, 0});
        } else {
            map.entries[entry].last = row;  // first record, last hit list
        }
        map.entry_of_row[row] = entry;
    }
    std::vector<std::size_t> seen_by(hit_count, particles.size());  // entry that last saw a hit
    for (std::size_t e = 0; e < map.entries.size(); ++e) {
        ParticleHitsEntry& entry = map.entries[e];
        std::vector<std::int32_t> outside;
        for (const Hit& hit : particles[entry.last].hits) {
            if (!in_range(hit, hit_count)) {
                outside.push_back(hit.id);
            } else if (seen_by[static_cast<std::size_t>(hit.id)] != e) {
                seen_by[static_cast<std::size_t>(hit.id)] = e;
                ++entry.distinct_hits;
            }
        }
        std::sort(outside.begin(), outside.end());
        entry.distinct_hits +=
            static_cast<std::size_t>(std::unique(outside.begin(), outside.end()) - outside.begin());
    }
    return map;
}

ValidatorEvent make_validator_event(std::vector<std::size_t> module_prefix_sum,
                                    std::vector<double> x, std::vector<double> y,
                                    std::vector<double> z, std::vector<Hit> hits,
                                    std::optional<MonteCarlo> montecarlo) {
    ValidatorEvent event;
    event.module_prefix_sum = std::move(module_prefix_sum);
    event.x = std::move(x);
    event.y = std::move(y);
    event.z = std::move(z);
    event.hits = std::move(hits);
    if (montecarlo) {
        event.particles = std::move(montecarlo->particles);
        event.mcp_to_hits = std::move(montecarlo->particle_hits);
        event.hit_to_mcp = hit_particles(event, *event.mcp_to_hits);
    }
    return event;
}

}  // namespace trelmon
