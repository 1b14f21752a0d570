"""Track finders of trelmon_tools, beside the three of ``trelmon.ReconstructionAlgorithms``.

They have the same interface: a constructor with keyword parameters (``None`` selects the
default), ``solve(event)`` and ``solve_batch(events)`` taking ``trelmon.DetectorEvent.Event``
objects and returning lists of ``trelmon.DetectorEvent.Track``; ``solve_batch`` solves on
trelmon's worker pool. So the validator, ``run``, the truth tables and ``tune`` take them as
they are.
"""

from __future__ import annotations

import math
import numbers

from . import _native

__all__ = ["FINDERS", "ScatterWindowFollowing"]


class ScatterWindowFollowing:
    """Track finder whose every compatibility test is a chi2 with the hit resolution and the
    multiple scattering expected for the track's slope.

    Without a magnetic field the momentum of a track is estimated as ``min_pt / sin(theta)``:
    steep tracks get wide windows and nearly parallel ones narrow windows. Tracks start from the
    best three-hit seed of each free hit, highest module first (seeds may cross the detector's
    two halves and skip one module), follow module by module in both directions, fill their gaps
    by interpolation, and keep their hits when no longer or better candidate claims them. A first
    pass seeds only lines that point to the beam line, a second seeds freely on the hits left
    over. The layout (module order, planes, active areas, halves) is learned from each event's
    hits, so no geometry is built in.

    Parameters (each ``None`` or missing takes its default):

    * ``hit_resolution`` (mm, default 0.010): position resolution of a hit, per coordinate.
    * ``min_pt`` (MeV, default 150.0): smallest transverse momentum the windows are sized for.
    * ``module_material`` (radiation lengths, default 0.011): material crossed at each module
      at normal incidence.
    * ``max_chi2`` (default 30.0): largest chi2 (two coordinates) of a hit against its track.
    * ``max_chi2_three_hits`` (default 20.0): largest chi2 per predicted hit of a track of
      three hits, which has no further hit to confirm it.
    * ``max_slope`` (default 1.0): largest |dx/dz| and |dy/dz| of a seed.
    * ``max_beam_distance`` (mm, default 1.0): largest distance from the beam line of a
      first-pass seed's line (in the transverse plane); following stops where a track's line
      passes this close to the beam.
    * ``max_missed_modules`` (default 2): modules in a row that a track may cross inside their
      active area without a hit before it ends.
    * ``acceptance_margin`` (mm, default 0.0): margin around each module's active area, as
      learned from its hits, within which a crossing without a hit counts as missed.
    """

    #: The parameters' defaults, from the native parameter table the solver is built with.
    DEFAULTS = dict(_native.finder_parameters()["ScatterWindowFollowing"])
    _POSITIVE = ("hit_resolution", "min_pt", "max_chi2", "max_chi2_three_hits", "max_slope")
    _NON_NEGATIVE = ("module_material", "max_beam_distance")

    def __init__(
        self,
        hit_resolution=None,
        min_pt=None,
        module_material=None,
        max_chi2=None,
        max_chi2_three_hits=None,
        max_slope=None,
        max_beam_distance=None,
        max_missed_modules=None,
        acceptance_margin=None,
    ):
        given = {
            "hit_resolution": hit_resolution,
            "min_pt": min_pt,
            "module_material": module_material,
            "max_chi2": max_chi2,
            "max_chi2_three_hits": max_chi2_three_hits,
            "max_slope": max_slope,
            "max_beam_distance": max_beam_distance,
            "max_missed_modules": max_missed_modules,
            "acceptance_margin": acceptance_margin,
        }
        values = {}
        for name, value in given.items():
            values[name] = self.DEFAULTS[name] if value is None else _check(name, value)
        self._values = values

    @property
    def parameters(self) -> dict:
        """The parameters, by name, in the constructor's order."""
        return dict(self._values)

    def solve(self, event):
        """The tracks of one ``trelmon.DetectorEvent.Event``."""
        return _native.scatter_window_following_solve(event, **self._values)

    def solve_batch(self, events):
        """The tracks of each event, solved in parallel, in input order."""
        return _native.scatter_window_following_solve_batch(events, **self._values)

    def __repr__(self) -> str:
        inner = ", ".join(f"{k}={v!r}" for k, v in self._values.items())
        return f"ScatterWindowFollowing({inner})"

    def __eq__(self, other):
        if not isinstance(other, ScatterWindowFollowing):
            return NotImplemented
        return self._values == other._values

    def __hash__(self):
        return hash(tuple(self._values.values()))

    def __getstate__(self):
        return self._values

    def __setstate__(self, state):
        type(self).__init__(self, **state)


def _check(name: str, value):
    if name == "max_missed_modules":
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
        count = int(value)
        if not 0 <= count < 2**32:
            raise ValueError(f"{name} must be between 0 and 4294967295, got {value}")
        return count
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    value = float(value)
    if not math.isfinite(value):
        raise ValueError(f"{name} must be finite, got {value!r}")
    if name in ScatterWindowFollowing._POSITIVE and not value > 0.0:
        raise ValueError(f"{name} must be positive, got {value!r}")
    if name in ScatterWindowFollowing._NON_NEGATIVE and value < 0.0:
        raise ValueError(f"{name} must not be negative, got {value!r}")
    return value


#: trelmon_tools' own finders by class name, as ``run`` and the bench list them after
#: trelmon's.
FINDERS = {"ScatterWindowFollowing": ScatterWindowFollowing}
