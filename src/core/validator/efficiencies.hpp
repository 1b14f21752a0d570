// A category's efficiency, accumulated event by event from the track-particle matches.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "event_model/track.hpp"
#include "validator/efficiency.hpp"
#include "validator/event.hpp"
#include "validator/matching.hpp"
#include "validator/mc_particles.hpp"

namespace trelmon {

void add_event_internal(Efficiency& efficiency, const TrackToParticle& track_to_particle,
                        const ParticleToTrack& particle_to_track,
                        std::span<const std::size_t> category_rows, const ValidatorEvent& event);

// Folds one event into the category's efficiency. Without category particles the accumulator
// comes back unchanged, and with `verbose` the event is announced on file descriptor 1.
std::optional<Efficiency> update_efficiencies(std::optional<Efficiency> accumulator,
                                              const ValidatorEvent& event,
                                              const std::vector<Track>& tracks,
                                              const Weights& weights, std::string_view label,
                                              CategoryPredicate predicate, bool verbose);

}  // namespace trelmon
