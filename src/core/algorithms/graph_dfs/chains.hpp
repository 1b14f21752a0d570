// GraphDFS stages 5 and 6, weights and chains, both over the link graph (link_graph.hpp) in
// its order, where every linked successor comes before its predecessors.
//
// Weights hands on, per linked segment, the length in segments of its longest chain as the
// given number of propagation passes finds it (wrapping instead of overflowing); segments
// without successors weigh 0 and are not listed. Chains hands on, per linked segment, the
// number of hits on its shortest chain (its own upper hit included) and the position in `succ`
// of the first step of the first such chain in successor order.
#pragma once

#include <cstdint>
#include <vector>

#include "algorithms/graph_dfs/link_graph.hpp"

namespace trelmon::graph_dfs {

struct Weights {
    std::vector<std::int32_t> weight;  // by position in `linked`
};

struct Chains {
    std::vector<std::uint32_t> hits;  // hits from the segment's upper hit down its shortest chain
    std::vector<std::uint32_t> next;  // position in `succ` of the first step of that chain
};

// `descending`: every link goes to a lower index, so one pass reaches the fixed point.
void assign_weights(Weights& weights, const LinkGraph& graph, std::int32_t iterations,
                    bool descending);

void shortest_chains(Chains& chains, const LinkGraph& graph);

}  // namespace trelmon::graph_dfs
