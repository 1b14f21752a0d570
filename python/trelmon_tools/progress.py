"""Progress bars for the command line: drawn on a terminal, silent anywhere else."""

from __future__ import annotations

import os
import sys
from collections.abc import Iterable, Iterator
from typing import Any, Generic, TypeVar, overload

from tqdm import tqdm

__all__ = ["available_processors", "progress", "worker_threads"]

T = TypeVar("T")


@overload
def progress(
    iterable: Iterable[T], *, desc: str, total: int | None = None, unit: str = "event"
) -> tqdm[T] | _Silent[T]: ...


@overload
def progress(
    iterable: None = None, *, desc: str, total: int | None = None, unit: str = "event"
) -> tqdm[Any] | _Silent[Any]: ...


def progress(
    iterable: Iterable[T] | None = None,
    *,
    desc: str,
    total: int | None = None,
    unit: str = "event",
) -> tqdm[T] | _Silent[T]:
    """A tqdm bar on standard error where standard error is a terminal; elsewhere a silent
    stand-in with the same use (iteration, ``with``, ``update``, ``set_postfix_str``), since
    even a disabled tqdm makes a multiprocessing lock, milliseconds of a short command.

    Bars vanish when done, so a finished run leaves only its results on the screen.
    """
    if not _on_terminal():
        return _Silent(iterable)
    return tqdm(
        iterable,
        desc=desc,
        total=total,
        unit=unit,
        leave=False,
        file=sys.stderr,
        dynamic_ncols=True,
    )


class _Silent(Generic[T]):
    """A progress bar that draws nothing."""

    def __init__(self, iterable: Iterable[T] | None):
        self._iterable: Iterable[T] = () if iterable is None else iterable

    def __iter__(self) -> Iterator[T]:
        return iter(self._iterable)

    def __enter__(self) -> _Silent[T]:
        return self

    def __exit__(self, *exc: object) -> None:
        return None

    def update(self, n: float = 1) -> None:
        return None

    def set_postfix_str(self, s: str = "", refresh: bool = True) -> None:
        return None


def _on_terminal() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):  # replaced or closed stream
        return False


def available_processors() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def worker_threads() -> int:
    """Threads of the batch pool: TRELMON_NUM_THREADS when set, else the usable processors."""
    text = os.environ.get("TRELMON_NUM_THREADS", "")
    if text.isdigit() and 1 <= int(text) <= 4096:
        return int(text)
    return available_processors()
