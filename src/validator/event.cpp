#include "validator/event.hpp"

#include <algorithm>
#include <utility>

namespace trelmon {

void insert_particle_hits(ParticleHits& map, const MCParticle& particle, std::vector<Hit> hits) {
    const auto [it, inserted] = map.index.try_emplace(particle.key, map.entries.size());
    if (inserted) {
        map.entries.push_back({particle, std::move(hits)});
    } else {
        map.entries[it->second].hits = std::move(hits);
    }
}

const ParticleHitsEntry* find_particle_hits(const ParticleHits& map, std::uint64_t key) noexcept {
    const auto it = map.index.find(key);
    return it == map.index.end() ? nullptr : &map.entries[it->second];
}

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

// Counting sort of (hit, entry) pairs by hit, keeping map order within a hit.
HitParticles hit_particles(std::size_t hit_count, const ParticleHits& map) {
    HitParticles result;
    result.begin.assign(hit_count + 1, 0);
    const auto in_range = [hit_count](const Hit& hit) {
        return hit.id >= 0 && static_cast<std::size_t>(hit.id) < hit_count;
    };
    for (const ParticleHitsEntry& entry : map.entries) {
        for (const Hit& hit : entry.hits) {
            if (in_range(hit)) {
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
        for (const Hit& hit : map.entries[e].hits) {
            if (in_range(hit)) {
                result.entries[fill[static_cast<std::size_t>(hit.id)]++] =
                    static_cast<std::uint32_t>(e);
            }
        }
    }
    return result;
}

}  // namespace

ValidatorEvent make_validator_event(std::vector<std::size_t> module_prefix_sum,
                                    std::vector<double> x, std::vector<double> y,
                                    std::vector<double> z, std::vector<Hit> hits,
                                    std::optional<ParticleHits> mcp_to_hits,
                                    std::optional<std::vector<MCParticle>> particles) {
    ValidatorEvent event;
    if (mcp_to_hits) {
        event.hit_to_mcp = hit_particles(hits.size(), *mcp_to_hits);
        if (particles) {
            event.particles = std::move(*particles);
        } else {
            event.particles.reserve(mcp_to_hits->entries.size());
            for (const ParticleHitsEntry& entry : mcp_to_hits->entries) {
                event.particles.push_back(entry.particle);
            }
        }
    } else if (particles) {
        event.particles = std::move(*particles);
    }
    event.module_prefix_sum = std::move(module_prefix_sum);
    event.x = std::move(x);
    event.y = std::move(y);
    event.z = std::move(z);
    event.hits = std::move(hits);
    event.mcp_to_hits = std::move(mcp_to_hits);
    return event;
}

}  // namespace trelmon
