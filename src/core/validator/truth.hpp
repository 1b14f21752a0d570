// The matching of one event laid out per track and per particle, for tables a physicist can
// histogram and join. It runs the validator's own passes (comp_weights, hit_purity and the
// per-category matching of update_efficiencies), so that summing it reproduces the validator:
// per category, particles, reconstructed particles and clone tracks; over tracks, the ghosts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "event_model/track.hpp"
#include "validator/event.hpp"
#include "validator/mc_particles.hpp"

namespace trelmon {

inline constexpr std::uint32_t kNoIndex = std::numeric_limits<std::uint32_t>::max();

struct TrackTruth {
    std::uint32_t particle = kNoIndex;      // row of the matched particle
    double weight = 0.0;                    // the track's best weight
    std::uint32_t duplicate_of = kNoIndex;  // first earlier track equal to this one
    bool ghost = false;                     // as the validator counts it: first of its kind only
};

struct ParticleTruth {
    std::uint32_t best_track = kNoIndex;  // first track of the best (positive) weight
    double best_weight = 0.0;
    std::uint32_t best_track_hits = 0;  // the best track's hits that this particle produced
    bool reconstructed = false;         // best weight above the threshold
    double hit_efficiency = 0.0;        // of the best track, when reconstructed
    std::uint32_t clones = 0;           // matched distinct tracks beyond the first
    // Clone tracks as the validator counts them for each category: within a category a track
    // competes only for that category's particles, so a track above the threshold for two
    // particles that share hits can count for a different one in each category.
    std::array<std::uint32_t, kCategoryCount> category_clones{};
    std::uint8_t categories = 0;  // bit c set when the particle is in categories()[c]
};

struct EventTruth {
    std::vector<TrackTruth> tracks;        // one per track, in track order
    std::vector<ParticleTruth> particles;  // one per Monte Carlo row, in row order
};

// Throws the errors of comp_weights.
EventTruth event_truth(const ValidatorEvent& event, const std::vector<Track>& tracks);

}  // namespace trelmon
