"""The main job: reconstruct a sample with every track finder, validate, compare.

The steps are plain functions, so that a notebook can run them one at a time::

    from trelmon_tools import run
    sample = run.generated_sample(100, seed=0)
    finders = run.configure_finders(["GraphDFS"], ["max_scatter=0.3"])
    results = run.run_finders(sample, finders)
    print(run.format_table(sample, results))

``python -m trelmon_tools run`` chains them (see :mod:`trelmon_tools.cli`). With
``tables=True`` each finder's result carries its truth tables (:mod:`trelmon_tools.truth`),
which :func:`write_results` stores as Parquet files beside a JSON record of the run.
"""

from __future__ import annotations

import ast
import importlib.metadata
import inspect
import json
import math
import platform
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import trelmon

from . import finders, io, truth
from ._native import finder_parameters
from .files import StrPath, atomic_write, no_collection
from .generate import generate_columns
from .progress import progress, worker_threads

if TYPE_CHECKING:
    from trelmon.DetectorEvent import Event, Track

    from .pipeline import PlannedSample

__all__ = [
    "DEFAULT_EVENTS",
    "DEFAULT_SEED",
    "Finder",
    "FinderResult",
    "RunError",
    "Sample",
    "accepted_parameters",
    "build_events",
    "configure_finders",
    "directory_sample",
    "finder_classes",
    "format_table",
    "generated_sample",
    "parameter_defaults",
    "parse_param",
    "run_finders",
    "run_record",
    "sample_files",
    "solve",
    "validate",
    "write_json",
    "write_results",
]

#: The built-in sample: this many generated events of the sample with seed DEFAULT_SEED.
DEFAULT_EVENTS = 300
DEFAULT_SEED = 0


class RunError(Exception):
    """A problem with the run's input or settings; the message is one line naming it."""


# ---------------------------------------------------------------------------------- samples


def describe_sample(n: int, source: dict) -> str:
    """How tables and messages name a sample: "300 events generated with seed 0"."""
    if source["kind"] == "generated":
        where = f"generated with seed {source['seed']}"
    else:
        where = f"read from {source.get('directory') or source['path']}"
    return f"{n} event{'s' if n != 1 else ''} {where}"


@dataclass
class Sample:
    """Event dictionaries, what to call each one in messages, and where they came from."""

    events: list[dict]
    names: list[str]
    source: dict  # how the sample was made, for the record of the run

    def describe(self) -> str:
        return describe_sample(len(self.events), self.source)

    def counts(self) -> tuple[int, int, int]:
        """Events, hits and Monte Carlo particles of the sample."""
        hits = sum(len(e["x"]) for e in self.events)
        particles = sum(
            len(e["montecarlo"]["particles"]) if isinstance(e.get("montecarlo"), dict) else 0
            for e in self.events
        )
        return len(self.events), hits, particles


def generated_sample(n: int, seed: int = DEFAULT_SEED) -> Sample:
    """Events 0 to ``n - 1`` of the generated sample with ``seed``, default settings."""
    if n < 1:
        raise RunError(f"a sample needs at least one event, not {n}")
    events = []
    with progress(total=n, desc="generating") as bar:
        for batch in generate_columns(n, seed):
            events.extend(batch.to_dicts())
            bar.update(len(batch))
    return Sample(
        events,
        [f"event {i} (seed {seed})" for i in range(n)],
        {"kind": "generated", "events": n, "seed": seed},
    )


def sample_files(path: StrPath) -> list[Path]:
    """:func:`trelmon_tools.io.sample_files`, its refusals and an empty directory as
    :class:`RunError` lines."""
    try:
        paths = io.sample_files(path)
    except OSError as e:
        raise RunError(_os_message(e, path)) from None
    except ValueError as e:
        raise RunError(_one_line(str(e))) from None
    if not paths:
        raise RunError(f"{path}: no event files (*.parquet or *.json) in this directory")
    return paths


def directory_sample(path: StrPath) -> Sample:
    """The events of a Parquet event file, or of a directory of JSON or Parquet event files
    (see :mod:`trelmon_tools.io`)."""
    paths = sample_files(path)
    events: list[dict[str, Any]] = []
    names: list[str] = []
    # Decoded events hold many lists and no cycles: collecting while they pile up only walks
    # them again and again.
    with progress(total=len(paths), desc="loading", unit="file") as bar, no_collection():
        for file in paths:
            try:
                if io.is_parquet(file):
                    before = len(events)
                    events.extend(io.read_parquet(file))
                    names.extend(f"{file} row {k}" for k in range(len(events) - before))
                else:
                    events.append(io.read_event(file))
                    names.append(str(file))
            except io.EventFileError as e:
                raise RunError(_one_line(str(e))) from None
            except OSError as e:
                raise RunError(_os_message(e, file)) from None
            bar.update()
    if not events:
        raise RunError(f"{path}: holds no events")
    if Path(path).is_dir():
        source = {"kind": "directory", "events": len(events), "directory": str(path)}
    else:
        source = {"kind": "file", "events": len(events), "path": str(path)}
    return Sample(events, names, source)


def build_events(sample: Sample) -> list:
    """One ``trelmon.DetectorEvent.Event`` per event dictionary."""
    event_class = trelmon.DetectorEvent.Event
    events = []
    for name, data in zip(
        sample.names, progress(sample.events, desc="building events"), strict=True
    ):
        try:
            events.append(event_class(data))
        except (TypeError, ValueError, KeyError, OverflowError) as e:
            raise RunError(f"{name}: not a valid event: {_message(e)}") from None
    return events


# ---------------------------------------------------------------------------------- finders


@dataclass
class Finder:
    """A configured track finder: its class name, the object, and the parameters given."""

    name: str
    algorithm: Any
    parameters: dict[str, Any] = field(default_factory=dict)

    def effective_parameters(self) -> dict[str, Any]:
        """Every parameter of the finder with the value it runs with: the given one, or the
        default where none (or None) was given."""
        effective = parameter_defaults(type(self.algorithm))
        effective.update({k: v for k, v in self.parameters.items() if v is not None})
        return effective


def finder_classes() -> dict:
    """The track finder classes by name: this build of trelmon's, in registration order, then
    trelmon_tools' own."""
    module = trelmon.ReconstructionAlgorithms
    classes = {name: getattr(module, name) for name in getattr(module, "__all__", ())}
    if classes:
        classes.update(finders.FINDERS)
    return classes


def _accepts(cls, name: str) -> bool:
    # None selects a parameter's default, so only an unknown keyword can fail here.
    try:
        cls(**{name: None})
    except TypeError:
        return False
    return True


def parameter_defaults(cls: type) -> dict[str, Any]:
    """A finder's keyword parameters and their defaults, in constructor order.

    Read from the finders' parameter tables, the ones their constructors are built from. A
    class those tables do not describe falls back to its stored text signature, with unknown
    (None) defaults.
    """
    own = getattr(trelmon.ReconstructionAlgorithms, cls.__name__, None) is cls
    if own or finders.FINDERS.get(cls.__name__) is cls:
        table = finder_parameters().get(cls.__name__)
        if table is not None:
            return dict(table)
    try:
        names = [p for p in inspect.signature(cls).parameters if p not in ("cls", "self")]
    except (TypeError, ValueError):
        return {}
    # The stored signature may name a parameter the constructor refuses: ask the constructor.
    return {n: None for n in names if _accepts(cls, n)}


def accepted_parameters(cls: type) -> tuple[str, ...]:
    """Names of the keyword parameters a finder's constructor takes, in constructor order."""
    return tuple(parameter_defaults(cls))


def parse_param(text: str) -> tuple[str | None, str, Any, str]:
    """Split ``[FINDER.]NAME=VALUE`` into (finder or None, name, value, value as written).

    VALUE is read as a Python literal (``0.2``, ``(0.5, 0.5)``, ``True``, ``3``); anything
    else stays a string, for the finder to refuse with its own message.
    """
    key, sep, written = text.partition("=")
    finder, dot, name = key.strip().rpartition(".")
    if not sep or not name.isidentifier() or (dot and not finder):
        raise RunError(f"--param expects NAME=VALUE or FINDER.NAME=VALUE, not {text!r}")
    written = written.strip()
    try:
        value = ast.literal_eval(written)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        value = written
    return (finder or None), name, value, written


def _unknown_finder(name: str, classes: dict) -> RunError:
    available = ", ".join(classes) or "none in this build"
    return RunError(f"unknown finder {name!r} (available: {available})")


def _refusal(finder: str, name: str, cls, qualified: bool) -> RunError:
    known = ", ".join(accepted_parameters(cls)) or "none"
    hint = "" if qualified else f"; to set it for one finder only, give FINDER.{name}=VALUE"
    return RunError(f"{finder} has no parameter {name!r} (its parameters: {known}){hint}")


def configure_finders(
    names: Sequence[str] | None = None, params: Sequence[str] = ()
) -> list[Finder]:
    """Create the finders to run.

    ``names``: finder class names (all finders of the build when empty or None).
    ``params``: ``NAME=VALUE`` strings, given to every selected finder (each must take it),
    or ``FINDER.NAME=VALUE``, given to that finder only and winning over ``NAME=VALUE``.
    """
    classes = finder_classes()
    if not classes:
        raise RunError("this build of trelmon has no track finders")
    selected = list(dict.fromkeys(names or classes))
    for name in selected:
        if name not in classes:
            raise _unknown_finder(name, classes)

    settings: dict[str, dict[str, Any]] = {name: {} for name in selected}
    written: dict[str, dict[str, str]] = {name: {} for name in selected}
    specific = []
    for text in params:
        finder, key, value, raw = parse_param(text)
        if finder is not None:
            if finder not in classes:
                raise _unknown_finder(finder, classes)
            if finder not in settings:
                raise RunError(f"--param {text}: {finder} is not among the selected finders")
            specific.append((finder, key, value, raw))
            continue
        for name in selected:
            settings[name][key] = value
            written[name][key] = raw
    for finder, key, value, raw in specific:
        settings[finder][key] = value
        written[finder][key] = raw

    finders = []
    for name in selected:
        cls = classes[name]
        qualified = {key for finder, key, *_ in specific if finder == name}
        for key, value in settings[name].items():
            if not _accepts(cls, key):
                raise _refusal(name, key, cls, key in qualified)
            try:
                cls(**{key: value})
            except (TypeError, ValueError, OverflowError) as e:
                raise RunError(
                    f"{name}: bad value {written[name][key]} for {key}: {_message(e)}"
                ) from None
        finders.append(Finder(name, cls(**settings[name]), settings[name]))
    return finders


# ------------------------------------------------------------------------------ the run


@dataclass
class FinderResult:
    """One finder's run: the time its batches took, the detailed validation of its tracks
    (the dictionary of ``export_detailed_metrics_json``) and, when kept, the tracks and the
    truth tables (:class:`trelmon_tools.truth.TruthTables`)."""

    finder: Finder
    n_events: int
    solve_seconds: float
    metrics: dict
    tracks: list[list[Track]] | None = None
    tables: truth.TruthTables | None = None

    @property
    def name(self) -> str:
        return self.finder.name

    @property
    def events_per_second(self) -> float:
        if self.solve_seconds <= 0:
            return float("inf")
        return self.n_events / self.solve_seconds

    @property
    def tracks_per_event(self) -> float:
        # Every event is paired with its track list, so the validator counted every track.
        return self.metrics["total_tracks"] / self.n_events if self.n_events else 0.0

    def category(self, label: str) -> dict[str, Any] | None:
        """The category entry of the validation for ``label``, or None."""
        return next((c for c in self.metrics["categories"] if c["label"] == label), None)


def chunk_size() -> int:
    # Enough events per batch to keep every worker busy, few enough for a lively bar.
    return max(32, 8 * worker_threads())


def solve(
    finder: Finder, events: Sequence[Event], chunk: int | None = None
) -> tuple[list[list[Track]], float]:
    """Solve ``events`` with ``solve_batch`` in chunks; return (tracks per event, seconds
    spent inside ``solve_batch``)."""
    chunk = chunk or chunk_size()
    tracks, seconds = [], 0.0
    with progress(total=len(events), desc=f"solving ({finder.name})") as bar:
        for start in range(0, len(events), chunk):
            part = events[start : start + chunk]
            began = time.perf_counter()
            try:
                found = finder.algorithm.solve_batch(part)
            except ValueError as e:  # a bad TRELMON_NUM_THREADS
                raise RunError(_message(e)) from None
            seconds += time.perf_counter() - began
            tracks.extend(found)
            bar.update(len(part))
    return tracks, seconds


def validate(sample: Sample, tracks: list) -> dict:
    """The detailed validation of one finder's tracks against the sample's Monte Carlo truth."""
    try:
        return trelmon.Validator.export_detailed_metrics_json(sample.events, tracks, False)
    except (TypeError, ValueError, KeyError, RuntimeError, OverflowError) as e:
        raise RunError(f"validation failed: {_message(e)}") from None


def run_finders(
    sample: Sample,
    finders: Sequence[Finder],
    events: Sequence[Event] | None = None,
    *,
    keep_tracks: bool = True,
    tables: bool = False,
) -> list[FinderResult]:
    """Solve the sample with each finder and validate its tracks, one finder after another.

    ``keep_tracks=False`` drops each finder's tracks once validated, which bounds the memory
    of a large sample to one finder's tracks. ``tables=True`` keeps each finder's truth tables.
    """
    if events is None:
        events = build_events(sample)
    results = []
    with progress(total=len(finders), desc="finders", unit="finder") as bar:
        for finder in finders:
            bar.set_postfix_str(f"solving with {finder.name}")
            tracks, seconds = solve(finder, events)
            bar.set_postfix_str(f"validating {finder.name}")
            metrics = validate(sample, tracks)
            # Read as the validator has just read them, so they cannot fail here.
            found = truth.truth_tables(sample.events, tracks) if tables else None
            results.append(
                FinderResult(
                    finder, len(events), seconds, metrics, tracks if keep_tracks else None, found
                )
            )
            bar.update()
    return results


# ------------------------------------------------------------------------------ reports


def _percent(value) -> str:
    return "-" if value is None else f"{value:.1f}%"


def _rate(value: float) -> str:
    if value == float("inf"):
        return "inf"
    return f"{value:,.0f}" if value >= 100 else f"{value:.3g}"


def format_table(sample: Sample | PlannedSample, results: list) -> str:
    """The side-by-side comparison of the finders, as aligned text. ``sample`` is a
    :class:`Sample` or the :class:`trelmon_tools.pipeline.PlannedSample` of a partitioned run."""
    n, n_hits, n_particles = sample.counts()
    hits = n_hits / n if n else 0.0
    particles = n_particles / n if n else 0.0
    threads = worker_threads()
    title = (
        f"trelmon: {sample.describe()}, {hits:,.0f} hits and {particles:,.0f} particles "
        f"per event; {threads} thread{'s' if threads != 1 else ''}"
    )

    rows: list[tuple[str, list[str] | None]] = [
        ("events per second", [_rate(r.events_per_second) for r in results]),
        ("tracks per event", [f"{r.tracks_per_event:.1f}" for r in results]),
        ("ghost rate", [_percent(r.metrics["overall_ghost_rate"]) for r in results]),
    ]
    for label in truth.CATEGORIES:
        entries = [r.category(label) for r in results]
        present = [e for e in entries if e is not None]
        if not present:
            continue
        rows.append((f"{label} ({max(e['n_particles'] for e in present):,} particles)", None))
        for title_, key in (
            ("reconstruction efficiency", "recoeffT"),
            ("clone rate", "clone_percentage"),
            ("purity", "purityT"),
            ("hit efficiency", "hit_eff_percentage"),
        ):
            rows.append((f"  {title_}", [_percent(e and e[key]) for e in entries]))

    names = [r.name for r in results]
    first = max(len(label) for label, _ in rows)
    widths = [
        max(len(name), *(len(cells[i]) for _, cells in rows if cells))
        for i, name in enumerate(names)
    ]
    lines = [
        title,
        "",
        "  ".join([" " * first, *(n.rjust(w) for n, w in zip(names, widths, strict=True))]),
    ]
    for label, cells in rows:
        if cells is None:
            lines.append(label)
        else:
            lines.append(
                "  ".join(
                    [label.ljust(first), *(c.rjust(w) for c, w in zip(cells, widths, strict=True))]
                )
            )
    return "\n".join(line.rstrip() for line in lines)


def versions() -> dict[str, str | None]:
    """Versions of this package, the interpreter and the libraries a run depends on."""
    found: dict[str, str | None] = {"python": platform.python_version()}
    for package in ("trelmon", "numpy", "pyarrow", "matplotlib"):
        try:
            found[package] = importlib.metadata.version(package)
        except importlib.metadata.PackageNotFoundError:
            found[package] = None
    return found


def run_record(sample: Sample | PlannedSample, results: list) -> dict:
    """Everything about the run, ready for a JSON encoder."""
    return {
        "sample": dict(sample.source),
        "threads": worker_threads(),
        "versions": versions(),
        "finders": {
            r.name: {
                "parameters": {k: _jsonable(v) for k, v in r.finder.effective_parameters().items()},
                "events_per_second": _jsonable(r.events_per_second),
                "solve_seconds": r.solve_seconds,
                "tracks_per_event": r.tracks_per_event,
                "validation": r.metrics,
            }
            for r in results
        },
    }


def _jsonable(value):
    # JSON has no infinities or NaN: such a parameter is recorded as Python writes it.
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    if isinstance(value, (tuple, list)):
        return [_jsonable(v) for v in value]
    return value


def write_json(path: StrPath, record: dict[str, Any]) -> None:
    path = Path(path)
    try:
        text = json.dumps(record, indent=1, allow_nan=False)
    except ValueError as e:
        raise RunError(f"cannot write {path} as JSON: {e}") from None
    try:
        with atomic_write(path) as f:
            f.write(text + "\n")
    except OSError as e:
        raise RunError(_os_message(e, path)) from None


def write_results(directory: StrPath, sample: Sample, results: list[FinderResult]) -> list[Path]:
    """Store a run in ``directory`` (created if needed): for each finder,
    ``FINDER/tracks.parquet`` and ``FINDER/particles.parquet`` (its truth tables), and
    ``run.json`` (:func:`run_record`). Each file appears whole or not at all. Returns the
    paths written."""
    import pyarrow.parquet as pq

    tables = [r.tables for r in results if r.tables is not None]
    if len(tables) != len(results):
        raise ValueError("the result files need each finder's truth tables: run with tables=True")
    directory = Path(directory)
    paths = []
    for r, pair in zip(results, tables, strict=True):
        folder = directory / r.name
        for name, table in (("tracks", pair.tracks), ("particles", pair.particles)):
            path = folder / f"{name}.parquet"
            try:
                folder.mkdir(parents=True, exist_ok=True)
                with atomic_write(path, "wb") as f:
                    pq.write_table(table, f)
            except OSError as e:
                raise RunError(_os_message(e, path)) from None
            paths.append(path)
    path = directory / "run.json"
    write_json(path, run_record(sample, results))
    paths.append(path)
    return paths


# ------------------------------------------------------------------------------ messages


def _message(e: BaseException) -> str:
    # A KeyError's str() is the repr of its key; its first argument reads better.
    text = e.args[0] if isinstance(e, KeyError) and e.args else str(e)
    return _one_line(str(text))


def _one_line(text: str) -> str:
    return " ".join(text.split())


def _os_message(e: OSError, path) -> str:
    # Errors raised by the io module already name the path; the system's own do not.
    return f"{path}: {e.strerror}" if e.strerror else _message(e)
