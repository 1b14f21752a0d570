// Stage 1, layout: the detector as one event shows it.
//
// Input: an event (modules with their hits; any number of modules at any z, in any order).
// Output: the modules that hold hits, ordered by z, each with its z, depth, active area and side,
// and the hits of each module sorted by azimuth (ties by id) in one array.
// Invariants: module i's hits are hits[modules[i].begin, modules[i].end); every hit appears once;
// the result depends only on the event's hits, never on set or hash order.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "event_model/event.hpp"
#include "event_model/hit.hpp"

namespace trelmon::swf {

struct PlacedHit {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double phi = 0.0;          // azimuth, atan2(y, x)
    std::uint32_t module = 0;  // index into Layout::modules
    const Hit* source = nullptr;
};

struct LayoutModule {
    double z = 0.0;           // middle of the module's hit planes
    double half_depth = 0.0;  // half the spread of its hit planes along z
    // Active area: the extent of the module's hits.
    double r_min = 0.0, r_max = 0.0, x_min = 0.0, x_max = 0.0, y_min = 0.0, y_max = 0.0;
    // 0 when the module surrounds the beam, else 1 or 2 for the half it sits on.
    int side = 0;
    std::uint32_t begin = 0, end = 0;
    // Modules below this one (decreasing z) that a seed's second hit may lie on: the next two
    // of each side, so that one module of the track's own side may be missing.
    std::vector<std::uint32_t> partners;
};

struct Layout {
    std::vector<LayoutModule> modules;
    std::vector<PlacedHit> hits;
    double r_max = 0.0;  // the largest r_max of any module: beyond it a line has left
};

// Whether a line at (x, y) moving with slopes (tx, ty) in `direction` along z has left the
// detector outwards for good: outside every module and still moving away from the beam.
inline bool left_outwards(const Layout& layout, double x, double y, double tx, double ty,
                          int direction) noexcept {
    return x * x + y * y > layout.r_max * layout.r_max && (x * tx + y * ty) * direction > 0.0;
}

Layout learn_layout(const Event& event);

// Whether a point at (x, y) lies on the module's active area widened by margin.
inline bool in_acceptance(const LayoutModule& m, double x, double y, double margin) noexcept {
    if (x < m.x_min - margin || x > m.x_max + margin || y < m.y_min - margin ||
        y > m.y_max + margin) {
        return false;
    }
    const double r = std::sqrt(x * x + y * y);
    return r >= m.r_min - margin && r <= m.r_max + margin;
}

// Calls f(index) for every hit of module m whose azimuth lies within half_width of phi, in
// azimuth order.
template <class F>
void for_each_in_azimuth(const Layout& layout, std::uint32_t m, double phi, double half_width,
                         F&& f) {
    const LayoutModule& mod = layout.modules[m];
    constexpr double kPi = 3.14159265358979323846;
    if (!(half_width < kPi)) {
        for (std::uint32_t i = mod.begin; i < mod.end; ++i) {
            f(i);
        }
        return;
    }
    const auto scan = [&](double from, double to) {
        std::uint32_t a = mod.begin, b = mod.end;
        while (a < b) {
            const std::uint32_t mid = a + (b - a) / 2;
            if (layout.hits[mid].phi < from) {
                a = mid + 1;
            } else {
                b = mid;
            }
        }
        for (; a < mod.end && layout.hits[a].phi <= to; ++a) {
            f(a);
        }
    };
    double lo = phi - half_width;
    double hi = phi + half_width;
    if (lo < -kPi) {
        scan(lo + 2.0 * kPi, kPi);
        lo = -kPi;
    }
    if (hi > kPi) {
        scan(-kPi, hi - 2.0 * kPi);
        hi = kPi;
    }
    scan(lo, hi);
}

// Calls f(index) for every hit of module m within radius of (x, y), and possibly a few more:
// callers apply their own exact test.
template <class F>
void for_each_near(const Layout& layout, std::uint32_t m, double x, double y, double radius,
                   F&& f) {
    const LayoutModule& mod = layout.modules[m];
    if (x + radius < mod.x_min || x - radius > mod.x_max || y + radius < mod.y_min ||
        y - radius > mod.y_max) {
        return;
    }
    const double r = std::sqrt(x * x + y * y);
    if (r - radius > mod.r_max || r + radius < mod.r_min) {
        return;
    }
    const double half_width = r <= radius ? 4.0 : std::asin(radius / r);
    for_each_in_azimuth(layout, m, std::atan2(y, x), half_width, f);
}

}  // namespace trelmon::swf
