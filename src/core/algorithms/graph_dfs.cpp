// GraphDFS in stages, each in graph_dfs/ with the data it fills and the invariant it hands on:
// hit layout -> segment blocks -> module grids -> link graph -> weights -> chains, then the
// tracks below. Every stage's data lives in one per-thread workspace, so the buffers' capacity
// carries over from event to event.
#include "algorithms/graph_dfs.hpp"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

#include "algorithms/graph_dfs/chains.hpp"
#include "algorithms/graph_dfs/grids.hpp"
#include "algorithms/graph_dfs/hit_layout.hpp"
#include "algorithms/graph_dfs/link_graph.hpp"
#include "algorithms/graph_dfs/segment_blocks.hpp"

namespace trelmon {
namespace {

using graph_dfs::Pos;
using graph_dfs::Seg;

struct Workspace {
    graph_dfs::HitLayout layout;
    graph_dfs::SegmentBlocks blocks;
    graph_dfs::ModuleGrids grids;
    graph_dfs::LinkGraph graph;
    graph_dfs::Weights weights;
    graph_dfs::Chains chains;
    std::vector<std::uint8_t> in_long_track;  // by position
};

// The Event invariants this finder relies on (event_model/event.hpp): the hit at position i has
// id i, and module ranges are ordered and disjoint. So every id occurs at one sorted position,
// a hit belongs to one module, and a segment's successors were all numbered before it.
void check_event_invariants([[maybe_unused]] const HitList& hits,
                            [[maybe_unused]] const std::vector<Module>& modules) {
#ifndef NDEBUG
    for (std::size_t i = 0; i < hits.size(); ++i)
        assert(hits[i].id == static_cast<std::int32_t>(i));
    for (std::size_t m = 0; m + 1 < modules.size(); ++m)
        assert(modules[m].hit_end_index <= modules[m + 1].hit_start_index);
#endif
}

// Roots: segments with successors that continue no other segment, heavy enough. Each yields
// its upper hit and the lower hits down its shortest chain, read straight from the chains when
// the tracks are made: a busy event has millions of roots, mostly dropped as clones, so the
// tracks are not stored on the way.
struct Roots {
    const graph_dfs::LinkGraph& graph;
    const graph_dfs::Weights& weights;
    const graph_dfs::Chains& chains;
    std::int32_t minimum_root_weight;

    std::size_t count() const { return graph.linked.size(); }
    bool is_root(std::size_t i) const {
        return !graph.is_successor[i] && weights.weight[i] >= minimum_root_weight &&
               chains.hits[i] != 0;
    }
    // The hits of root i's track: its upper and lower hit, then one per step down the chain.
    std::size_t hit_count(std::size_t i) const { return std::size_t{chains.hits[i]} + 1; }
    // Calls visit(position) for each hit of root i's track, in order.
    template <class Visit>
    void walk(std::size_t i, Visit&& visit) const {
        visit(graph.linked_up[i]);
        visit(graph.linked_low[i]);
        for (Seg j = static_cast<Seg>(i); j != graph_dfs::kNoSeg;) {
            const std::uint32_t k = chains.next[j];
            visit(graph.succ_low[k]);
            j = graph.succ_link[k];
        }
    }
};

// The roots' tracks, less (with clone_ghost_killing) the tracks of three hits or fewer that
// share a hit with a longer one. Ids are distinct, so a position stands for its hit's id.
std::vector<Track> emit_tracks(const Roots& roots, std::vector<std::uint8_t>& in_long_track,
                               const graph_dfs::HitLayout& layout, const HitList& hits,
                               bool clone_ghost_killing) {
    if (clone_ghost_killing) {
        in_long_track.assign(hits.size(), 0);
        for (std::size_t i = 0; i < roots.count(); ++i) {
            if (roots.is_root(i) && roots.hit_count(i) > 3) {
                roots.walk(i, [&](Pos p) { in_long_track[static_cast<std::size_t>(p)] = 1; });
            }
        }
    }
    std::vector<Track> tracks;
    for (std::size_t i = 0; i < roots.count(); ++i) {
        if (!roots.is_root(i)) {
            continue;
        }
        if (clone_ghost_killing && roots.hit_count(i) <= 3) {
            bool shares_a_hit = false;
            roots.walk(i, [&](Pos p) {
                shares_a_hit = shares_a_hit || in_long_track[static_cast<std::size_t>(p)] != 0;
            });
            if (shares_a_hit) {
                continue;
            }
        }
        Track& track = tracks.emplace_back();
        track.hits.reserve(roots.hit_count(i));
        roots.walk(i, [&](Pos p) {
            track.hits.push_back(hits[layout.order[static_cast<std::size_t>(p)]]);
        });
        assert(track.hits.size() == roots.hit_count(i));
    }
    return tracks;
}

// Kept opaque: propagated into the callees, the thread-local workspace would be looked up
// afresh at every use.
[[gnu::noipa]] std::vector<Track> solve_with(Workspace& ws, const GraphDFSParams& params,
                                             const Event& event) {
    const HitList& hits = *event.hits;
    if (hits.size() >= static_cast<std::size_t>(std::numeric_limits<Pos>::max()))
        throw std::bad_alloc();
    check_event_invariants(hits, event.modules);
    graph_dfs::lay_out_hits(ws.layout, hits, event.modules);
    graph_dfs::build_segments(ws.blocks, ws.layout, params, event.number_of_hits);
    const graph_dfs::LinkInputs in = graph_dfs::make_link_inputs(ws.layout, params);
    graph_dfs::build_grids(ws.grids, ws.layout, params, in);
    [[maybe_unused]] const bool descending =
        graph_dfs::link_segments(ws.graph, ws.layout, ws.blocks, ws.grids, in);
    assert(descending);
    graph_dfs::assign_weights(ws.weights, ws.graph, params.weight_assignment_iterations,
                              descending);
    graph_dfs::shortest_chains(ws.chains, ws.graph);
    const Roots roots{ws.graph, ws.weights, ws.chains, params.minimum_root_weight};
    return emit_tracks(roots, ws.in_long_track, ws.layout, hits, params.clone_ghost_killing);
}

}  // namespace

std::vector<Track> solve(const GraphDFSParams& params, const Event& event) {
    thread_local Workspace ws;
    return solve_with(ws, params, event);
}

std::size_t count_segments(const GraphDFSParams& params, const Event& event) {
    graph_dfs::HitLayout layout;
    graph_dfs::SegmentBlocks blocks;
    graph_dfs::lay_out_hits(layout, *event.hits, event.modules);
    graph_dfs::build_segments(blocks, layout, params, event.number_of_hits);
    return blocks.segments;
}

}  // namespace trelmon
