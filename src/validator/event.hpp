// The validator's own view of one event: hits rebuilt from the coordinate lists, the Monte Carlo
// particles, and the cross-references between them. Hit ids equal positions (0, 1, 2, ...), so
// per-hit data is kept in flat arrays indexed by id rather than in hash maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "event_model/hit.hpp"
#include "validator/mc_particles.hpp"

namespace trelmon {

// Particle -> hits, keyed by particle key, iterated in the order keys were first inserted.
// Re-inserting a key keeps the first particle record and replaces its hit list.
struct ParticleHitsEntry {
    MCParticle particle;
    std::vector<Hit> hits;
};

struct ParticleHits {
    std::vector<ParticleHitsEntry> entries;
    std::unordered_map<std::uint64_t, std::size_t> index;  // key -> position in entries
};

void insert_particle_hits(ParticleHits& map, const MCParticle& particle, std::vector<Hit> hits);
const ParticleHitsEntry* find_particle_hits(const ParticleHits& map, std::uint64_t key) noexcept;

// Hit -> particles, for hit ids 0..n-1: the particles of hit h are the ParticleHits entries
// entries[begin[h] .. begin[h + 1]), repetitions included.
struct HitParticles {
    std::vector<std::size_t> begin;  // n + 1 offsets
    std::vector<std::uint32_t> entries;

    std::size_t size() const noexcept { return begin.empty() ? 0 : begin.size() - 1; }
    bool contains(std::int64_t id) const noexcept {
        return id >= 0 && static_cast<std::uint64_t>(id) < size();
    }
    std::span<const std::uint32_t> of(std::size_t id) const noexcept {
        return {entries.data() + begin[id], entries.data() + begin[id + 1]};
    }
};

struct ValidatorEvent {
    std::vector<std::size_t> module_prefix_sum;
    std::vector<double> x;
    std::vector<double> y;
    std::vector<double> z;
    std::vector<Hit> hits;  // hits[i].id == i
    std::vector<MCParticle> particles;
    std::optional<ParticleHits> mcp_to_hits;
    std::optional<HitParticles> hit_to_mcp;  // present exactly when mcp_to_hits is
};

// Validator hits from the coordinate lists: one per position up to the shortest list.
std::vector<Hit> validator_hits(const std::vector<double>& x, const std::vector<double>& y,
                                const std::vector<double>& z);

// Never fails. `hits` must carry ids equal to their positions; particle hits outside them are
// skipped. Without a particle list the particles are the keys of `mcp_to_hits`, in map order.
ValidatorEvent make_validator_event(std::vector<std::size_t> module_prefix_sum,
                                    std::vector<double> x, std::vector<double> y,
                                    std::vector<double> z, std::vector<Hit> hits,
                                    std::optional<ParticleHits> mcp_to_hits,
                                    std::optional<std::vector<MCParticle>> particles);

}  // namespace trelmon
