from collections.abc import Iterable, Mapping, Sequence
from typing import Any, final

from trelmon.DetectorEvent import Event, Track

__all__ = [
    "ScatterWindowFollowing",
    "events_from_columns",
    "finder_parameters",
    "finder_work",
    "flight_crossings",
    "flight_hits",
    "hit_layout",
    "tracks_from_hit_ids",
    "truth_tables",
    "validation_terms",
    "validation_terms_columns",
]

def finder_parameters() -> dict[str, tuple[tuple[str, Any], ...]]:
    """Per finder class name, its keyword parameters and their defaults, in constructor order."""

def finder_work(finder: str, event: Event, **parameters: Any) -> int:
    """The work of the finder's solve on the event: hits (TrackFollowing), candidate pairs
    (SearchByTripletTrie) or segments (GraphDFS)."""

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

@final
class ScatterWindowFollowing:
    """Track finder whose every compatibility test is a chi2 with the hit resolution and the
    multiple scattering expected for the track's slope; see its docstring for the parameters."""

    def __new__(
        cls,
        hit_resolution: float | None = None,
        min_pt: float | None = None,
        module_material: float | None = None,
        max_chi2: float | None = None,
        max_chi2_three_hits: float | None = None,
        max_chi2_three_hits_gap: float | None = None,
        max_slope: float | None = None,
        max_beam_distance: float | None = None,
        max_missed_modules: int | None = None,
        acceptance_margin: float | None = None,
    ) -> ScatterWindowFollowing: ...
    @property
    def parameters(self) -> dict[str, float | int]:
        """The parameters, by name, in the constructor's order."""

    def solve(self, event: Event) -> list[Track]:
        """The tracks of one trelmon.DetectorEvent.Event."""

    def solve_batch(self, events: Iterable[Event]) -> list[list[Track]]:
        """The tracks of each event, solved on the worker pool, in input order."""

    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

def validation_terms(
    events: Sequence[Mapping[str, Any]], tracks: Sequence[Sequence[Track]]
) -> dict[str, tuple[str, bytes]]:
    """What each (event dictionary, track list) pair adds to the validator's figures, as
    columns {name: (numpy dtype, bytes)}."""

def events_from_columns(columns: Mapping[str, Any]) -> list[Event]:
    """trelmon Events ("montecarlo" None) of a batch of events given as columns (see
    :func:`trelmon_tools.parquet.row_group_columns`), built on the worker pool; ValueError
    names the first event that ``Event`` would refuse."""

def validation_terms_columns(
    columns: Mapping[str, tuple[Any, ...]], tracks: Sequence[Sequence[Track]]
) -> dict[str, tuple[str, bytes]]:
    """validation_terms for events given as columns of offsets and numpy arrays (see
    :func:`trelmon_tools.parquet.row_group_columns`); ValueError names an event that does not
    fit."""

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
