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
#include <span>

#include "algorithms/graph_dfs/chains.hpp"
#include "algorithms/graph_dfs/grids.hpp"
#include "algorithms/graph_dfs/hit_layout.hpp"
#include "algorithms/graph_dfs/link_graph.hpp"
#include "algorithms/graph_dfs/segment_blocks.hpp"

namespace trelmon {
namespace {

using graph_dfs::Pos;
using graph_dfs::Seg;

// Tracks as positions, before clone removal.
struct TrackPositions {
    std::vector<Pos> pos;
    std::vector<std::size_t> begin;  // track i is pos[begin[i]] .. pos[begin[i + 1] - 1]
    std::vector<std::uint8_t> in_long_track;

    std::span<const Pos> track(std::size_t i) const {
        return {pos.data() + begin[i], begin[i + 1] - begin[i]};
    }
};

struct Workspace {
    graph_dfs::HitLayout layout;
    graph_dfs::SegmentBlocks blocks;
    graph_dfs::ModuleGrids grids;
    graph_dfs::LinkGraph graph;
    graph_dfs::Weights weights;
    graph_dfs::Chains chains;
    TrackPositions tracks;
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
// its upper hit and the lower hits down its shortest chain.
void follow_roots(TrackPositions& out, const graph_dfs::LinkGraph& graph,
                  const graph_dfs::Weights& weights, const graph_dfs::Chains& chains,
                  std::int32_t minimum_root_weight) {
    out.pos.clear();
    out.begin.clear();
    for (std::size_t i = 0; i < graph.linked.size(); ++i) {
        if (graph.is_successor[i] || weights.weight[i] < minimum_root_weight ||
            chains.hits[i] == 0) {
            continue;
        }
        out.begin.push_back(out.pos.size());
        out.pos.push_back(graph.linked_up[i]);
        out.pos.push_back(graph.linked_low[i]);
        for (Seg j = static_cast<Seg>(i); j != graph_dfs::kNoSeg;) {
            const std::uint32_t k = chains.next[j];
            out.pos.push_back(graph.succ_low[k]);
            j = graph.succ_link[k];
        }
    }
    out.begin.push_back(out.pos.size());
}

// The tracks' hits, less (with clone_ghost_killing) the tracks of three hits or fewer that
// share a hit with a longer one. Ids are distinct, so a position stands for its hit's id.
std::vector<Track> emit_tracks(TrackPositions& found, const graph_dfs::HitLayout& layout,
                               const HitList& hits, bool clone_ghost_killing) {
    const std::size_t track_count = found.begin.size() - 1;
    if (clone_ghost_killing) {
        found.in_long_track.assign(hits.size(), 0);
        for (std::size_t i = 0; i < track_count; ++i) {
            const auto t = found.track(i);
            if (t.size() > 3) {
                for (Pos p : t)
                    found.in_long_track[static_cast<std::size_t>(p)] = 1;
            }
        }
    }
    auto shares_a_hit = [&](std::span<const Pos> t) {
        return std::any_of(t.begin(), t.end(), [&](Pos p) {
            return found.in_long_track[static_cast<std::size_t>(p)] != 0;
        });
    };
    std::vector<Track> tracks;
    tracks.reserve(track_count);
    for (std::size_t i = 0; i < track_count; ++i) {
        const auto t = found.track(i);
        if (clone_ghost_killing && t.size() <= 3 && shares_a_hit(t))
            continue;
        Track& track = tracks.emplace_back();
        track.hits.reserve(t.size());
        for (Pos p : t)
            track.hits.push_back(hits[layout.order[static_cast<std::size_t>(p)]]);
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
    follow_roots(ws.tracks, ws.graph, ws.weights, ws.chains, params.minimum_root_weight);
    return emit_tracks(ws.tracks, ws.layout, hits, params.clone_ghost_killing);
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
