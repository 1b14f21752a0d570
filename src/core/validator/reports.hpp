// The validation pass over paired events and tracks, and the figures and lines the report
// functions print or return.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "event_model/track.hpp"
#include "validator/efficiencies.hpp"
#include "validator/efficiency.hpp"
#include "validator/event.hpp"
#include "validator/mc_particles.hpp"

namespace trelmon {

// Writes the whole text to file descriptor 1 at once, bypassing any buffered stream.
void write_stdout(std::string_view text);

struct ValidationTotals {
    std::uint64_t total_tracks = 0;
    std::uint64_t total_ghosts = 0;
    double ghost_rate_sum = 0.0;
};

using CategoryEfficiencies = std::array<std::optional<Efficiency>, kCategoryCount>;

// One event paired with its tracks: counts, ghosts and every category, in category order.
void validate_pair(const ValidatorEvent& event, const std::vector<Track>& tracks, bool verbose,
                   ValidationTotals& totals, CategoryEfficiencies& efficiencies);

// Percentages; 0 without tracks, or without events.
double overall_ghost_rate(const ValidationTotals& totals) noexcept;
double event_average_ghost_rate(const ValidationTotals& totals, std::size_t events) noexcept;

// The printed report after the pass: "No events found." or the ghost line and one line per
// present category, each ending in a line break.
std::vector<std::string> summary_lines(const ValidationTotals& totals,
                                       const CategoryEfficiencies& efficiencies,
                                       std::size_t events);

// Reconstructed over all particles of one category, summed over the pairs; 0 without any.
// Events without category particles are announced.
double tracking_efficiency(std::span<const ValidatorEvent> events,
                           std::span<const std::vector<Track>> tracks, std::string_view label);

}  // namespace trelmon
