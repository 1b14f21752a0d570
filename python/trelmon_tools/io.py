"""Event files: one event dictionary per JSON file, one directory per sample.

A sample directory holds files named ``event_000000.json``, ``event_000001.json``, ...;
reading a directory takes every ``*.json`` file in it in sorted file-name order. A file that is
not a well-formed event raises :class:`EventFileError`, which names the file.
"""

from __future__ import annotations

import json
import math
import numbers
import os
import re
from collections.abc import Iterable, Iterator, Mapping
from pathlib import Path

from .files import atomic_write

__all__ = [
    "EventFileError",
    "check_event",
    "event_files",
    "iter_events",
    "read_event",
    "write_event",
    "write_sample",
]

NUMBER_OF_MODULES = 52
_SAMPLE_FILE = re.compile(r"event_\d{6,}\.json")


class EventFileError(ValueError):
    """A file that does not hold a valid event. ``path`` names the file, ``reason`` says why."""

    def __init__(self, path, reason: str):
        self.path = os.fspath(path)
        self.reason = reason
        super().__init__(f"{self.path}: not a valid event file: {reason}")


def _is_int(value) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def _is_number(value) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _check_numbers(event: Mapping, key: str, length: int) -> None:
    values = event[key]
    if not isinstance(values, list):
        raise ValueError(f'"{key}" must be a list, not {type(values).__name__}')
    if len(values) != length:
        raise ValueError(f'"{key}" has {len(values)} entries, the prefix sums give {length} hits')
    if not all(map(_is_number, values)):
        bad = next(v for v in values if not _is_number(v))
        raise ValueError(f'"{key}" holds a non-number: {bad!r}')


def check_event(event) -> None:
    """Raise ``ValueError`` saying what is wrong unless ``event`` is a well-formed event.

    Well-formed: a dictionary with a string "description", a "montecarlo" table (a dictionary
    with a list of column names under "description" and a list of rows under "particles"),
    "module_prefix_sum" with at least 53 non-negative, non-decreasing integers starting at 0,
    and "x", "y", "z" (and, if present, "t") lists of numbers with one entry per hit.
    Individual Monte Carlo cells are not judged: readers give bad cells a default.
    """
    if not isinstance(event, dict):
        raise ValueError(f"an event is a JSON object, not {type(event).__name__}")
    for key in ("description", "montecarlo", "module_prefix_sum", "x", "y", "z"):
        if key not in event:
            raise ValueError(f'missing key "{key}"')
    if not isinstance(event["description"], str):
        raise ValueError('"description" must be a string')

    prefix = event["module_prefix_sum"]
    if not isinstance(prefix, list) or len(prefix) < NUMBER_OF_MODULES + 1:
        raise ValueError(f'"module_prefix_sum" must be a list of {NUMBER_OF_MODULES + 1} integers')
    if not all(_is_int(v) and v >= 0 for v in prefix):
        raise ValueError('"module_prefix_sum" must hold non-negative integers')
    if prefix[0] != 0:
        raise ValueError(f'"module_prefix_sum" must start at 0, not {prefix[0]}')
    if any(a > b for a, b in zip(prefix, prefix[1:])):
        raise ValueError('"module_prefix_sum" must not decrease')
    n_hits = prefix[NUMBER_OF_MODULES]
    for key in ("x", "y", "z", "t"):
        if key in event:
            _check_numbers(event, key, n_hits)

    mc = event["montecarlo"]
    if not isinstance(mc, dict):
        raise ValueError('"montecarlo" must be an object')
    for key in ("description", "particles"):
        if key not in mc:
            raise ValueError(f'missing key "{key}" in "montecarlo"')
    columns = mc["description"]
    if not isinstance(columns, list) or not all(isinstance(c, str) for c in columns):
        raise ValueError('"montecarlo" "description" must be a list of column names')
    rows = mc["particles"]
    if not isinstance(rows, list) or not all(isinstance(r, list) for r in rows):
        raise ValueError('"montecarlo" "particles" must be a list of rows')


def _has_nonfinite(event: Mapping) -> bool:
    return any(not math.isfinite(v) for key in ("x", "y", "z", "t") for v in event.get(key, ()))


def write_event(path, event) -> None:
    """Write one event to ``path`` as JSON, replacing the file in one step.

    Raises ``ValueError`` (and writes nothing) for an event that is not well-formed, or one
    with non-finite coordinates, which JSON cannot hold.
    """
    check_event(event)
    if _has_nonfinite(event):
        raise ValueError("coordinates must be finite to be written as JSON")
    with atomic_write(path) as f:
        json.dump(event, f, separators=(",", ":"))


def read_event(path) -> dict:
    """Read one event file. Raises :class:`EventFileError` for a file that is not a
    well-formed event, and ``OSError`` for a file that cannot be read."""
    try:
        with open(path, encoding="utf-8") as f:
            event = json.load(f)
    except UnicodeDecodeError as e:
        raise EventFileError(path, f"not UTF-8 text ({e.reason})") from None
    except json.JSONDecodeError as e:
        raise EventFileError(path, f"invalid JSON: {e}") from None
    except RecursionError:
        raise EventFileError(path, "JSON nested too deeply") from None
    try:
        check_event(event)
    except ValueError as e:
        raise EventFileError(path, str(e)) from None
    return event


def event_files(directory) -> list[Path]:
    """The event files of a sample directory: its ``*.json`` files, sorted by name."""
    directory = Path(directory)
    if not directory.is_dir():
        raise NotADirectoryError(f"{directory}: not a directory")
    return sorted(
        (p for p in directory.iterdir() if p.suffix == ".json" and p.is_file()),
        key=lambda p: p.name,
    )


def iter_events(directory) -> Iterator[dict]:
    """Yield the events of a sample directory one at a time, in sorted file-name order.

    The directory is listed at once (so a missing directory fails here); each file is read
    only when its event is asked for.
    """
    return (read_event(p) for p in event_files(directory))


def write_sample(directory, events: Iterable[Mapping], *, overwrite: bool = False) -> list[Path]:
    """Write ``events`` (any iterable, consumed one event at a time) to ``directory`` as
    ``event_000000.json``, ``event_000001.json``, ... and return the paths written.

    The directory is created if needed. If it already holds ``*.json`` files, writing is
    refused with ``FileExistsError`` (a sample must not mix with older files), unless
    ``overwrite`` is true: then the files named like sample files are removed first.
    """
    directory = Path(directory)
    if directory.exists() and not directory.is_dir():
        raise NotADirectoryError(f"{directory}: not a directory")
    directory.mkdir(parents=True, exist_ok=True)
    existing = event_files(directory)
    if existing:
        if not overwrite:
            raise FileExistsError(f"{directory}: already holds event files")
        others = [p.name for p in existing if not _SAMPLE_FILE.fullmatch(p.name)]
        if others:
            raise FileExistsError(f"{directory}: holds other JSON files ({others[0]})")
        for p in existing:
            p.unlink()
    paths = []
    for i, event in enumerate(events):
        path = directory / f"event_{i:06d}.json"
        write_event(path, event)
        paths.append(path)
    return paths
