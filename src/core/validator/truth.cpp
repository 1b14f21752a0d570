#include "validator/truth.hpp"

#include <utility>

#include "validator/matching.hpp"

namespace trelmon {
namespace {

// Distinct tracks matched to each column, in a matching over `columns` columns.
std::vector<std::uint32_t> matches_per_column(const TrackToParticle& track_to_particle,
                                              std::size_t columns) {
    std::vector<std::uint32_t> count(columns, 0);
    for (const TrackMatch& match : track_to_particle) {
        if (match.particle) {
            ++count[*match.particle];
        }
    }
    return count;
}

std::uint32_t beyond_first(std::uint32_t matches) noexcept {
    return matches > 1 ? matches - 1 : 0;
}

}  // namespace

EventTruth event_truth(const ValidatorEvent& event, const std::vector<Track>& tracks) {
    const Weights weights = comp_weights(tracks, event);
    const auto [track_to_particle, particle_to_track] = hit_purity(weights);
    const std::size_t rows = event.particles.size();
    EventTruth truth;

    // Tracks: track_to_particle holds one entry per distinct track, in order of first
    // appearance, so entry k belongs to the k-th track that is first of its kind.
    truth.tracks.resize(tracks.size());
    std::vector<std::uint32_t> entry_of(tracks.size(), kNoIndex);
    std::size_t entries = 0;
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        TrackTruth& out = truth.tracks[t];
        const std::size_t first = weights.first_equal[t];
        if (first != t) {
            out.duplicate_of = static_cast<std::uint32_t>(first);
        }
        if (track_to_particle.empty()) {
            continue;  // no particles: no track is weighed, none is a ghost
        }
        if (first == t) {
            entry_of[t] = static_cast<std::uint32_t>(entries++);
        }
        const TrackMatch& match = track_to_particle[entry_of[first]];
        out.weight = match.weight;
        if (match.particle) {
            out.particle = static_cast<std::uint32_t>(*match.particle);
        } else {
            out.ghost = first == t;
        }
    }

    // Particles: the best track by hit_purity's rule (strictly greater, so the earlier track
    // keeps a tie), kept below the threshold too.
    truth.particles.resize(rows);
    for (std::size_t t = 0; t < weights.rows(); ++t) {
        for (const WeightEntry& entry : weights.row(t)) {
            ParticleTruth& out = truth.particles[entry.column];
            if (entry.weight > out.best_weight) {
                out.best_weight = entry.weight;
                out.best_track = static_cast<std::uint32_t>(t);
                out.best_track_hits = entry.hits;
            }
        }
    }
    const std::vector<std::uint32_t> matched = matches_per_column(track_to_particle, rows);
    for (std::size_t row = 0; row < rows; ++row) {
        ParticleTruth& out = truth.particles[row];
        out.reconstructed = particle_to_track[row].track.has_value();
        out.clones = beyond_first(matched[row]);
        if (out.reconstructed && event.mcp_to_hits) {
            const ParticleHits& map = *event.mcp_to_hits;
            const std::size_t distinct = map.entries[map.entry_of_row[row]].distinct_hits;
            if (distinct > 0) {
                out.hit_efficiency =
                    static_cast<double>(out.best_track_hits) / static_cast<double>(distinct);
            }
        }
    }

    // Categories: the validator's matching restricted to each category's particles.
    std::vector<std::size_t> selected;
    for (std::size_t c = 0; c < kCategoryCount; ++c) {
        const CategoryPredicate predicate = categories()[c].predicate;
        selected.clear();
        for (std::size_t row = 0; row < rows; ++row) {
            if (predicate(event.particles[row])) {
                selected.push_back(row);
                truth.particles[row].categories |= static_cast<std::uint8_t>(1u << c);
            }
        }
        if (selected.empty()) {
            continue;
        }
        const TrackToParticle within = hit_purity(weights, selected).first;
        const std::vector<std::uint32_t> count = matches_per_column(within, selected.size());
        for (std::size_t j = 0; j < selected.size(); ++j) {
            truth.particles[selected[j]].category_clones[c] = beyond_first(count[j]);
        }
    }
    return truth;
}

}  // namespace trelmon
