"""Track finders of trelmon_tools, beside the three of ``trelmon.ReconstructionAlgorithms``.

They have the same interface: a constructor with keyword parameters (``None`` selects the
default), ``solve(event)`` and ``solve_batch(events)`` taking ``trelmon.DetectorEvent.Event``
objects and returning lists of ``trelmon.DetectorEvent.Track``; ``solve_batch`` solves on
trelmon's worker pool. So the validator, ``run``, the truth tables and ``tune`` take them as
they are. The classes are native, their parameters declared once in their tables.
"""

from __future__ import annotations

from ._native import ScatterWindowFollowing

__all__ = ["FINDERS", "ScatterWindowFollowing"]

#: trelmon_tools' own finders by class name, as ``run`` and the bench list them after
#: trelmon's.
FINDERS = {"ScatterWindowFollowing": ScatterWindowFollowing}
