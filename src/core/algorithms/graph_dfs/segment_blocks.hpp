// GraphDFS stage 2, the segment blocks: every segment (an upper hit and a lower hit on a module
// below, within the slope windows), numbered, stored a block at a time.
//
// Takes the hit layout (hit_layout.hpp). Hands on: the segments from one upper hit into one
// lower module have consecutive indices, their lower hits in x order: one for each hit of the
// block's window [first, window_end) that passes the y cut, bit i of the block's words (a word
// per 64 hits, from pass_bits[bits]) saying whether hit first + i does, so a segment's index is
// the block's begin plus its hit's rank among the passing ones (pass_bits.hpp); pass_rank, beside
// pass_bits, holds per word the passing hits of the block's words before it. Blocks are
// stored by upper hit position, an upper hit's blocks in slot order (lower modules nearest
// first), block_begin[p] .. block_begin[p + 1] - 1 being those of position p. Upper hits lie on
// module 2 and above, so segments are numbered module by module upwards: a segment's
// successors (segments from its lower hit) always have smaller indices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "algorithms/graph_dfs.hpp"
#include "algorithms/graph_dfs/hit_layout.hpp"

namespace trelmon::graph_dfs {

using Seg = std::uint32_t;  // a segment index
constexpr Seg kNoSeg = std::numeric_limits<Seg>::max();

struct WindowEntry {
    std::int32_t module;
    Pos first;
    Pos end;
};

struct Block {
    std::int32_t module;
    Pos first;
    Pos window_end;
    Pos upper;
    Seg begin;
    std::uint32_t bits;
};

struct SegmentBlocks {
    std::vector<std::uint32_t> block_begin;  // by position, and one past the last
    std::vector<Block> blocks;
    std::vector<std::uint64_t> pass_bits;
    std::vector<std::uint32_t> pass_rank;
    // Slots, only with at most 64 modules: a hit's blocks go to the lower modules of its module
    // in the order k = 0, 1, ...: slot k of module t is module slot_module[64 t + k], and bit k
    // of a hit's slot_mask says whether it has a block there.
    std::vector<std::uint64_t> slot_mask;
    // The same by slot: bit p % 64 of slot_bits[k * slot_words + p / 64] is bit k of position
    // p's slot_mask, so that 64 neighbours' bits read at once (a spare word ends each slot's).
    std::vector<std::uint64_t> slot_bits;
    std::size_t slot_words = 0;
    std::vector<std::uint32_t> slot_count;
    std::vector<std::int32_t> slot_module;
    std::size_t slot_stride = 0;  // the most slots of any module
    std::size_t segments = 0;
    // Scratch.
    std::vector<std::int32_t> owner;  // module of the upper hit at a position, -1 for none
    std::vector<WindowEntry> windows;
    // Per module, where the window searches into it last ended: the windows of the next upper
    // hits, in x order, end nearby.
    struct SearchHints {
        Pos left = kNone;
        Pos sure = kNone;
    };
    std::vector<SearchHints> hints;
};

// Only hits at positions below `limit` (the event's number_of_hits) start a segment.
void build_segments(SegmentBlocks& blocks, const HitLayout& layout, const GraphDFSParams& params,
                    std::size_t limit);

}  // namespace trelmon::graph_dfs
