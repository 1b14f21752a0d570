#include "validator/matching.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>

#include "core_errors.hpp"

namespace trelmon {

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

}  // namespace

MonteCarlo build_montecarlo(ParticleTable table, const std::vector<Hit>& event_hits) {
    MonteCarlo result;
    result.particles = std::move(table.particles);
    for (std::size_t row = 0; row < result.particles.size(); ++row) {
        MCParticle& particle = result.particles[row];
        particle.hits.clear();
        particle.hits.reserve(table.hits_begin[row + 1] - table.hits_begin[row]);
        for (std::size_t i = table.hits_begin[row]; i < table.hits_begin[row + 1]; ++i) {
            if (table.positions[i] < event_hits.size()) {
                particle.hits.push_back(event_hits[table.positions[i]]);
            }
        }
        particle.over5GeV = is_over_5gev(particle.p);
    }
    result.particle_hits = particle_hits_map(result.particles, event_hits.size());
    return result;
}

namespace {

// The first track equal to each track, by open addressing on the track hash.
std::vector<std::size_t> first_equal_tracks(const std::vector<Track>& tracks) {
    std::vector<std::size_t> first(tracks.size());
    const std::size_t size = std::bit_ceil(2 * tracks.size() + 2);
    std::vector<std::size_t> slots(size, kNone);
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        std::size_t slot = track_hash(tracks[t]) & (size - 1);
        while (slots[slot] != kNone && !(tracks[slots[slot]] == tracks[t])) {
            slot = (slot + 1) & (size - 1);
        }
        if (slots[slot] == kNone) {
            slots[slot] = t;
        }
        first[t] = slots[slot];
    }
    return first;
}

}  // namespace

Weights comp_weights(const std::vector<Track>& tracks, const ValidatorEvent& event) {
    Weights weights;
    weights.columns = event.particles.size();
    weights.first_equal = first_equal_tracks(tracks);
    weights.row_begin.assign(tracks.size() + 1, 0);
    if (event.particles.empty()) {
        return weights;
    }
    if (!event.hit_to_mcp || !event.mcp_to_hits) {
        throw Error(ErrorKind::Runtime, "Error: hit_to_mcp mapping is missing");
    }
    const HitParticles& hit_to_mcp = *event.hit_to_mcp;
    const ParticleHits& mcp_to_hits = *event.mcp_to_hits;

    // A key's column is its last row: earlier rows with the key keep an all-zero column.
    std::vector<std::size_t> column_of_entry(mcp_to_hits.entries.size());
    for (std::size_t e = 0; e < mcp_to_hits.entries.size(); ++e) {
        column_of_entry[e] = mcp_to_hits.entries[e].last;
    }

    std::vector<std::uint32_t> count(weights.columns, 0);
    std::vector<std::size_t> counted_at(weights.columns, kNone);  // last hit serial per column
    std::vector<std::size_t> touched;
    std::size_t hit_serial = 0;
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        const std::vector<Hit>& hits = tracks[t].hits;
        if (hits.size() >= 2) {
            for (const Hit& hit : hits) {
                if (!hit_to_mcp.contains(hit.id)) {
                    throw Error(ErrorKind::Runtime, "Error: hit with id " + std::to_string(hit.id) +
                                                        " not found in hit_to_mcp mapping");
                }
                ++hit_serial;
                for (const std::uint32_t e : hit_to_mcp.of(static_cast<std::size_t>(hit.id))) {
                    const std::size_t column = column_of_entry[e];
                    // A hit adds at most one to a column, however often it lists the particle.
                    if (counted_at[column] == hit_serial) {
                        continue;
                    }
                    counted_at[column] = hit_serial;
                    if (count[column]++ == 0) {
                        touched.push_back(column);
                    }
                }
            }
            const double size = static_cast<double>(hits.size());
            for (const std::size_t column : touched) {
                weights.entries.push_back({static_cast<std::uint32_t>(column), count[column],
                                           static_cast<double>(count[column]) / size});
                count[column] = 0;
            }
            touched.clear();
        }
        weights.row_begin[t + 1] = weights.entries.size();
    }
    return weights;
}

namespace {

constexpr std::uint32_t kUnselected = std::numeric_limits<std::uint32_t>::max();

// The matches over `columns` columns, where `column_of` gives a stored column's place among
// them, or kUnselected to leave its entries out. Places keep the stored columns' order, so the
// tie rules read the same either way.
template <typename ColumnOf>
std::pair<TrackToParticle, ParticleToTrack> best_matches(const Weights& weights,
                                                         std::size_t columns, ColumnOf column_of) {
    TrackToParticle track_to_particle;
    ParticleToTrack particle_to_track(columns, ParticleMatch{0.0, std::nullopt});
    if (columns == 0) {
        return {std::move(track_to_particle), std::move(particle_to_track)};
    }
    std::vector<std::size_t> slot(weights.rows(), kNone);  // first equal track -> its entry
    for (std::size_t t = 0; t < weights.rows(); ++t) {
        // The largest entry, the later column on ties; an all-zero row ends on the last column.
        double best = 0.0;
        std::size_t best_column = columns - 1;
        std::uint32_t best_hits = 0;
        for (const WeightEntry& entry : weights.row(t)) {
            const std::uint32_t column = column_of(entry.column);
            if (column == kUnselected) {
                continue;
            }
            if (entry.weight > best || (entry.weight == best && column > best_column)) {
                best = entry.weight;
                best_column = column;
                best_hits = entry.hits;
            }
            // Strictly greater: on ties the earlier track keeps the particle.
            ParticleMatch& match = particle_to_track[column];
            if (entry.weight > match.weight) {
                match.weight = entry.weight;
                match.track = t;
            }
        }
        TrackMatch match{weights.first_equal[t], best, std::nullopt, 0};
        if (best > kMatchThreshold) {
            match.particle = best_column;
            match.hits = best_hits;
        }
        std::size_t& entry = slot[weights.first_equal[t]];
        if (entry == kNone) {
            entry = track_to_particle.size();
            track_to_particle.push_back(match);
        } else {
            track_to_particle[entry] = match;
        }
    }
    for (ParticleMatch& match : particle_to_track) {
        if (!(match.weight > kMatchThreshold)) {
            match.track.reset();
        }
    }
    return {std::move(track_to_particle), std::move(particle_to_track)};
}

}  // namespace

std::pair<TrackToParticle, ParticleToTrack> hit_purity(const Weights& weights) {
    return best_matches(weights, weights.columns, [](std::uint32_t column) { return column; });
}

std::pair<TrackToParticle, ParticleToTrack> hit_purity(const Weights& weights,
                                                       std::span<const std::size_t> selected) {
    std::vector<std::uint32_t> place(weights.columns, kUnselected);
    for (std::size_t j = 0; j < selected.size(); ++j) {
        place[selected[j]] = static_cast<std::uint32_t>(j);
    }
    return best_matches(weights, selected.size(),
                        [&place](std::uint32_t column) { return place[column]; });
}

std::pair<std::size_t, double> ghost_rate(const TrackToParticle& track_to_particle) noexcept {
    if (track_to_particle.empty()) {
        return {0, 0.0};
    }
    const auto ghosts = static_cast<std::size_t>(
        std::count_if(track_to_particle.begin(), track_to_particle.end(),
                      [](const TrackMatch& match) { return !match.particle; }));
    return {ghosts, static_cast<double>(ghosts) / static_cast<double>(track_to_particle.size())};
}

std::size_t clones(const TrackToParticle& track_to_particle, std::size_t columns) {
    std::vector<bool> matched(columns, false);
    std::size_t count = 0;
    for (const TrackMatch& match : track_to_particle) {
        if (match.particle) {
            if (matched[*match.particle]) {
                ++count;
            }
            matched[*match.particle] = true;
        }
    }
    return count;
}

std::vector<HitEfficiency> hit_efficiency(const TrackToParticle& track_to_particle,
                                          std::span<const std::size_t> rows,
                                          const ValidatorEvent& event) {
    std::vector<HitEfficiency> result;
    if (!event.hit_to_mcp || !event.mcp_to_hits) {
        return result;
    }
    const ParticleHits& map = *event.mcp_to_hits;
    for (const TrackMatch& match : track_to_particle) {
        if (!match.particle) {
            continue;
        }
        const ParticleHitsEntry& entry = map.entries[map.entry_of_row[rows[*match.particle]]];
        if (entry.distinct_hits == 0) {
            continue;
        }
        // hit_to_mcp is built from the map, so the track's hits that lie in the particle's hit
        // set are exactly those that counted for the particle's column in comp_weights.
        result.push_back({match.track, static_cast<double>(match.hits) /
                                           static_cast<double>(entry.distinct_hits)});
    }
    return result;
}

}  // namespace trelmon
