// A station's triplet trie.
#pragma once

#include <cstdint>
#include <vector>

#include "algorithms/search_by_triplet_trie/hits.hpp"

namespace trelmon::sbt {

// Part of a station's triplet trie: first hit -> second hit -> (third hit, scatter), both levels
// in insertion order, which fixes the seeding order and the choice among equal scatters. A
// first hit is recorded once with all its second hits, each second hit once: an event's ids are
// distinct, so no pair is ever recorded twice and a group's entries are contiguous.
struct Trie {
    struct Group {
        HitId a = kNone;
        std::uint32_t begin = 0, end = 0;  // into entries
    };
    struct Entry {
        HitId b = kNone;
        HitId c = kNone;
        double scatter = 0.0;
    };
    std::vector<Group> groups;
    std::vector<Entry> entries;

    void clear() {
        groups.clear();
        entries.clear();
    }
};

}  // namespace trelmon::sbt
