// GraphDFS stage 4, the link graph: which segments continue which. Segment s' continues
// segment s when s' starts at s's lower hit and passes the link test (link_test.hpp).
//
// Takes the hit layout, the segment blocks and the module grids. Hands on the segments that have
// successors ("linked"), ascending by index, each with its upper and lower hit and its
// successors at succ[succ_begin[i]] .. succ[succ_begin[i + 1] - 1], ascending by index; per
// successor its lower hit and its own position in `linked` (kNoSeg when it has no successors).
// Successors have smaller indices than their predecessors (segment_blocks.hpp), so every
// successor that is linked comes before its predecessor in `linked`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "algorithms/graph_dfs/grids.hpp"
#include "algorithms/graph_dfs/hit_layout.hpp"
#include "algorithms/graph_dfs/link_test.hpp"
#include "algorithms/graph_dfs/segment_blocks.hpp"

namespace trelmon::graph_dfs {

struct LinkGraph {
    std::vector<Seg> linked;
    std::vector<Pos> linked_up, linked_low;
    std::vector<std::uint32_t> succ_begin;
    std::vector<Seg> succ;
    std::vector<Pos> succ_low;
    std::vector<Seg> succ_link;
    std::vector<std::uint8_t> is_successor;  // by position in `linked`
    // Scratch: each successor's block, and per block the position in `linked` of its first
    // linked segment.
    std::vector<std::uint32_t> succ_block;
    std::vector<std::uint32_t> linked_from;
};

// Returns whether every link goes to a lower index (it always does for an Event's hits).
bool link_segments(LinkGraph& graph, const HitLayout& layout, const SegmentBlocks& blocks,
                   const ModuleGrids& grids, const LinkInputs& in);

}  // namespace trelmon::graph_dfs
