// The one rounding margin the finders widen their candidate windows by.
//
// Every finder picks candidates with a grid or window look-up and then applies its exact test to
// each candidate. The look-up's bounds are computed by other operations than the test (a square
// root instead of a square, a sum in another order, a cell product), each off by at most a few
// units in the last place of magnitudes no larger than the ones the bound is built from. A
// margin of 1e-9 of those magnitudes is seven orders of magnitude above such errors (one unit in
// the last place is 2^-52, about 2.2e-16, of the magnitude), and the absolute 1e-150 covers
// magnitudes so small that relative rounding is lost to underflow: a square below 1e-300 is
// already near the subnormals. So every candidate the exact test accepts lies inside the widened
// window. A wider window only costs candidates that the exact test then refuses: no result ever
// depends on the margin, which is why one generous recipe serves every finder.
#pragma once

namespace trelmon {

// The margin for a bound built from values of magnitude up to `magnitude` (non-negative).
inline double rounding_margin(double magnitude) noexcept {
    return 1e-9 * magnitude + 1e-150;
}

}  // namespace trelmon
