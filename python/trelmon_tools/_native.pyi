from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from trelmon.DetectorEvent import Event, Track

__all__ = [
    "finder_parameters",
    "finder_work",
    "scatter_window_following_solve",
    "scatter_window_following_solve_batch",
    "tracks_from_hit_ids",
    "truth_tables",
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

def scatter_window_following_solve(event: Event, **parameters: float | int) -> list[Track]:
    """ScatterWindowFollowing's tracks of one event, with the given parameters."""

def scatter_window_following_solve_batch(
    events: Iterable[Event], **parameters: float | int
) -> list[list[Track]]:
    """ScatterWindowFollowing's tracks of each event, solved on the worker pool."""
