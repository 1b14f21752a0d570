// A station's triplet trie and the builder that fills it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "algorithms/search_by_triplet_trie/hits.hpp"

namespace trelmon::sbt {

// Part of a station's triplet trie: first hit -> second hit -> (third hit, scatter), both levels
// in insertion order, which fixes the seeding order and the choice among equal scatters.
struct Trie {
    struct Group {
        Ref a;
        std::uint32_t begin = 0, end = 0;  // into entries, once finished
        std::uint32_t size = 0;
    };
    struct Entry {
        Ref b;
        Ref c;
        double scatter = 0.0;
        std::uint32_t group = 0;
    };
    std::vector<Group> groups;
    std::vector<Entry> entries;
};

// Fills a trie from triplets in recording order. An (a, b) pair recorded again (only possible
// when ids repeat) keeps its place and takes the new value; the stamps are per-key flat arrays.
class TrieBuilder {
  public:
    explicit TrieBuilder(std::size_t keys)
        : a_stamp_(keys, 0), a_group_(keys, 0), b_stamp_(keys, 0), b_entry_(keys, 0) {}

    void start(Trie& trie) {
        trie.groups.clear();
        trie.entries.clear();
        trie_ = &trie;
        ++trie_serial_;
        current_ = kNone;
    }

    void add(Ref a, Ref b, Ref c, double scatter) {
        Trie& trie = *trie_;
        std::uint32_t group;
        if (a_stamp_[a.key] == trie_serial_) {
            group = a_group_[a.key];
        } else {
            group = static_cast<std::uint32_t>(trie.groups.size());
            trie.groups.push_back(Trie::Group{a, 0, 0, 0});
            a_stamp_[a.key] = trie_serial_;
            a_group_[a.key] = group;
        }
        if (group != current_) {
            current_ = group;
            ++group_serial_;
            if (trie.groups[group].size > 0) {
                for (std::size_t i = 0; i < trie.entries.size(); ++i) {
                    if (trie.entries[i].group == group) {
                        b_stamp_[trie.entries[i].b.key] = group_serial_;
                        b_entry_[trie.entries[i].b.key] = static_cast<std::uint32_t>(i);
                    }
                }
            }
        }
        if (b_stamp_[b.key] == group_serial_) {
            Trie::Entry& entry = trie.entries[b_entry_[b.key]];
            entry.c = c;
            entry.scatter = scatter;
            return;
        }
        b_stamp_[b.key] = group_serial_;
        b_entry_[b.key] = static_cast<std::uint32_t>(trie.entries.size());
        trie.entries.push_back(Trie::Entry{b, c, scatter, group});
        ++trie.groups[group].size;
    }

    void finish() {
        Trie& trie = *trie_;
        // Entries arrive group by group unless ids repeat; sorted input needs no sorting.
        const auto by_group = [](const Trie::Entry& x, const Trie::Entry& y) {
            return x.group < y.group;
        };
        if (!std::is_sorted(trie.entries.begin(), trie.entries.end(), by_group)) {
            std::stable_sort(trie.entries.begin(), trie.entries.end(), by_group);
        }
        for (std::size_t i = 0; i < trie.entries.size(); ++i) {
            Trie::Group& group = trie.groups[trie.entries[i].group];
            if (group.end == 0) {
                group.begin = static_cast<std::uint32_t>(i);
            }
            group.end = static_cast<std::uint32_t>(i + 1);
        }
        trie_ = nullptr;
    }

  private:
    Trie* trie_ = nullptr;
    std::vector<std::uint32_t> a_stamp_, a_group_, b_stamp_, b_entry_;
    std::uint32_t trie_serial_ = 0;
    std::uint32_t group_serial_ = 0;
    std::uint32_t current_ = kNone;
};

}  // namespace trelmon::sbt
