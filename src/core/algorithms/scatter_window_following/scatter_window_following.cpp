#include "algorithms/scatter_window_following/scatter_window_following.hpp"

#include <cstdint>

#include "algorithms/cancel.hpp"

#include "algorithms/scatter_window_following/candidate.hpp"
#include "algorithms/scatter_window_following/following.hpp"
#include "algorithms/scatter_window_following/layout.hpp"
#include "algorithms/scatter_window_following/seeding.hpp"
#include "algorithms/scatter_window_following/selection.hpp"
#include "algorithms/scatter_window_following/windows.hpp"

namespace trelmon {
namespace {

using swf::Candidate;
using swf::Layout;

// Which way along z the particle flies: away from where its line passes closest to the beam.
int flight_direction(const Layout& layout, const Candidate& c) {
    const swf::PlacedHit& a = layout.hits[c.hits.front()];
    const swf::PlacedHit& b = layout.hits[c.hits.back()];
    const double dz = b.z - a.z;
    const double tx = (b.x - a.x) / dz;
    const double ty = (b.y - a.y) / dz;
    const double t2 = tx * tx + ty * ty;
    if (!(dz > 0.0) || !(t2 > 0.0)) {
        return 0;
    }
    const double z_closest = a.z - (a.x * tx + a.y * ty) / t2;
    const double middle = 0.5 * (a.z + b.z);
    return z_closest < middle ? 1 : (z_closest > middle ? -1 : 0);
}

// One pass: seeds from every free hit, highest module first, each followed to its full length.
// Hits of an acceptable candidate are claimed, so they start no further seed of this pass;
// following may still take claimed hits, and selection settles who keeps them.
std::vector<Candidate> find_candidates(const Layout& layout,
                                       const ScatterWindowFollowingParams& params,
                                       const swf::Scatter& scatter,
                                       const std::vector<std::uint8_t>& taken, bool beam_seeds) {
    std::vector<Candidate> candidates;
    std::vector<std::uint8_t> busy = taken;
    for (std::size_t m = layout.modules.size(); m-- > 2;) {
        for (std::uint32_t h0 = layout.modules[m].begin; h0 < layout.modules[m].end; ++h0) {
            // Per seed: a single hit's seeds can take long where a module is crowded.
            throw_if_cancelled();
            if (busy[h0]) {
                continue;
            }
            std::optional<Candidate> seed =
                swf::best_seed(layout, params, scatter, busy, h0, beam_seeds);
            if (!seed) {
                continue;
            }
            swf::follow(layout, params, scatter, taken, *seed, -1);
            swf::follow(layout, params, scatter, taken, *seed, +1);
            swf::fill_gaps(layout, params, scatter, taken, *seed);
            seed->outward = flight_direction(layout, *seed);
            if (!seed->acceptable(params)) {
                continue;  // claims nothing, so its hits may still seed a better candidate
            }
            for (const std::uint32_t h : seed->hits) {
                busy[h] = 1;
            }
            candidates.push_back(std::move(*seed));
        }
    }
    return candidates;
}

}  // namespace

std::vector<Track> solve(const ScatterWindowFollowingParams& params, const Event& event) {
    const Layout layout = swf::learn_layout(event);
    const swf::Scatter scatter(params);
    std::vector<std::uint8_t> taken(layout.hits.size(), 0);
    std::vector<Candidate> accepted;
    for (const bool beam_seeds : {true, false}) {
        std::vector<Candidate> candidates =
            find_candidates(layout, params, scatter, taken, beam_seeds);
        swf::select_by_quality(candidates, params, taken, accepted);
    }
    std::vector<Track> tracks;
    tracks.reserve(accepted.size());
    for (const Candidate& c : accepted) {
        Track track;
        track.hits.reserve(c.hits.size());
        for (const std::uint32_t h : c.hits) {
            track.hits.push_back(*layout.hits[h].source);
        }
        tracks.push_back(std::move(track));
    }
    return tracks;
}

}  // namespace trelmon
