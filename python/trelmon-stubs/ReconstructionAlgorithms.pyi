from collections.abc import Sequence
from typing import final

from .DetectorEvent import Event, Hit, Track

__all__ = ["TrackFollowing", "GraphDFS", "SearchByTripletTrie"]

@final
class TrackFollowing:
    """Seeds on hit pairs two modules apart and follows them towards the first module."""

    def __new__(
        cls,
        max_slopes: tuple[float, float] | None = None,
        max_tolerance: tuple[float, float] | None = None,
        max_scatter: float | None = None,
        min_track_length: int | None = None,
        min_strong_track_length: int | None = None,
    ) -> TrackFollowing: ...
    def are_compatible(self, hit0: Hit, hit1: Hit) -> bool: ...
    def check_tolerance(self, hit0: Hit, hit1: Hit, hit2: Hit) -> bool: ...
    def solve(self, event: Event) -> list[Track]: ...
    def solve_batch(self, events: Sequence[Event]) -> list[list[Track]]: ...

@final
class GraphDFS:
    """Links hit-pair segments into a graph, weights them and extracts one chain per root."""

    def __new__(
        cls,
        max_slopes: tuple[float, float] | None = None,
        max_tolerance: tuple[float, float] | None = None,
        max_scatter: float | None = None,
        minimum_root_weight: int | None = None,
        weight_assignment_iterations: int | None = None,
        allowed_skip_modules: int | None = None,
        allow_cross_track: bool | None = None,
        clone_ghost_killing: bool | None = None,
    ) -> GraphDFS: ...
    def solve(self, event: Event) -> list[Track]:
        """Solves the event using the DFS strategy and returns a list of Tracks."""

    def solve_batch(self, events: Sequence[Event]) -> list[list[Track]]: ...

@final
class SearchByTripletTrie:
    """Extends tracks station by station through precomputed best triplets."""

    def __new__(
        cls,
        max_scatter: float | None = None,
        min_strong_track_length: int | None = None,
        allowed_missed_modules: int | None = None,
    ) -> SearchByTripletTrie: ...
    def solve(self, event: Event) -> list[Track]:
        """Processes the event to assemble tracks."""

    def solve_batch(self, events: Sequence[Event]) -> list[list[Track]]: ...
