#include "validator/efficiencies.hpp"

#include <stdexcept>

#include "validator/reports.hpp"

namespace trelmon {

void add_event_internal(Efficiency& efficiency, const TrackToParticle& track_to_particle,
                        const ParticleToTrack& particle_to_track,
                        std::span<const std::size_t> category_rows, const ValidatorEvent& event) {
    Efficiency& e = efficiency;
    e.n_particles += category_rows.size();
    e.n_reco += static_cast<std::uint64_t>(
        std::count_if(particle_to_track.begin(), particle_to_track.end(),
                      [](const ParticleMatch& match) { return match.track.has_value(); }));
    e.avg_recoeff = e.n_particles > 0
                        ? static_cast<double>(e.n_reco) / static_cast<double>(e.n_particles) * 100.0
                        : 0.0;
    e.n_clones += clones(track_to_particle, particle_to_track.size());
    const std::vector<HitEfficiency> hit_efficiencies =
        hit_efficiency(track_to_particle, category_rows, event);

    double purity = 0.0;
    std::size_t matched = 0;
    for (const TrackMatch& match : track_to_particle) {
        if (match.particle) {
            purity += match.weight;
            ++matched;
        }
    }
    e.purity_sum += purity;

    double hit_eff = 0.0;
    for (const HitEfficiency& value : hit_efficiencies) {
        hit_eff += value.value;
    }
    e.hiteff_sum += hit_eff;
    e.n_hiteff += hit_efficiencies.size();

    e.avg_hiteff = hit_efficiencies.empty()
                       ? 0.0
                       : hit_eff / static_cast<double>(hit_efficiencies.size()) * 100.0;
    e.avg_purity = matched == 0 ? 0.0 : purity / static_cast<double>(matched) * 100.0;
    if (e.n_particles > 0) {
        e.recoeffT = 100.0 * static_cast<double>(e.n_reco) / static_cast<double>(e.n_particles);
    }
    if (e.n_reco > 0) {
        e.purityT = e.purity_sum * 100.0 / static_cast<double>(e.n_reco + e.n_clones);
    }
}

std::optional<Efficiency> update_efficiencies(std::optional<Efficiency> accumulator,
                                              const ValidatorEvent& event,
                                              const std::vector<Track>& tracks,
                                              const Weights& weights, std::string_view label,
                                              CategoryPredicate predicate, bool verbose) {
    if (weights.rows() != tracks.size() || weights.columns != event.particles.size()) {
        throw std::logic_error("update_efficiencies: weights do not fit the event's tracks");
    }
    std::vector<std::size_t> selected;
    for (std::size_t p = 0; p < event.particles.size(); ++p) {
        if (predicate(event.particles[p])) {
            selected.push_back(p);
        }
    }
    if (selected.empty()) {
        if (verbose) {
            std::string line = "update_efficiencies: No particles match condition for '";
            line.append(label);
            line.append("'\n");
            write_stdout(line);
        }
        return accumulator;
    }
    const auto [track_to_particle, particle_to_track] = hit_purity(weights, selected);
    if (!accumulator) {
        accumulator.emplace();
        accumulator->label = std::string(label);
    }
    add_event_internal(*accumulator, track_to_particle, particle_to_track, selected, event);
    return accumulator;
}

}  // namespace trelmon
