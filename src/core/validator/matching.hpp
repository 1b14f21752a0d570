// Monte Carlo assembly and track-particle matching: the weights of every track against every
// particle, the best matches both ways, ghosts, clones and hit efficiencies.
//
// The weight matrix is kept sparse: a row lists only the particles that produced at least one of
// the track's hits. Every figure derived from it equals the one the full tracks x particles matrix
// gives, ties and all-zero rows included. Maps keyed by track or particle are vectors in insertion
// order, so sums are taken in a fixed order and results are reproducible bit for bit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "event_model/track.hpp"
#include "validator/efficiency.hpp"
#include "validator/event.hpp"
#include "validator/mc_particles.hpp"

namespace trelmon {

inline constexpr double kMatchThreshold = 0.7;

// ---- Monte Carlo table -------------------------------------------------------------------------

// The table as read: every field of each row but hits and over5GeV, and each row's hit
// positions, positions[hits_begin[r] .. hits_begin[r + 1]) (none when the cell did not convert).
struct ParticleTable {
    std::vector<MCParticle> particles;
    std::vector<std::size_t> positions;
    std::vector<std::size_t> hits_begin{0};
};

// Selects each row's hits from `event_hits` (positions past the end are skipped), derives
// over5GeV and builds the particle-to-hits map (first record of a key, last hit list).
MonteCarlo build_montecarlo(ParticleTable table, const std::vector<Hit>& event_hits);

// ---- Weights -----------------------------------------------------------------------------------

struct WeightEntry {
    std::uint32_t column;
    std::uint32_t hits;  // the track's hits (repetitions included) that the particle produced
    double weight;       // hits / number of hits of the track
};

struct Weights {
    std::size_t columns = 0;               // particles weighed against
    std::vector<std::size_t> row_begin;    // rows + 1 offsets into entries
    std::vector<WeightEntry> entries;      // the non-zero entries of each row
    std::vector<std::size_t> first_equal;  // per row, the first track equal to this row's track

    std::size_t rows() const noexcept { return first_equal.size(); }
    std::span<const WeightEntry> row(std::size_t t) const noexcept {
        return {entries.data() + row_begin[t], entries.data() + row_begin[t + 1]};
    }
};

// Weights of every track against every particle of the event. Throws Error(Runtime) with
// "Error: hit_to_mcp mapping is missing" or "Error: hit with id {} not found in hit_to_mcp
// mapping" (only when the event has particles).
Weights comp_weights(const std::vector<Track>& tracks, const ValidatorEvent& event);

// ---- Matching ----------------------------------------------------------------------------------

// An entry of track_to_particle; tracks equal to an earlier one share its entry.
struct TrackMatch {
    std::size_t track;                    // first track of its kind
    double weight;                        // best weight of the track
    std::optional<std::size_t> particle;  // column, present when weight > 0.7
    std::uint32_t hits;                   // the track's hits produced by that particle
};

// An entry of particle_to_track, one per column. Of several columns with one key only the last
// can carry weight (comp_weights), so counting columns counts keys.
struct ParticleMatch {
    double weight;
    std::optional<std::size_t> track;  // present when weight > 0.7
};

using TrackToParticle = std::vector<TrackMatch>;
using ParticleToTrack = std::vector<ParticleMatch>;

struct HitEfficiency {
    std::size_t track;
    double value;
};

// Best match of every track (ties to the later column; an all-zero row ends on the last one) and
// of every particle (ties to the earlier track), matched only above 0.7. Without columns no track
// has an entry.
std::pair<TrackToParticle, ParticleToTrack> hit_purity(const Weights& weights);

// hit_purity over the columns `selected` (increasing positions) alone, renumbered 0, 1, ...:
// the other particles are left out of the matching as if they had no column.
std::pair<TrackToParticle, ParticleToTrack> hit_purity(const Weights& weights,
                                                       std::span<const std::size_t> selected);

// (ghosts, ghosts / entries), (0, 0.0) for an empty map.
std::pair<std::size_t, double> ghost_rate(const TrackToParticle& track_to_particle) noexcept;

// Clone tracks: for every particle matched by several tracks, all but one of them.
std::size_t clones(const TrackToParticle& track_to_particle, std::size_t columns);

// Per matched track: its hits among the matched particle's distinct hits, over their number.
// `rows` gives the particle row of each column the matches refer to.
std::vector<HitEfficiency> hit_efficiency(const TrackToParticle& track_to_particle,
                                          std::span<const std::size_t> rows,
                                          const ValidatorEvent& event);

}  // namespace trelmon
