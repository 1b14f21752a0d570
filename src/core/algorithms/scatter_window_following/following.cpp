#include "algorithms/scatter_window_following/following.hpp"

#include <cstdint>

namespace trelmon::swf {

void follow(const Layout& layout, const ScatterWindowFollowingParams& params,
            const Scatter& scatter, const std::vector<std::uint8_t>& used, Candidate& candidate,
            int direction) {
    std::vector<std::uint32_t>& hits = candidate.hits;
    const bool down = direction < 0;
    // The direction comes from the end hit and the hit two before it where there is one: a
    // longer lever arm than the last pair, which may sit on the two halves a few mm apart. The
    // kink at the hit in between widens the window like a missed module.
    const auto end_hit = [&](std::size_t back) {
        return down ? hits[back] : hits[hits.size() - 1 - back];
    };
    const std::uint32_t lever = hits.size() >= 3 ? 2 : 1;
    std::uint32_t b = end_hit(0);
    std::uint32_t a = end_hit(lever);
    const auto count = static_cast<std::int64_t>(layout.modules.size());
    std::uint32_t missed = 0;
    Segment line(scatter, layout.hits[a], layout.hits[b]);
    for (std::int64_t m = static_cast<std::int64_t>(layout.hits[b].module) + direction;
         m >= 0 && m < count; m += direction) {
        const LayoutModule& mod = layout.modules[static_cast<std::size_t>(m)];
        if (line.crossed_beam(mod.z, direction, params.max_beam_distance)) {
            break;
        }
        const std::uint32_t kinks = missed + lever - 1;
        const double px = line.x_at(mod.z);
        const double py = line.y_at(mod.z);
        double best_chi2 = params.max_chi2;
        std::uint32_t best = 0;
        bool found = false;
        bool shared = false;
        for_each_near(layout, static_cast<std::uint32_t>(m), px, py,
                      line.radius(mod, params.max_chi2, kinks), [&](std::uint32_t i) {
                          const double c = line.chi2(layout.hits[i], kinks);
                          if (used[i]) {
                              shared = shared || c < params.max_chi2;
                              return;
                          }
                          if (c < best_chi2) {
                              best_chi2 = c;
                              best = i;
                              found = true;
                          }
                      });
        if (found) {
            if (down) {
                hits.insert(hits.begin(), best);
            } else {
                hits.push_back(best);
            }
            candidate.chi2 += best_chi2;
            ++candidate.predicted;
            candidate.missed += missed;
            missed = 0;
            b = best;
            a = end_hit(std::min<std::size_t>(2, hits.size() - 1));
            line = Segment(scatter, layout.hits[a], layout.hits[b]);
            continue;
        }
        if (shared) {
            // The track's hit may be the one a neighbour took: no evidence either way.
            continue;
        }
        if (in_acceptance(mod, px, py, params.acceptance_margin)) {
            if (++missed > params.max_missed_modules) {
                break;
            }
            continue;
        }
        if (left_outwards(layout, px, py, line.tx(), line.ty(), direction)) {
            break;
        }
    }
    (down ? candidate.missed_below : candidate.missed_above) = missed;
}

}  // namespace trelmon::swf
