from collections.abc import Sequence
from typing import Any, final

__all__ = ["Hit", "Track", "Module", "Event"]

@final
class Hit:
    """One measured point: id, position, optional time and the module that recorded it."""

    def __new__(
        cls,
        x: float,
        y: float,
        z: float,
        hit_id: int,
        module: int | None = None,
        t: float | None = None,
        with_t: bool | None = None,
    ) -> Hit: ...
    @property
    def id(self) -> int: ...
    @property
    def x(self) -> float: ...
    @property
    def y(self) -> float: ...
    @property
    def z(self) -> float: ...
    @property
    def t(self) -> float: ...
    @property
    def module_number(self) -> int:
        """-1 when the hit was built without a module."""

    @property
    def with_t(self) -> bool: ...

@final
class Track:
    """An ordered list of hits believed to come from one particle."""

    def __new__(cls, hits: Sequence[Hit]) -> Track: ...
    @property
    def hits(self) -> list[Hit]:
        """Copies of the track's hits, in the order they were added."""

    @property
    def missed_last_module(self) -> bool: ...
    @property
    def missed_penultimate_module(self) -> bool: ...
    def add_hit(self, hit: Hit) -> None: ...

@final
class Module:
    """One detector module of an event: its number, z and its range of the event's hits."""

    def __new__(
        cls,
        module_number: int,
        z: float,
        hit_start_index: int,
        hit_end_index: int,
        global_hits: Sequence[Hit],
    ) -> Module: ...
    @property
    def module_number(self) -> int: ...
    def hits(self) -> list[Hit]:
        """Copies of the module's hits, global_hits[hit_start_index:hit_end_index]."""

@final
class Event:
    """One collision, built from its event dictionary: "description", "montecarlo",
    "module_prefix_sum", "x", "y", "z" and optionally "t"."""

    def __new__(cls, json_data: dict[str, Any]) -> Event: ...
    @property
    def description(self) -> str: ...
    @property
    def montecarlo(self) -> Any:
        """The very object found under "montecarlo", not a copy."""

    @property
    def module_prefix_sum(self) -> list[int]: ...
    @property
    def number_of_hits(self) -> int: ...
    @property
    def module_zs(self) -> list[list[float]]:
        """For each module, a vector of unique z values."""

    @property
    def hits(self) -> list[Hit]: ...
    @property
    def modules(self) -> list[Module]:
        """The 52 modules, each holding its own copy of all hits."""
