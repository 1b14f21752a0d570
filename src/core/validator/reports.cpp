#include "validator/reports.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace trelmon {

namespace {

__attribute__((format(printf, 1, 2))) std::string printf_string(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.pop_back();
    }
    va_end(again);
    return text;
}

}  // namespace

void write_stdout(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(1, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // a closed or broken standard output takes nothing
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

void validate_pair(const ValidatorEvent& event, const std::vector<Track>& tracks, bool verbose,
                   ValidationTotals& totals, CategoryEfficiencies& efficiencies) {
    totals.total_tracks += tracks.size();
    const Weights weights = comp_weights(tracks, event);
    const auto [ghosts, fraction] = ghost_rate(hit_purity(weights).first);
    totals.total_ghosts += ghosts;
    totals.ghost_rate_sum += fraction;
    for (std::size_t c = 0; c < kCategoryCount; ++c) {
        const Category& category = categories()[c];
        efficiencies[c] = update_efficiencies(std::move(efficiencies[c]), event, tracks, weights,
                                              category.label, category.predicate, verbose);
    }
}

double overall_ghost_rate(const ValidationTotals& totals) noexcept {
    if (totals.total_tracks == 0) {
        return 0.0;
    }
    return static_cast<double>(totals.total_ghosts) * 100.0 /
           static_cast<double>(totals.total_tracks);
}

double event_average_ghost_rate(const ValidationTotals& totals, std::size_t events) noexcept {
    if (events == 0) {
        return 0.0;
    }
    return totals.ghost_rate_sum * 100.0 / static_cast<double>(events);
}

std::vector<std::string> summary_lines(const ValidationTotals& totals,
                                       const CategoryEfficiencies& efficiencies,
                                       std::size_t events) {
    std::vector<std::string> lines;
    if (events == 0) {
        lines.emplace_back("No events found.\n");
        return lines;
    }
    lines.push_back(printf_string(
        "%llu tracks including %llu ghosts (%.1f%%). Event average ghost rate: %.1f%%\n",
        static_cast<unsigned long long>(totals.total_tracks),
        static_cast<unsigned long long>(totals.total_ghosts), overall_ghost_rate(totals),
        event_average_ghost_rate(totals, events)));
    for (const std::optional<Efficiency>& efficiency : efficiencies) {
        if (efficiency) {
            lines.push_back(efficiency_line(*efficiency) + "\n");
        }
    }
    return lines;
}

double tracking_efficiency(std::span<const ValidatorEvent> events,
                           std::span<const std::vector<Track>> tracks, std::string_view label) {
    const CategoryPredicate predicate = category_predicate(label);
    std::optional<Efficiency> efficiency;
    const std::size_t pairs = std::min(events.size(), tracks.size());
    for (std::size_t j = 0; j < pairs; ++j) {
        const Weights weights = comp_weights(tracks[j], events[j]);
        efficiency = update_efficiencies(std::move(efficiency), events[j], tracks[j], weights,
                                         label, predicate, true);
    }
    return efficiency ? efficiency->recoeffT / 100.0 : 0.0;
}

}  // namespace trelmon
