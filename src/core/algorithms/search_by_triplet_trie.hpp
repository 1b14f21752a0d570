// Search by triplet: modules are paired into stations; for every station a triplet trie holds,
// for each pair of hits on it and on the station below, the best-fitting third hit further
// down; a walk from the last station to the first extends open tracks through the tries (or a
// one-module search), seeds new three-hit tracks and closes tracks that miss too often.
#pragma once

#include <cstddef>
#include <optional>
#include <tuple>
#include <vector>

#include "algorithms/parameters.hpp"
#include "event_model/event.hpp"
#include "event_model/module.hpp"
#include "event_model/track.hpp"

namespace trelmon {

struct SearchByTripletTrieParams {
    // Exclusive bound on a third hit's scatter, its squared x and y distance from the
    // prediction of the first two hits (mm^2).
    double max_scatter = 0.1;
    // Fewest hits that make a track strong (a hit count).
    std::size_t min_strong_track_length = 4;
    // Modules a track may miss in a row before it is closed (a module count, compared modulo
    // 256).
    std::size_t allowed_missed_modules = 2;

    // The stored text signature also names min_track_length, which the constructor refuses.
    static constexpr auto parameters() {
        using P = SearchByTripletTrieParams;
        return std::tuple{Parameter{"max_scatter", &P::max_scatter},
                          SignatureOnly{"min_track_length"},
                          Parameter{"min_strong_track_length", &P::min_strong_track_length},
                          Parameter{"allowed_missed_modules", &P::allowed_missed_modules}};
    }
};

// The tracks of one event, from its module list. Relies on the Event's invariants.
std::vector<Track> solve(const SearchByTripletTrieParams& params, const Event& event);

// The candidate pairs of the event, the measure of solve's work: every pair of a hit on a
// station that has a trie and a hit on the station below it, each of which may need its best
// third hit.
std::size_t count_candidate_pairs(const Event& event);

// One entry of a triplet trie: first, second and third hit, and the third hit's scatter.
struct Triplet {
    Hit a, b, c;
    double scatter = 0.0;
};

// For inspection: the 26 trie slots as solve defines them before the walk, each empty or
// holding its trie's entries in iteration order (first hits, then their second hits). With
// baseline_screen, built on the screen every x86-64 processor runs rather than the fastest one.
std::vector<std::optional<std::vector<Triplet>>> triplet_tries(
    const SearchByTripletTrieParams& params, const Event& event, bool baseline_screen = false);

}  // namespace trelmon
