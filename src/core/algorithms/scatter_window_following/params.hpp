// Settings of the scatter-window following finder, declared once: the table below gives the
// Python constructor's keywords and defaults. Lengths are in mm, momenta in MeV.
#pragma once

#include <cstdint>
#include <tuple>

#include "algorithms/parameters.hpp"

namespace trelmon {

struct ScatterWindowFollowingParams {
    // Position resolution of a hit, per transverse coordinate (mm).
    double hit_resolution = 0.010;
    // Smallest transverse momentum the windows are sized for (MeV). Without a magnetic field the
    // momentum is estimated as min_pt / sin(polar angle), so steep tracks get wide windows and
    // nearly parallel ones narrow windows.
    double min_pt = 150.0;
    // Material a track crosses at each module at normal incidence (radiation lengths).
    double module_material = 0.011;
    // Largest chi2 (two coordinates) of a hit against the track's prediction.
    double max_chi2 = 30.0;
    // Largest chi2 per predicted hit of a track of three hits, which has no further hit to
    // confirm it.
    double max_chi2_three_hits = 20.0;
    // Largest |dx/dz| and |dy/dz| of a seed.
    double max_slope = 1.0;
    // Largest transverse distance between the beam line and a first-pass seed (mm); also how
    // close to the beam line a track's line must pass for following to stop there.
    double max_beam_distance = 1.0;
    // Modules a track is expected to cross in a row without a hit before it ends.
    std::uint32_t max_missed_modules = 2;
    // Margin around each module's active area, as learned from its hits (mm). A line crossing a
    // module inside it without a hit counts as a missed module.
    double acceptance_margin = 0.0;

    static constexpr auto parameters() {
        using P = ScatterWindowFollowingParams;
        return std::tuple{Parameter{"hit_resolution", &P::hit_resolution},
                          Parameter{"min_pt", &P::min_pt},
                          Parameter{"module_material", &P::module_material},
                          Parameter{"max_chi2", &P::max_chi2},
                          Parameter{"max_chi2_three_hits", &P::max_chi2_three_hits},
                          Parameter{"max_slope", &P::max_slope},
                          Parameter{"max_beam_distance", &P::max_beam_distance},
                          Parameter{"max_missed_modules", &P::max_missed_modules},
                          Parameter{"acceptance_margin", &P::acceptance_margin}};
    }
};

}  // namespace trelmon
