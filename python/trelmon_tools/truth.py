"""Monte Carlo truth: the table of an event dictionary, and the validator's matching of tracks
to its particles as two tables.

:func:`truth_tables` runs the validator's matching once per event (natively, in
``trelmon_tools._native``) and lays it out per track and per particle; summing its columns
gives the validator's figures exactly. The other helpers read the Monte Carlo table the way
the validator does (column names matched by position, the last occurrence of a repeated name
winning, defaults for absent or unconvertible values) and apply the seven particle
categories, so that samples can be described without building any native object.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping, Sequence
from dataclasses import dataclass

import numpy as np

__all__ = [
    "CATEGORIES",
    "FLAG_COLUMNS",
    "TruthTables",
    "category_counts",
    "in_category",
    "mc_particles",
    "truth_tables",
]

#: Labels of the particle categories, in report order.
CATEGORIES = (
    "velo",
    "long",
    "long>5GeV",
    "long_strange",
    "long_strange>5GeV",
    "long_fromb",
    "long_fromb>5GeV",
)

#: Flag columns and their values when absent or unconvertible.
FLAG_COLUMNS = {
    "isLong": False,
    "isDown": False,
    "hasVelo": True,
    "hasUT": False,
    "hasScifi": False,
    "fromBeautyDecay": False,
    "fromCharmDecay": False,
    "fromStrangeDecay": False,
}
_INT32 = (-(2**31), 2**31 - 1)
_INT_COLUMNS = {"key": (0, (0, 2**64 - 1)), "pid": (0, _INT32), "charge": (0, _INT32)}
_FLOAT_COLUMNS = {"p": 0.0, "pt": 0.0, "eta": 0.0, "phi": 0.0}


def _as_int(value, default, bounds=_INT32):
    # Integer columns take int and bool within the field's range, never float or str.
    if isinstance(value, numbers.Integral) and bounds[0] <= value <= bounds[1]:
        return int(value)
    return default


def _as_float(value, default):
    if isinstance(value, (str, bytes)):
        return default
    try:
        return float(value)
    except (TypeError, ValueError, OverflowError):
        return default


def _as_hits(value, n_hits):
    # The whole list or nothing; positions past the event's hits are skipped.
    if isinstance(value, (str, bytes)) or not isinstance(value, Sequence):
        return []
    if not all(isinstance(h, numbers.Integral) and h >= 0 for h in value):
        return []
    return [int(h) for h in value if h < n_hits]


def mc_particles(event: Mapping) -> list[dict]:
    """The particles of the event's Monte Carlo table, one dictionary per row.

    Each dictionary holds every recognised column (defaults filled in), plus "over5GeV".
    "hits" keeps the positions below the number of hits of the event (the shortest of its
    "x", "y" and "z" lists). An event without "montecarlo" has no particles.
    """
    mc = event.get("montecarlo")
    if mc is None:
        return []
    n_hits = min(len(event.get(k, ())) for k in "xyz")
    position = {name: i for i, name in enumerate(mc["description"])}
    particles = []
    for row in mc["particles"]:

        def cell(name, row=row):
            i = position.get(name)
            return row[i] if i is not None and i < len(row) else None

        particle = {name: _as_int(cell(name), d, b) for name, (d, b) in _INT_COLUMNS.items()}
        particle.update({name: _as_float(cell(name), d) for name, d in _FLOAT_COLUMNS.items()})
        particle["hits"] = _as_hits(cell("hits"), n_hits)
        for name, default in FLAG_COLUMNS.items():
            value = _as_int(cell(name), None)
            particle[name] = default if value is None else value != 0
        p = particle["p"]
        particle["over5GeV"] = not math.isnan(p) and abs(p) > 5000.0
        particles.append(particle)
    return particles


def in_category(particle: Mapping, label: str) -> bool:
    """Whether a particle (as given by :func:`mc_particles`) belongs to a category."""
    if abs(particle["pid"]) == 11:
        return False
    if label == "velo":
        return particle["hasVelo"]
    if not particle["isLong"]:
        return False
    rest = {
        "long": True,
        "long>5GeV": particle["over5GeV"],
        "long_strange": particle["fromStrangeDecay"],
        "long_strange>5GeV": particle["over5GeV"] and particle["fromStrangeDecay"],
        "long_fromb": particle["fromBeautyDecay"],
        "long_fromb>5GeV": particle["over5GeV"] and particle["fromBeautyDecay"],
    }
    return bool(rest.get(label, False))


def category_counts(event: Mapping) -> dict[str, int]:
    """Number of particles of the event in each category, in report order."""
    particles = mc_particles(event)
    return {label: sum(in_category(p, label) for p in particles) for label in CATEGORIES}


# ------------------------------------------------------------------------- truth tables


@dataclass(frozen=True)
class TruthTables:
    """The matching of a sample's tracks, as two ``pyarrow.Table`` objects.

    ``tracks``: one row per track of every (event, track list) pair, in order. ``particles``:
    one row per Monte Carlo row of every paired event, in order. Their columns are listed in
    the README ("Result files").
    """

    tracks: object
    particles: object


def _arrays(columns: dict) -> dict:
    return {name: np.frombuffer(data, dtype=dtype) for name, (dtype, data) in columns.items()}


def _list_array(values: np.ndarray, lengths: np.ndarray):
    import pyarrow as pa

    offsets = np.zeros(len(lengths) + 1, dtype=np.int32)
    np.cumsum(lengths, out=offsets[1:])
    return pa.ListArray.from_arrays(pa.array(offsets), pa.array(values))


def _table(columns: dict, nulls: dict):
    import pyarrow as pa

    arrays = {}
    for name, values in columns.items():
        if name == "hit_ids":
            arrays[name] = _list_array(values, columns["n_hits"])
        elif name in nulls:
            arrays[name] = pa.array(values, mask=nulls[name])
        else:
            arrays[name] = pa.array(values)
    return pa.table(arrays)


def truth_tables(events, tracks) -> TruthTables:
    """The validator's matching of each event dictionary with its track list, per track and
    per particle (pairs as the validator forms them: up to the shorter of the two lists).

    Events are read as the validator reads them and fail as it fails (same exceptions and
    messages). For every category label, the particles with that column true number
    ``n_particles``, those of them ``reconstructed`` number ``n_reco``, and their
    ``clones[LABEL]`` add up to ``n_clones``; the ``ghost`` flags add up to ``total_ghosts``.
    """
    from . import _native

    raw_tracks, raw_particles = _native.truth_tables(events, tracks)
    t = _arrays(raw_tracks)
    p = _arrays(raw_particles)
    matched = t["particle"] >= 0
    reconstructed = p["reconstructed"]
    # purity of the best track: its weight, for a reconstructed particle
    p = {**p}
    hit_efficiency = p.pop("hit_efficiency")
    p["purity"] = p["best_weight"]
    p["hit_efficiency"] = hit_efficiency
    return TruthTables(
        _table(
            t,
            {"particle": ~matched, "key": ~matched, "duplicate_of": t["duplicate_of"] < 0},
        ),
        _table(
            p,
            {
                "best_track": p["best_track"] < 0,
                "purity": ~reconstructed,
                "hit_efficiency": ~reconstructed,
            },
        ),
    )
