// Prediction windows shared by every stage: the chi2 of a hit against a straight line, with the
// hit resolution and the multiple scattering expected for the line's slope.
//
// Without a magnetic field the momentum is unknown; a track of polar angle theta and transverse
// momentum pt has p = pt / sin(theta), so the softest track the finder sizes its windows for
// (pt = min_pt) scatters by theta0 = 13.6 MeV / p * sqrt(x) * (1 + 0.038 ln x) per module, x
// being the material crossed. The scattering part of every window therefore grows with slope.
#pragma once

#include <cmath>
#include <limits>

#include "algorithms/scatter_window_following/layout.hpp"
#include "algorithms/scatter_window_following/params.hpp"

namespace trelmon::swf {

class Scatter {
  public:
    explicit Scatter(const ScatterWindowFollowingParams& params)
        : resolution2_(params.hit_resolution * params.hit_resolution) {
        const double x = params.module_material;
        if (x > 0.0 && params.min_pt > 0.0) {
            // The logarithmic term is taken at normal incidence: at the slopes seeds allow it
            // moves by a few per cent at most, and leaving it out of the per-line cost is worth
            // a log per window.
            const double log_term = 1.0 + 0.038 * std::log(x);
            scale2_ = (13.6 / params.min_pt) * (13.6 / params.min_pt) * x * log_term * log_term;
        } else if (x > 0.0) {
            scale2_ = std::numeric_limits<double>::infinity();
        }
    }

    double resolution2() const noexcept { return resolution2_; }

    // Variance of the kink angle, per projection, at one module for a track whose transverse
    // slope squared is t2: (13.6 MeV / p)^2 x with p = min_pt / sin(theta) and x growing with
    // the path length 1 / cos(theta) in the module.
    double kink2(double t2) const noexcept {
        if (!(t2 > 0.0) || scale2_ == 0.0) {
            return 0.0;
        }
        const double one_plus = 1.0 + t2;
        return scale2_ * (t2 / one_plus) * std::sqrt(one_plus);
    }

  private:
    double resolution2_;
    double scale2_ = 0.0;
};

// The straight line through two hits a and b, continued past b.
class Segment {
  public:
    Segment(const Scatter& scatter, const PlacedHit& a, const PlacedHit& b) noexcept
        : x_(b.x), y_(b.y), z_(b.z), resolution2_(scatter.resolution2()) {
        const double dz = b.z - a.z;
        inv_dz_ = 1.0 / dz;
        tx_ = (b.x - a.x) * inv_dz_;
        ty_ = (b.y - a.y) * inv_dz_;
        kink2_ = scatter.kink2(tx_ * tx_ + ty_ * ty_);
    }

    double tx() const noexcept { return tx_; }
    double ty() const noexcept { return ty_; }
    double x_at(double z) const noexcept { return x_ + tx_ * (z - z_); }
    double y_at(double z) const noexcept { return y_ + ty_ * (z - z_); }
    double slope() const noexcept { return std::sqrt(tx_ * tx_ + ty_ * ty_); }

    // Whether a step from b in `direction` (+1 or -1 in z) to z has gone past the line's closest
    // approach to the beam line while that approach lies within `distance` of it: a track is
    // never followed through the beam, where it was produced.
    bool crossed_beam(double z, int direction, double distance) const noexcept {
        const double t2 = tx_ * tx_ + ty_ * ty_;
        if (!(t2 > 0.0)) {
            return false;
        }
        const double z_closest = z_ - (x_ * tx_ + y_ * ty_) / t2;
        if ((z_closest - z_) * direction <= 0.0 || (z - z_closest) * direction <= 0.0) {
            return false;
        }
        const double dx = x_at(z_closest);
        const double dy = y_at(z_closest);
        return dx * dx + dy * dy < distance * distance;
    }

    // Variance of the prediction per coordinate at distance l past b, with `missed` modules
    // crossed without a hit on the way (each adds its own kink).
    double variance(double l, unsigned missed) const noexcept {
        const double k = std::fabs(l * inv_dz_);
        return resolution2_ * ((1.0 + k) * (1.0 + k) + k * k) +
               kink2_ * l * l * (1.0 + static_cast<double>(missed));
    }

    double chi2(const PlacedHit& h, unsigned missed) const noexcept {
        const double l = h.z - z_;
        const double dx = h.x - (x_ + tx_ * l);
        const double dy = h.y - (y_ + ty_ * l);
        const double v = variance(l, missed);
        return (dx * dx + dy * dy) / v;
    }

    // Search radius around the prediction at module m for a chi2 cut.
    double radius(const LayoutModule& m, double max_chi2, unsigned missed) const noexcept {
        const double l = std::fabs(m.z - z_) + m.half_depth;
        return std::sqrt(max_chi2 * variance(l, missed)) + slope() * m.half_depth;
    }

  private:
    double x_, y_, z_;
    double resolution2_;
    double inv_dz_ = 0.0;
    double tx_ = 0.0, ty_ = 0.0;
    double kink2_ = 0.0;
};

}  // namespace trelmon::swf
