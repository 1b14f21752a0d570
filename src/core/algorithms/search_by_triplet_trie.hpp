// Search by triplet: modules are paired into stations; for every station a triplet trie holds,
// for each pair of hits on it and on the station below, the best-fitting third hit further
// down; a walk from the last station to the first extends open tracks through the tries (or a
// one-module search), seeds new three-hit tracks and closes tracks that miss too often.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "event_model/event.hpp"
#include "event_model/module.hpp"
#include "event_model/track.hpp"

namespace trelmon {

struct SearchByTripletTrieParams {
    double max_scatter = 0.1;                 // exclusive bound on a third hit's scatter
    std::size_t min_strong_track_length = 4;  // a track this long is strong
    std::size_t allowed_missed_modules = 2;   // compared modulo 256
};

// The tracks of one event, from its module list.
std::vector<Track> solve(const SearchByTripletTrieParams& params, const Event& event);

// The same over any module list in stored order; hits are identified by id alone.
std::vector<Track> solve_modules(const SearchByTripletTrieParams& params,
                                 std::span<const Module> modules);

// One entry of a triplet trie: first, second and third hit, and the third hit's scatter.
struct Triplet {
    Hit a, b, c;
    double scatter = 0.0;
};

// For inspection: the 26 trie slots as solve_modules defines them before the walk, each empty
// or holding its trie's entries in iteration order (first hits, then their second hits).
std::vector<std::optional<std::vector<Triplet>>> triplet_tries(
    const SearchByTripletTrieParams& params, std::span<const Module> modules);

}  // namespace trelmon
