"""Event files: JSON (one event dictionary per file) and Parquet (many events per file).

A JSON sample directory holds files named ``event_000000.json``, ``event_000001.json``, ...;
reading a directory takes every ``*.json`` file in it in sorted file-name order. A Parquet file
holds one event per row (see :mod:`trelmon_tools.parquet` for its columns); a directory of
``*.parquet`` files is read file after file in sorted name order. A file that is not a
well-formed event raises :class:`EventFileError`, which names the file.
"""

from __future__ import annotations

import json
import numbers
import os
import re
from collections.abc import Iterable, Iterator, Mapping
from pathlib import Path
from typing import Any

import numpy as np

from .files import StrPath, atomic_write, no_collection

__all__ = [
    "EventFileError",
    "check_event",
    "event_files",
    "is_parquet",
    "iter_events",
    "read_parquet",
    "sample_files",
    "read_event",
    "write_event",
    "write_sample",
]

NUMBER_OF_MODULES = 52
PARQUET_SUFFIX = ".parquet"
_SAMPLE_FILE = re.compile(r"event_\d{6,}\.json")


class EventFileError(ValueError):
    """A file that does not hold a valid event. ``path`` names the file, ``reason`` says why."""

    def __init__(self, path, reason: str):
        self.path = os.fspath(path)
        self.reason = reason
        super().__init__(f"{self.path}: not a valid event file: {reason}")


# Element types judged once per list, not once per element.
_PLAIN_NUMBERS = frozenset({float, int})


def _number_type(kind: type) -> bool:
    return issubclass(kind, numbers.Real) and not issubclass(kind, (bool, np.bool_))


def _int_type(kind: type) -> bool:
    return issubclass(kind, numbers.Integral) and not issubclass(kind, (bool, np.bool_))


def _first_of(values, kinds) -> object:
    return next(v for v in values if type(v) in kinds)


def _check_numbers(event: Mapping, key: str, length: int) -> None:
    values = event[key]
    if isinstance(values, np.ndarray):
        if values.ndim != 1 or values.dtype.kind not in "fiu":
            raise ValueError(f'"{key}" must be a one-dimensional array of numbers')
    elif not isinstance(values, list):
        raise ValueError(f'"{key}" must be a list, not {type(values).__name__}')
    if len(values) != length:
        raise ValueError(f'"{key}" has {len(values)} entries, the prefix sums give {length} hits')
    if isinstance(values, list):
        kinds = set(map(type, values))
        if not kinds <= _PLAIN_NUMBERS:
            bad = {k for k in kinds if not _number_type(k)}
            if bad:
                raise ValueError(f'"{key}" holds a non-number: {_first_of(values, bad)!r}')


def _check_prefix(prefix) -> int:
    """The number of hits that well-formed prefix sums lay out."""
    values: np.ndarray | list[Any]
    if isinstance(prefix, np.ndarray):
        if prefix.ndim != 1 or prefix.dtype.kind not in "iu":
            raise ValueError('"module_prefix_sum" must hold non-negative integers')
        values = prefix
    else:
        if not isinstance(prefix, list) or len(prefix) < NUMBER_OF_MODULES + 1:
            raise ValueError(
                f'"module_prefix_sum" must be a list of {NUMBER_OF_MODULES + 1} integers'
            )
        kinds = set(map(type, prefix))
        if kinds != {int} and not all(_int_type(k) for k in kinds):
            raise ValueError('"module_prefix_sum" must hold non-negative integers')
        values = prefix
    if len(values) < NUMBER_OF_MODULES + 1:
        raise ValueError(f'"module_prefix_sum" must be a list of {NUMBER_OF_MODULES + 1} integers')
    if min(values) < 0:
        raise ValueError('"module_prefix_sum" must hold non-negative integers')
    if values[0] != 0:
        raise ValueError(f'"module_prefix_sum" must start at 0, not {values[0]}')
    if any(a > b for a, b in zip(values, values[1:], strict=False)):
        raise ValueError('"module_prefix_sum" must not decrease')
    return int(values[NUMBER_OF_MODULES])


def check_event(event: object) -> None:
    """Raise ``ValueError`` saying what is wrong unless ``event`` is a well-formed event.

    Well-formed: a dictionary with a string "description", a "montecarlo" table (a dictionary
    with a list of column names under "description" and a list of rows under "particles"),
    "module_prefix_sum" with at least 53 non-negative, non-decreasing integers starting at 0,
    and "x", "y", "z" (and, if present, "t") lists of numbers with one entry per hit.
    One-dimensional numpy arrays (integer prefix sums, numeric coordinates) stand for lists.
    Types are judged per list, so a list of plain floats costs one pass in C.
    Individual Monte Carlo cells are not judged: readers give bad cells a default.
    """
    if not isinstance(event, dict):
        raise ValueError(f"an event is a JSON object, not {type(event).__name__}")
    for key in ("description", "montecarlo", "module_prefix_sum", "x", "y", "z"):
        if key not in event:
            raise ValueError(f'missing key "{key}"')
    if not isinstance(event["description"], str):
        raise ValueError('"description" must be a string')

    n_hits = _check_prefix(event["module_prefix_sum"])
    for key in ("x", "y", "z", "t"):
        if key in event:
            _check_numbers(event, key, n_hits)
    _check_montecarlo(event["montecarlo"])


def _check_montecarlo(mc) -> None:
    if not isinstance(mc, dict):
        raise ValueError('"montecarlo" must be an object')
    for key in ("description", "particles"):
        if key not in mc:
            raise ValueError(f'missing key "{key}" in "montecarlo"')
    columns = mc["description"]
    if not isinstance(columns, list) or not set(map(type, columns)) <= {str}:
        raise ValueError('"montecarlo" "description" must be a list of column names')
    rows = mc["particles"]
    if not isinstance(rows, list) or not set(map(type, rows)) <= {list}:
        raise ValueError('"montecarlo" "particles" must be a list of rows')


def _has_nonfinite(event: Mapping) -> bool:
    return any(
        not np.isfinite(np.asarray(event[key], dtype=float)).all()
        for key in ("x", "y", "z", "t")
        if key in event
    )


def _json_scalar(value):
    # numpy numbers inside lists (float64 is a float already; the others are not).
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


def _plain(value):
    # Arrays (events read from Parquet) become the lists JSON holds.
    return value.tolist() if isinstance(value, np.ndarray) else value


def write_event(path: StrPath, event: Mapping[str, Any]) -> None:
    """Write one event to ``path`` as JSON, replacing the file in one step.

    Raises ``ValueError`` (and writes nothing) for an event that is not well-formed, or one
    with non-finite coordinates, which JSON cannot hold.
    """
    check_event(event)
    if _has_nonfinite(event):
        raise ValueError("coordinates must be finite to be written as JSON")
    event = {key: _plain(value) for key, value in event.items()}
    with atomic_write(path, "w") as f:
        json.dump(event, f, separators=(",", ":"), default=_json_scalar)


# Bytes to b"0" for a digit, b"." for what continues a number's fraction or exponent, b" "
# for anything else: an integer literal of 19 or more digits shows up as b" 000...".
_DIGIT_RUNS = bytes(
    ord("0") if chr(b).isdigit() and b < 128 else ord(".") if chr(b) in ".eE" else ord(" ")
    for b in range(256)
)
_LONG_INTEGER = b" " + b"0" * 19


def _fast_decode(data: bytes) -> object | None:
    """The document ``json.loads`` gives for ``data``, decoded by orjson (several times
    faster), or None where the two might differ and the standard decoder must decide.

    orjson refuses what ``json`` accepts beyond the standard (NaN, Infinity, out-of-range
    floats, lone surrogates) and every malformed document, and it turns an integer beyond 64
    bits into a float where ``json`` keeps an int. Such an integer has at least 19 digits;
    a document with a run of 19 digits not after a decimal point or an exponent sign is left to
    the standard decoder, as is any document orjson refuses (so every error message stays
    the standard one)."""
    import orjson

    digits = data.translate(_DIGIT_RUNS)
    if _LONG_INTEGER in digits or digits.startswith(_LONG_INTEGER[1:]):
        return None
    try:
        return orjson.loads(data)
    except orjson.JSONDecodeError:
        return None


def read_event(path: StrPath) -> dict[str, Any]:
    """Read one event file. Raises :class:`EventFileError` for a file that is not a
    well-formed event, and ``OSError`` for a file that cannot be read."""
    event: Any
    with open(path, "rb") as raw, no_collection():
        event = _fast_decode(raw.read())
    if event is None:
        event = _read_json(path)
    try:
        check_event(event)
    except ValueError as e:
        raise EventFileError(path, str(e)) from None
    return event


def _read_json(path: StrPath) -> object:
    try:
        with open(path, encoding="utf-8") as f, no_collection():
            return json.load(f)
    except UnicodeDecodeError as e:
        raise EventFileError(path, f"not UTF-8 text ({e.reason})") from None
    except json.JSONDecodeError as e:
        raise EventFileError(path, f"invalid JSON: {e}") from None
    except RecursionError:
        raise EventFileError(path, "JSON nested too deeply") from None


def event_files(directory: StrPath) -> list[Path]:
    """The JSON event files of a sample directory: its ``*.json`` files, sorted by name."""
    return _files(directory, ".json")


def _files(directory: StrPath, suffix: str) -> list[Path]:
    directory = Path(directory)
    if not directory.is_dir():
        raise NotADirectoryError(f"{directory}: not a directory")
    return sorted(
        (p for p in directory.iterdir() if p.suffix == suffix and p.is_file()),
        key=lambda p: p.name,
    )


def is_parquet(path: StrPath) -> bool:
    return Path(path).suffix == PARQUET_SUFFIX


def sample_files(path: StrPath) -> list[Path]:
    """The event files of a sample: a Parquet file itself, or a directory's ``*.parquet``
    files or else its ``*.json`` files, sorted by name. A directory holding both kinds is
    refused (``ValueError``): which of them is the sample is anybody's guess."""
    path = Path(path)
    if is_parquet(path) and not path.is_dir():
        if not path.exists():
            raise FileNotFoundError(f"{path}: no such file")
        return [path]
    if path.exists() and not path.is_dir():
        raise ValueError(f"{path}: neither a Parquet event file (*.parquet) nor a directory")
    parquet = _files(path, PARQUET_SUFFIX)
    json_files = _files(path, ".json")
    if parquet and json_files:
        raise ValueError(f"{path}: holds both JSON and Parquet event files")
    return parquet or json_files


def read_parquet(path: StrPath) -> Iterator[dict[str, Any]]:
    """The events of one Parquet file, one row group at a time (see
    :mod:`trelmon_tools.parquet`); bad content raises :class:`EventFileError` naming the
    file and the row group."""
    from . import parquet

    try:
        yield from parquet.iter_events(path)
    except parquet.ParquetEventError as e:
        raise EventFileError(path, str(e)) from None


def iter_events(path: StrPath) -> Iterator[dict[str, Any]]:
    """Yield the events of a sample one at a time: a Parquet file, or a directory of event
    files (see :func:`sample_files`), in sorted file-name order and row order.

    The directory is listed at once (so a missing directory fails here); each JSON file is
    read only when its event is asked for, and a Parquet file one row group at a time.
    """
    paths = sample_files(path)

    def events() -> Iterator[dict[str, Any]]:
        for p in paths:
            if is_parquet(p):
                yield from read_parquet(p)
            else:
                yield read_event(p)

    return events()


def write_sample(
    directory: StrPath, events: Iterable[Mapping[str, Any]], *, overwrite: bool = False
) -> list[Path]:
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
