#include "algorithms/graph_dfs/chains.hpp"

#include <algorithm>
#include <limits>

#include "algorithms/cancel.hpp"

namespace trelmon::graph_dfs {

// The weight passes over the segments with successors, in ascending order.
void assign_weights(Weights& weights, const LinkGraph& graph, std::int32_t iterations,
                    bool descending) {
    const std::size_t count = graph.linked.size();
    std::vector<std::int32_t>& weight = weights.weight;
    weight.assign(count, 0);
    for (std::int32_t pass = 0; pass < iterations; ++pass) {
        throw_if_cancelled();
        bool changed = false;
        for (std::size_t i = 0; i < count; ++i) {
            std::int32_t heaviest = std::numeric_limits<std::int32_t>::min();
            for (std::uint32_t k = graph.succ_begin[i]; k < graph.succ_begin[i + 1]; ++k) {
                const Seg j = graph.succ_link[k];
                heaviest = std::max(heaviest, j == kNoSeg ? 0 : weight[j]);
            }
            // Wraps instead of overflowing; only a cyclic graph keeps growing.
            const auto w = static_cast<std::int32_t>(static_cast<std::uint32_t>(heaviest) + 1u);
            changed = changed || w != weight[i];
            weight[i] = w;
        }
        // Successors before predecessors: one pass reaches the fixed point.
        if (!changed || descending)
            break;
    }
}

// Taking the first successor of minimal length at every step gives the first shortest chain in
// depth-first order. A segment without successors is a chain of one hit.
void shortest_chains(Chains& chains, const LinkGraph& graph) {
    const std::size_t count = graph.linked.size();
    chains.hits.assign(count, 0);
    chains.next.assign(count, 0);
    auto hits_from = [&](std::uint32_t k) -> std::uint32_t {
        const Seg j = graph.succ_link[k];
        return j == kNoSeg ? 1 : chains.hits[j];
    };
    // Successors come before their predecessors, so one pass in order sees every chain below.
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t best = std::numeric_limits<std::uint32_t>::max();
        for (std::uint32_t k = graph.succ_begin[i]; k < graph.succ_begin[i + 1]; ++k) {
            const std::uint32_t h = hits_from(k);
            if (h < best) {
                best = h;
                chains.next[i] = k;
            }
        }
        chains.hits[i] = best + 1;
    }
}

}  // namespace trelmon::graph_dfs
