// Reconstruction figures of one particle category, accumulated over the events added so far.
#pragma once

#include <cstdint>
#include <string>

namespace trelmon {

struct Efficiency {
    std::string label;
    std::uint64_t n_particles = 0;
    std::uint64_t n_reco = 0;
    double purity_sum = 0.0;
    std::uint64_t n_clones = 0;
    double hiteff_sum = 0.0;
    std::uint64_t n_hiteff = 0;
    double recoeffT = 0.0;
    double purityT = 0.0;
    double avg_recoeff = 0.0;
    double avg_purity = 0.0;  // of the last event added
    double avg_hiteff = 0.0;  // of the last event added
};

// n_clones * 100 / n_reco, 0 without reconstructed particles.
double clone_percentage(const Efficiency& efficiency) noexcept;
// hiteff_sum * 100 / n_hiteff, 0 without hit efficiencies.
double hit_eff_percentage(const Efficiency& efficiency) noexcept;

// The one-line summary of a category, without a line break.
std::string efficiency_line(const Efficiency& efficiency);

}  // namespace trelmon
