// Settings of the scatter-window following finder, declared once: the table below gives the
// Python constructor's keywords, defaults, units, meanings and accepted ranges. Lengths are in
// mm, momenta in MeV.
#pragma once

#include <cstdint>
#include <tuple>

#include "algorithms/parameters.hpp"

namespace trelmon {

struct ScatterWindowFollowingParams {
    double hit_resolution = 0.010;
    double min_pt = 150.0;
    double module_material = 0.011;
    double max_chi2 = 30.0;
    double max_chi2_three_hits = 20.0;
    double max_chi2_three_hits_gap = 5.0;
    double max_slope = 1.0;
    double max_beam_distance = 1.0;
    std::uint32_t max_missed_modules = 2;
    double acceptance_margin = 0.0;

    static constexpr auto parameters() {
        using P = ScatterWindowFollowingParams;
        return std::tuple{
            DocumentedParameter{"hit_resolution", &P::hit_resolution, Range::Positive, "mm",
                                "position resolution of a hit, per coordinate."},
            DocumentedParameter{
                "min_pt", &P::min_pt, Range::Positive, "MeV",
                "smallest transverse momentum the windows are sized for. Without a magnetic "
                "field the momentum is estimated as min_pt / sin(polar angle), so steep tracks "
                "get wide windows and nearly parallel ones narrow windows."},
            DocumentedParameter{"module_material", &P::module_material, Range::NonNegative,
                                "radiation lengths",
                                "material crossed at each module at normal incidence."},
            DocumentedParameter{"max_chi2", &P::max_chi2, Range::Positive, "",
                                "largest chi2 (two coordinates) of a hit against its track."},
            DocumentedParameter{"max_chi2_three_hits", &P::max_chi2_three_hits, Range::Positive, "",
                                "largest chi2 per predicted hit of a track of three hits, which "
                                "has no further hit to confirm it."},
            DocumentedParameter{"max_chi2_three_hits_gap", &P::max_chi2_three_hits_gap,
                                Range::Positive, "",
                                "the same for a track of three hits with a module skipped "
                                "between them, which may leave the detector right after but has "
                                "no hit where its line starts (a decay product)."},
            DocumentedParameter{"max_slope", &P::max_slope, Range::Positive, "",
                                "largest |dx/dz| and |dy/dz| of a seed."},
            DocumentedParameter{
                "max_beam_distance", &P::max_beam_distance, Range::NonNegative, "mm",
                "largest distance from the beam line of a first-pass seed's line (in the "
                "transverse plane); following stops where a track's line passes this close to "
                "the beam."},
            DocumentedParameter{"max_missed_modules", &P::max_missed_modules, Range::Any, "",
                                "modules in a row that a track may cross inside their active "
                                "area without a hit before it ends."},
            DocumentedParameter{
                "acceptance_margin", &P::acceptance_margin, Range::Any, "mm",
                "margin around each module's active area, as learned from its hits, within "
                "which a crossing without a hit counts as missed."}};
    }
};

}  // namespace trelmon
