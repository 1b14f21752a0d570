#include "algorithms/scatter_window_following/selection.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace trelmon::swf {

void select_by_quality(std::vector<Candidate>& candidates,
                       const ScatterWindowFollowingParams& params, std::vector<std::uint8_t>& taken,
                       std::vector<Candidate>& accepted) {
    std::vector<std::uint32_t> order(candidates.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t i, std::uint32_t j) {
        const Candidate& a = candidates[i];
        const Candidate& b = candidates[j];
        if (a.hits.size() != b.hits.size()) {
            return a.hits.size() > b.hits.size();
        }
        return a.quality() < b.quality();
    });
    for (const std::uint32_t i : order) {
        Candidate& c = candidates[i];
        if (!c.acceptable(params)) {
            continue;
        }
        const auto lost =
            std::count_if(c.hits.begin(), c.hits.end(), [&](std::uint32_t h) { return taken[h]; });
        if (lost > 1) {
            continue;
        }
        if (lost == 1) {
            // A track that crosses a better one gives up the hit they share and keeps the
            // rest, if what is left still makes a track.
            std::erase_if(c.hits, [&](std::uint32_t h) { return taken[h] != 0; });
            ++c.missed;
            if (!c.acceptable(params)) {
                continue;
            }
        }
        for (const std::uint32_t h : c.hits) {
            taken[h] = 1;
        }
        accepted.push_back(std::move(c));
    }
}

void fill_gaps(const Layout& layout, const ScatterWindowFollowingParams& params,
               const Scatter& scatter, const std::vector<std::uint8_t>& taken, Candidate& track) {
    std::vector<std::uint32_t>& hits = track.hits;
    for (std::size_t k = 0; k + 1 < hits.size();) {
        const PlacedHit& a = layout.hits[hits[k]];
        const PlacedHit& b = layout.hits[hits[k + 1]];
        const double dz = b.z - a.z;
        if (!(dz > 0.0) || b.module <= a.module + 1) {
            ++k;
            continue;
        }
        const double tx = (b.x - a.x) / dz;
        const double ty = (b.y - a.y) / dz;
        const double kink2 = scatter.kink2(tx * tx + ty * ty);
        // The best free hit over all the modules in between; the gap is then looked at again
        // on both sides of the new hit.
        double best_chi2 = params.max_chi2;
        std::uint32_t best = 0;
        bool found = false;
        for (std::uint32_t m = a.module + 1; m < b.module; ++m) {
            const LayoutModule& mod = layout.modules[m];
            const auto variance = [&](double z) {
                const double w = (z - a.z) / dz;
                const double lever = (z - a.z) * (b.z - z) / dz;
                return scatter.resolution2() * ((1.0 - w) * (1.0 - w) + w * w) +
                       2.0 * kink2 * lever * lever;
            };
            const double px = a.x + tx * (mod.z - a.z);
            const double py = a.y + ty * (mod.z - a.z);
            const double radius = std::sqrt(params.max_chi2 * variance(mod.z)) +
                                  std::sqrt(tx * tx + ty * ty) * mod.half_depth + 1e-9;
            for_each_near(layout, m, px, py, radius, [&](std::uint32_t i) {
                if (taken[i]) {
                    return;
                }
                const PlacedHit& h = layout.hits[i];
                const double dx = h.x - (a.x + tx * (h.z - a.z));
                const double dy = h.y - (a.y + ty * (h.z - a.z));
                const double c = (dx * dx + dy * dy) / variance(h.z);
                if (c < best_chi2) {
                    best_chi2 = c;
                    best = i;
                    found = true;
                }
            });
        }
        if (found) {
            hits.insert(hits.begin() + static_cast<std::ptrdiff_t>(k) + 1, best);
            track.chi2 += best_chi2;
            ++track.predicted;
            if (track.missed > 0) {
                --track.missed;
            }
            continue;  // k again: a and the new hit, then the new hit and b
        }
        ++k;
    }
}

}  // namespace trelmon::swf
