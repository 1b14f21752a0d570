// The validator's own view of one event: hits rebuilt from the coordinate lists, the Monte Carlo
// particles, and the cross-references between them. Hit ids equal positions (0, 1, 2, ...) and
// particles are rows of one table, so the maps are flat arrays indexed by hit id or row instead
// of hash maps of copied records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "event_model/hit.hpp"
#include "validator/mc_particles.hpp"

namespace trelmon {

// One entry of the particle -> hits map per distinct key, in order of the key's first row. The
// entry's particle record is that first row; its hit list is the hit list of the key's last row.
struct ParticleHitsEntry {
    std::size_t first;          // row of the particle record
    std::size_t last;           // row whose hits are the entry's hits
    std::size_t distinct_hits;  // distinct hit ids among those hits
};

struct ParticleHits {
    std::vector<ParticleHitsEntry> entries;
    std::vector<std::uint32_t> entry_of_row;  // the entry of each row's key
};

// Hit -> particles, for hit ids 0..n-1: the particles of hit h are the ParticleHits entries
// entries[begin[h] .. begin[h + 1]), in map order, repetitions included.
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

// The particle rows of an event and the particle -> hits map over them.
struct MonteCarlo {
    std::vector<MCParticle> particles;
    ParticleHits particle_hits;
};

struct ValidatorEvent {
    std::vector<std::size_t> module_prefix_sum;
    std::vector<double> x;
    std::vector<double> y;
    std::vector<double> z;
    std::vector<Hit> hits;              // hits[i].id == i
    std::vector<MCParticle> particles;  // the rows of the Monte Carlo table
    std::optional<ParticleHits> mcp_to_hits;
    std::optional<HitParticles> hit_to_mcp;  // present exactly when mcp_to_hits is
};

// Validator hits from the coordinate lists: one per position up to the shortest list.
std::vector<Hit> validator_hits(const std::vector<double>& x, const std::vector<double>& y,
                                const std::vector<double>& z);

// The map over particle rows whose hits are already selected from `hit_count` event hits.
ParticleHits particle_hits_map(const std::vector<MCParticle>& particles, std::size_t hit_count);

// Never fails. `hits` must carry ids equal to their positions; particle hits outside them are
// skipped. Without Monte Carlo data the event has no particles and no maps.
ValidatorEvent make_validator_event(std::vector<std::size_t> module_prefix_sum,
                                    std::vector<double> x, std::vector<double> y,
                                    std::vector<double> z, std::vector<Hit> hits,
                                    std::optional<MonteCarlo> montecarlo);

// The hit list of a map entry.
inline const std::vector<Hit>& entry_hits(const ValidatorEvent& event,
                                          const ParticleHitsEntry& entry) noexcept {
    return event.particles[entry.last].hits;
}

}  // namespace trelmon
