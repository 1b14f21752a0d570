// Bit helpers over the pass words of a segment block (segment_blocks.hpp): bit i of a block's
// words says whether hit first + i of its window passed the y cut.
#pragma once

#include <bit>
#include <cstdint>

#include "algorithms/graph_dfs/hit_layout.hpp"

namespace trelmon::graph_dfs {

// Set bits of v. std::popcount becomes a library call on a baseline x86-64 build.
inline std::uint32_t count_ones(std::uint64_t v) {
    v = v - ((v >> 1) & 0x5555555555555555u);
    v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
    v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<std::uint32_t>((v * 0x0101010101010101u) >> 56);
}

// Rank of window hit `offset` among the window's hits that pass the y cut, given per word the
// passing hits before it (ranks).
inline std::uint32_t rank_in_window(const std::uint64_t* words, const std::uint32_t* ranks,
                                    std::uint32_t offset) {
    const std::uint64_t below = (std::uint64_t{1} << (offset % 64)) - 1;
    return ranks[offset / 64] + count_ones(words[offset / 64] & below);
}

// Calls visit(offset) for every window hit that passes the y cut, in x order.
template <typename Visit>
inline void for_each_passing(const std::uint64_t* words, Pos length, Visit&& visit) {
    for (Pos w = 0; w * 64 < length; ++w) {
        for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1)
            visit(static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits)));
    }
}

}  // namespace trelmon::graph_dfs
