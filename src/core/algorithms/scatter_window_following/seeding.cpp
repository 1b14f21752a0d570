#include "algorithms/scatter_window_following/seeding.hpp"

#include <algorithm>
#include <cmath>

namespace trelmon::swf {
namespace {

// The best free hit below h1 on the line (h0, h1): the first module down that has one wins.
bool third_hit(const Layout& layout, const ScatterWindowFollowingParams& params,
               const Segment& line, const std::vector<std::uint8_t>& busy, std::uint32_t h1,
               std::uint32_t& best, double& best_chi2, std::uint32_t& missed) {
    const unsigned max_missed = std::min<std::uint32_t>(1, params.max_missed_modules);
    missed = 0;
    for (std::int64_t m = static_cast<std::int64_t>(layout.hits[h1].module) - 1; m >= 0; --m) {
        const LayoutModule& mod = layout.modules[static_cast<std::size_t>(m)];
        if (line.crossed_beam(mod.z, -1, params.max_beam_distance)) {
            return false;
        }
        const double px = line.x_at(mod.z);
        const double py = line.y_at(mod.z);
        bool found = false;
        best_chi2 = params.max_chi2;
        for_each_near(layout, static_cast<std::uint32_t>(m), px, py,
                      line.radius(mod, params.max_chi2, missed), [&](std::uint32_t i) {
                          if (busy[i]) {
                              return;
                          }
                          const double c = line.chi2(layout.hits[i], missed);
                          if (c < best_chi2) {
                              best_chi2 = c;
                              best = i;
                              found = true;
                          }
                      });
        if (found) {
            return true;
        }
        if (in_acceptance(mod, px, py, params.acceptance_margin)) {
            if (++missed > max_missed) {
                return false;
            }
        } else if (left_outwards(layout, px, py, line.tx(), line.ty(), -1)) {
            return false;
        }
    }
    return false;
}

}  // namespace

std::optional<Candidate> best_seed(const Layout& layout, const ScatterWindowFollowingParams& params,
                                   const Scatter& scatter, const std::vector<std::uint8_t>& busy,
                                   std::uint32_t h0, bool beam_seeds) {
    const PlacedHit& p0 = layout.hits[h0];
    const double r0 = std::sqrt(p0.x * p0.x + p0.y * p0.y);
    const double tol = params.max_beam_distance;
    std::optional<Candidate> best;
    // Seeds rank by missed modules, then chi2: a skipped module is the exception.
    std::uint32_t best_missed = 2;
    double best_chi2 = params.max_chi2;
    const auto try_pair = [&](std::uint32_t h1) {
        if (busy[h1]) {
            return;
        }
        const PlacedHit& p1 = layout.hits[h1];
        const double dz = p1.z - p0.z;
        const double limit = params.max_slope * std::fabs(dz);
        if (!(std::fabs(p1.x - p0.x) <= limit && std::fabs(p1.y - p0.y) <= limit)) {
            return;
        }
        if (beam_seeds) {
            // Distance of the transverse line through both hits from the beam line.
            const double dx = p1.x - p0.x;
            const double dy = p1.y - p0.y;
            const double cross = std::fabs(p0.x * dy - p0.y * dx);
            if (!(cross * cross <= tol * tol * (dx * dx + dy * dy))) {
                return;
            }
        }
        const Segment line(scatter, p0, p1);
        std::uint32_t h2 = 0;
        double chi2 = 0.0;
        std::uint32_t missed = 0;
        if (!third_hit(layout, params, line, busy, h1, h2, chi2, missed)) {
            return;
        }
        // Modules between the pair that the line crosses inside their active area count as
        // missed too, wherever the skip lies, so that a seed is judged the same seen from
        // either end.
        for (std::uint32_t m = p1.module + 1; m < p0.module; ++m) {
            const LayoutModule& mod = layout.modules[m];
            if (in_acceptance(mod, line.x_at(mod.z), line.y_at(mod.z), params.acceptance_margin)) {
                ++missed;
            }
        }
        if (missed < best_missed || (missed == best_missed && chi2 < best_chi2)) {
            best_missed = missed;
            best_chi2 = chi2;
            best = Candidate{{h2, h1, h0}, chi2, 1, missed};
        }
    };
    for (const std::uint32_t m : layout.modules[p0.module].partners) {
        if (beam_seeds) {
            // Both hits lie within tol of a line through the beam: their azimuths differ by at
            // most the sum of the angles that tol subtends at each.
            const double r1 = layout.modules[m].r_min;
            const auto angle = [&](double r) { return r > tol ? std::asin(tol / r) : 4.0; };
            for_each_in_azimuth(layout, m, p0.phi, angle(r0) + angle(r1), try_pair);
        } else {
            const double dz = std::fabs(layout.modules[m].z - p0.z) + layout.modules[m].half_depth;
            for_each_near(layout, m, p0.x, p0.y, params.max_slope * dz * std::sqrt(2.0), try_pair);
        }
    }
    return best;
}

}  // namespace trelmon::swf
