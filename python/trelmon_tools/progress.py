"""Progress bars for the command line: drawn on a terminal, silent anywhere else."""

from __future__ import annotations

import os
import sys
from collections.abc import Iterable
from typing import TypeVar

from tqdm import tqdm

__all__ = ["available_processors", "progress", "worker_threads"]

T = TypeVar("T")


def progress(
    iterable: Iterable[T] | None = None,
    *,
    desc: str,
    total: int | None = None,
    unit: str = "event",
) -> tqdm[T]:
    """A tqdm bar on standard error, shown only when standard error is a terminal.

    Bars vanish when done, so a finished run leaves only its results on the screen.
    """
    return tqdm(
        iterable,
        desc=desc,
        total=total,
        unit=unit,
        leave=False,
        file=sys.stderr,
        disable=not _on_terminal(),
        dynamic_ncols=True,
    )


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
