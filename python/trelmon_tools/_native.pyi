from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from trelmon.DetectorEvent import Event, Track

__all__ = [
    "finder_parameters",
    "flight_crossings",
    "flight_hits",
    "hit_layout",
    "scatter_window_following_solve",
    "scatter_window_following_solve_batch",
    "tracks_from_hit_ids",
    "truth_tables",
]

def finder_parameters() -> dict[str, tuple[tuple[str, Any], ...]]:
    """Per finder class name, its keyword parameters and their defaults, in constructor order."""

def truth_tables(
    events: Sequence[Mapping[str, Any]], tracks: Sequence[Sequence[Track]]
) -> tuple[dict[str, tuple[str, bytes]], dict[str, tuple[str, bytes]]]:
    """The validator's matching of each (event dictionary, track list) pair as two column
    sets, tracks and particles: {name: (numpy dtype, bytes)}."""

def tracks_from_hit_ids(
    event: Any,
    hit_ids: Iterable[int],
    lengths: Iterable[int],
    missed_last_module: Iterable[bool] | None = None,
    missed_penultimate_module: Iterable[bool] | None = None,
) -> list[Track]:
    """Tracks of ``event`` from their hit ids, concatenated; the hits are the event's own."""

def scatter_window_following_solve(event: Event, **parameters: float | int) -> list[Track]:
    """ScatterWindowFollowing's tracks of one event, with the given parameters."""

def scatter_window_following_solve_batch(
    events: Iterable[Event], **parameters: float | int
) -> list[list[Track]]:
    """ScatterWindowFollowing's tracks of each event, solved on the worker pool."""

_Column = Any  # a one-dimensional buffer of numbers (numpy array), or a sequence of numbers

def flight_crossings(
    ox: _Column,
    oy: _Column,
    oz: _Column,
    tx: _Column,
    ty: _Column,
    pz: _Column,
    module_z: _Column,
    geometry: Sequence[float],
) -> tuple[bytearray, bytearray]:
    """Where each particle's straight line crosses a sensor: (part, step) as int64 bytes."""

def flight_hits(
    ox: _Column,
    oy: _Column,
    oz: _Column,
    tx: _Column,
    ty: _Column,
    pz: _Column,
    module_z: _Column,
    geometry: Sequence[float],
    part: _Column,
    step: _Column,
    kick_x: _Column,
    kick_y: _Column,
    slope2: _Column,
    inv_speed: _Column,
    ot: _Column,
) -> tuple[bytearray, ...]:
    """The lines bent by the kicks: their sensor crossings (part, step, module, x, y, z, t)
    and each particle's state after the last module (x, y, z, tx, ty)."""

def hit_layout(
    event: _Column, module: _Column, key: _Column, offsets: _Column
) -> tuple[bytearray, bytearray]:
    """Hits of many events laid out module by module, in key order within a module:
    (order, position) as int64 bytes."""
