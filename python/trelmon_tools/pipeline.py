"""A sample in partitions: each one read, reconstructed and validated on its own, the results
combined in partition order into exactly the figures of one pass over the whole sample.

A partition is a range of a generated sample's event indices, consecutive row groups of one
Parquet event file, or a group of JSON event files. :func:`process_partition` turns one into a
:class:`PartitionResult`: per finder, what each event adds to the validator's figures (counts,
and the very floating-point terms the validator adds to its running sums) and, when asked, the
truth tables. :class:`Merger` folds those results in partition order, so the figures, the
detailed validation and the result files are the same to the last bit whatever the number of
partitions, where they ran and in which order they finished.

:func:`run_plan` drives the partitions one after another in this process, which bounds the
memory of a run by one partition, or on a ``distributed.Client`` (:mod:`trelmon_tools.cluster`)::

    from trelmon_tools import pipeline, run
    plan = pipeline.plan_generated(1000, seed=0, partition_size=100)
    outcome = pipeline.run_plan(plan, run.configure_finders(["TrackFollowing"]))
    print(run.format_table(outcome.sample, outcome.results))
"""

from __future__ import annotations

import contextlib
import os
import time
from collections.abc import Generator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from . import io, parquet, truth
from .files import StrPath, atomic_write, no_collection
from .generate import generate_columns
from .progress import progress

if TYPE_CHECKING:
    import pyarrow as pa

    from .run import Finder, FinderResult

__all__ = [
    "DEFAULT_PARTITION_EVENTS",
    "McColumns",
    "Merger",
    "Outcome",
    "Partition",
    "PartitionResult",
    "Plan",
    "PlannedSample",
    "Validation",
    "plan_files",
    "partition_results",
    "plan_generated",
    "process_partition",
    "run_plan",
]

#: Events per partition unless told otherwise: enough to keep a batch's threads busy and
#: spread a task's fixed cost, few enough that a partition's events and tracks stay far below
#: a gigabyte (about 1.2 MB per default event while it is being processed).
DEFAULT_PARTITION_EVENTS = 200

# Rows per row group of the result files: fixed, so that the files do not depend on how the
# sample was partitioned.
RESULT_ROW_GROUP_ROWS = 65536


# ------------------------------------------------------------------------------- partitions


@dataclass(frozen=True)
class Partition:
    """One task's share of a sample: events ``first`` to ``first + count - 1`` of it.

    ``kind`` "generated": events ``start`` to ``start + count - 1`` of the sample with
    ``seed``. "parquet": row groups ``row_groups`` of the file ``paths[0]`` (all of them when
    None: a file whose footer could not be read), its first row being row ``start`` of the
    file. "json": one event per file of ``paths``.
    """

    index: int
    kind: str
    first: int
    count: int
    paths: tuple[str, ...] = ()
    row_groups: tuple[int, ...] | None = None
    start: int = 0
    seed: int = 0

    def describe(self) -> str:
        if self.kind == "generated":
            last = self.start + self.count - 1
            return f"events {self.start} to {last} of the sample with seed {self.seed}"
        if self.kind == "parquet":
            if self.row_groups is None:
                return self.paths[0]
            groups = self.row_groups
            span = f"{groups[0]}" if len(groups) == 1 else f"{groups[0]} to {groups[-1]}"
            return f"{self.paths[0]} row group{'s' if len(groups) > 1 else ''} {span}"
        if len(self.paths) == 1:
            return self.paths[0]
        return f"{self.paths[0]} to {self.paths[-1]}"


@dataclass
class PlannedSample:
    """What a run's title and record say about its sample; the counts are known once every
    partition has been processed."""

    source: dict
    n_events: int = 0
    n_hits: int = 0
    n_particles: int = 0

    def describe(self) -> str:
        from .run import describe_sample

        return describe_sample(self.n_events, self.source)

    def counts(self) -> tuple[int, int, int]:
        return self.n_events, self.n_hits, self.n_particles


@dataclass
class Plan:
    """A sample split into partitions, in sample order."""

    partitions: list[Partition]
    source: dict

    @property
    def n_events(self) -> int:
        """Events of the sample, as far as known before reading it (see ``counted``)."""
        return sum(p.count for p in self.partitions)

    @property
    def counted(self) -> bool:
        """Whether every partition's events were counted: False when a Parquet file's footer
        could not be read (its partition fails, or is skipped, when processed)."""
        return all(p.kind != "parquet" or p.row_groups is not None for p in self.partitions)


def _check_size(partition_size: int) -> None:
    if isinstance(partition_size, bool) or not isinstance(partition_size, int):
        raise TypeError(f"partition_size must be an integer, not {partition_size!r}")
    if partition_size < 1:
        raise ValueError(f"partition_size must be at least 1, not {partition_size}")


def plan_generated(n: int, seed: int = 0, partition_size: int = DEFAULT_PARTITION_EVENTS) -> Plan:
    """Events 0 to ``n - 1`` of the generated sample with ``seed``, ``partition_size`` events
    per partition."""
    from .run import RunError

    _check_size(partition_size)
    if n < 1:
        raise RunError(f"a sample needs at least one event, not {n}")
    partitions = [
        Partition(k, "generated", first, min(partition_size, n - first), start=first, seed=seed)
        for k, first in enumerate(range(0, n, partition_size))
    ]
    return Plan(partitions, {"kind": "generated", "events": n, "seed": seed})


def _row_group_sizes(path: Path) -> list[int] | None:
    # The footer alone; a file whose footer cannot be read becomes one partition that fails
    # (or is skipped) when it is processed, like any other unreadable partition.
    import pyarrow as pa
    import pyarrow.parquet as pq

    try:
        metadata = pq.ParquetFile(path).metadata
    except (pa.ArrowException, OSError):
        return None
    return [metadata.row_group(i).num_rows for i in range(metadata.num_row_groups)]


def plan_files(path: StrPath, partition_size: int = DEFAULT_PARTITION_EVENTS) -> Plan:
    """The events of a Parquet event file or of a directory of Parquet or JSON event files (as
    :func:`trelmon_tools.io.sample_files` finds them): consecutive row groups of one Parquet
    file up to ``partition_size`` events (at least one row group), or ``partition_size`` JSON
    files, per partition."""
    from .run import sample_files

    _check_size(partition_size)
    paths = sample_files(path)
    partitions: list[Partition] = []
    first = 0

    def add(count: int, files: tuple[str, ...], kind: str, **more: Any) -> None:
        nonlocal first
        partitions.append(Partition(len(partitions), kind, first, count, files, **more))
        first += count

    json_files = [str(p) for p in paths if not io.is_parquet(p)]
    for k in range(0, len(json_files), partition_size):
        chunk = tuple(json_files[k : k + partition_size])
        add(len(chunk), chunk, "json")
    for file in (p for p in paths if io.is_parquet(p)):
        sizes = _row_group_sizes(file)
        if sizes is None:
            add(0, (str(file),), "parquet", row_groups=None)
            continue
        group: list[int] = []
        rows = row = 0
        for g, size in enumerate(sizes):
            if group and rows + size > partition_size:
                add(rows, (str(file),), "parquet", row_groups=tuple(group), start=row - rows)
                group, rows = [], 0
            group.append(g)
            rows += size
            row += size
        if group:
            add(rows, (str(file),), "parquet", row_groups=tuple(group), start=row - rows)
    if Path(path).is_dir():
        source = {"kind": "directory", "events": first, "directory": str(path)}
    else:
        source = {"kind": "file", "events": first, "path": str(path)}
    return Plan(partitions, source)


# ------------------------------------------------------------------------------- reading


class PartitionError(Exception):
    """A partition that cannot be read or holds an invalid event; the message names it."""


@dataclass
class McColumns:
    """A partition's Monte Carlo tables as columns, one entry per row group read:
    (events, columns for :func:`trelmon_tools._native.validation_terms_columns`)."""

    groups: list[tuple[int, dict[str, tuple]]] = field(default_factory=list)
    n_particles: int = 0


def _parquet_events(
    partition: Partition, columns: McColumns | None = None
) -> tuple[list[dict], list[str]]:
    import pyarrow as pa

    path = partition.paths[0]
    if partition.row_groups is None:
        # The footer failed when the run was planned: let the reader say why.
        whole = list(io.read_parquet(path))
        return whole, [f"{path} row {k}" for k in range(len(whole))]
    try:
        file = parquet.open_event_file(path)
    except parquet.ParquetEventError as e:
        raise io.EventFileError(path, str(e)) from None
    events: list[dict] = []
    for g in partition.row_groups:
        try:
            # Arrow's threads decode the columns side by side: a cold first read on one thread
            # often costs several times as long.
            table = file.read_row_group(g, use_threads=True)
            if columns is None:
                events.extend(parquet.row_group_events(table))
            else:
                group, arrays, particles = parquet.row_group_columns(table)
                events.extend(group)
                columns.groups.append((len(group), arrays))
                columns.n_particles += particles
        except (pa.ArrowException, OSError, ValueError) as e:
            reason = parquet.ParquetEventError(parquet.first_line(e), g)
            raise io.EventFileError(path, str(reason)) from None
    start = partition.start
    return events, [f"{path} row {start + k}" for k in range(len(events))]


def read_partition(
    partition: Partition, columns: McColumns | None = None
) -> tuple[list[dict], list[str]]:
    """The event dictionaries of a partition and what to call each one in messages.

    With ``columns``, the events of a Parquet partition come without their Monte Carlo tables
    ("montecarlo" is None), which are added to ``columns`` instead; other partitions ignore it.
    Raises :class:`PartitionError` with one line naming what could not be read."""
    from .run import _message, _os_message

    try:
        # Decoded events hold many lists and no cycles: collecting while they pile up only
        # walks them again and again.
        with no_collection():
            return _read(partition, columns)
    except io.EventFileError as e:
        raise PartitionError(_message(e)) from None
    except OSError as e:
        raise PartitionError(_os_message(e, e.filename or partition.describe())) from None


def _read(partition: Partition, columns: McColumns | None) -> tuple[list[dict], list[str]]:
    if partition.kind == "generated":
        events: list[dict] = []
        for batch in generate_columns(partition.count, partition.seed, start=partition.start):
            events.extend(batch.to_dicts())
        start, seed = partition.start, partition.seed
        return events, [f"event {start + k} (seed {seed})" for k in range(len(events))]
    if partition.kind == "parquet":
        return _parquet_events(partition, columns)
    return [io.read_event(p) for p in partition.paths], list(partition.paths)


# ------------------------------------------------------------------------------- processing


@dataclass
class FinderPart:
    """One finder's work on one partition."""

    solve_seconds: float
    terms: dict[str, np.ndarray]  # trelmon_tools._native.validation_terms as arrays
    tracks: pa.Table | None = None  # truth tables, event numbers local to the partition
    particles: pa.Table | None = None


@dataclass
class PartitionResult:
    """What a task sends back: small (a few hundred bytes per event without tables)."""

    index: int
    n_events: int = 0
    n_hits: int = 0
    n_particles: int = 0
    finders: list[FinderPart] = field(default_factory=list)
    event: dict | None = None  # the event asked for by keep_event, as read
    error: str | None = None  # why the partition could not be processed
    # wall seconds of read, build, solve and validate; cpu: the process's CPU seconds meanwhile
    seconds: dict[str, float] = field(default_factory=dict)


def _terms(
    events: list[dict], tracks: list, columns: McColumns | None = None
) -> dict[str, np.ndarray]:
    from . import _native

    if columns is None:
        raw = _native.validation_terms(events, tracks)
        return {name: np.frombuffer(data, dtype=dtype) for name, (dtype, data) in raw.items()}
    # One call per row group; the terms of consecutive events follow one another.
    parts: dict[str, list[np.ndarray]] = {}
    first = 0
    for count, arrays in columns.groups:
        raw = _native.validation_terms_columns(arrays, tracks[first : first + count])
        first += count
        for name, (dtype, data) in raw.items():
            parts.setdefault(name, []).append(np.frombuffer(data, dtype=dtype))
    return {name: np.concatenate(arrays) for name, arrays in parts.items()}


def _build_events(dicts: list[dict], columns: McColumns | None) -> list | None:
    """The events of a partition read as columns, built row group by row group on trelmon's
    worker pool; None for any other partition, or when an event is refused (the caller then
    builds event by event, which names it)."""
    from . import _native

    if columns is None or not columns.groups:
        return None
    built: list = []
    try:
        for _, arrays in columns.groups:
            built.extend(_native.events_from_columns(arrays))
    except ValueError:
        return None
    return built


def process_partition(
    partition: Partition,
    finders: Sequence[Finder],
    tables: bool = False,
    keep_event: int | None = None,
) -> PartitionResult:
    """Read, build, solve with each finder and match one partition. A partition that cannot
    be read or holds an invalid event comes back with ``error`` set, never as an exception, so
    that the driver decides whether that ends the run."""
    import trelmon

    from .run import RunError, _message

    result = PartitionResult(partition.index)
    began, cpu = time.perf_counter(), time.process_time()
    # A run that needs only the figures reads Parquet Monte Carlo tables as columns.
    columns = None if tables or keep_event is not None else McColumns()
    try:
        dicts, names = read_partition(partition, columns)
    except PartitionError as e:
        result.error = str(e)
        return result
    read = time.perf_counter()
    built = _build_events(dicts, columns)
    if built is None:
        event_class = trelmon.DetectorEvent.Event
        built = []
        for name, data in zip(names, dicts, strict=True):
            try:
                built.append(event_class(data))
            except (TypeError, ValueError, KeyError, OverflowError) as e:
                result.error = f"{name}: not a valid event: {_message(e)}"
                return result
    result.seconds = {"read": read - began, "build": time.perf_counter() - read}
    result.seconds.update(solve=0.0, validate=0.0)
    result.n_events = len(dicts)
    result.n_hits = sum(len(e["x"]) for e in dicts)
    if columns is not None and columns.groups:
        result.n_particles = columns.n_particles
    else:
        columns = None
        result.n_particles = sum(
            len(e["montecarlo"]["particles"]) if isinstance(e.get("montecarlo"), dict) else 0
            for e in dicts
        )
    if keep_event is not None and 0 <= keep_event < len(dicts):
        result.event = dicts[keep_event]
    for finder in finders:
        t0 = time.perf_counter()
        try:
            found = finder.algorithm.solve_batch(built)
        except ValueError as e:  # a bad TRELMON_NUM_THREADS
            raise RunError(_message(e)) from None
        t1 = time.perf_counter()
        try:
            part = FinderPart(t1 - t0, _terms(dicts, found, columns))
            if tables:
                pair = truth.truth_tables(dicts, found)
                part.tracks, part.particles = pair.tracks, pair.particles
        except (TypeError, ValueError, KeyError, RuntimeError, OverflowError) as e:
            raise RunError(f"validation failed: {_message(e)}") from None
        result.seconds["solve"] += t1 - t0
        result.seconds["validate"] += time.perf_counter() - t1
        result.finders.append(part)
        del found
    result.seconds["cpu"] = time.process_time() - cpu
    return result


# ------------------------------------------------------------------------------- merging


_EFFICIENCY_KEYS = (
    "label",
    "n_reco",
    "n_particles",
    "recoeffT",
    "avg_recoeff",
    "n_clones",
    "clone_percentage",
    "purityT",
    "avg_purity",
    "avg_hiteff",
    "hit_eff_percentage",
)


# The per-category terms in the order _Efficiency.add takes them.
_TERM_NAMES = (
    "n_particles",
    "n_reco",
    "n_clones",
    "purity_sum",
    "hiteff_sum",
    "n_hiteff",
    "avg_purity",
    "avg_hiteff",
)


def _running_sum(start: float, terms: np.ndarray) -> float:
    """``start`` plus each term in turn, rounding after every addition as a loop would."""
    if len(terms) == 0:
        return start
    return float(np.add.accumulate(np.concatenate(([start], terms)))[-1])


class _Efficiency:
    """One category's figures, folded event by event the way the validator folds them."""

    __slots__ = (
        "label",
        "n_particles",
        "n_reco",
        "purity_sum",
        "n_clones",
        "hiteff_sum",
        "n_hiteff",
        "recoeffT",
        "purityT",
        "avg_recoeff",
        "avg_purity",
        "avg_hiteff",
    )

    def __init__(self, label: str):
        self.label = label
        self.n_particles = self.n_reco = self.n_clones = self.n_hiteff = 0
        self.purity_sum = self.hiteff_sum = 0.0
        self.recoeffT = self.purityT = self.avg_recoeff = 0.0
        self.avg_purity = self.avg_hiteff = 0.0

    def add(self, n_particles, n_reco, n_clones, purity, hiteff, n_hiteff, avg_purity, avg_hit):
        # Same operations in the same order as the validator, on the same doubles.
        self.n_particles += n_particles
        self.n_reco += n_reco
        self.avg_recoeff = (
            float(self.n_reco) / float(self.n_particles) * 100.0 if self.n_particles > 0 else 0.0
        )
        self.n_clones += n_clones
        self.purity_sum += purity
        self.hiteff_sum += hiteff
        self.n_hiteff += n_hiteff
        self.avg_hiteff = avg_hit
        self.avg_purity = avg_purity
        if self.n_particles > 0:
            self.recoeffT = 100.0 * float(self.n_reco) / float(self.n_particles)
        if self.n_reco > 0:
            self.purityT = self.purity_sum * 100.0 / float(self.n_reco + self.n_clones)

    def add_block(
        self, n_particles, n_reco, n_clones, purity, hiteff, n_hiteff, avg_purity, avg_hit
    ):
        """``add`` for several events at once (arrays in event order, at least one event)."""
        self.n_particles += int(n_particles.sum())
        self.n_reco += int(n_reco.sum())
        self.n_clones += int(n_clones.sum())
        self.n_hiteff += int(n_hiteff.sum())
        self.purity_sum = _running_sum(self.purity_sum, purity)
        self.hiteff_sum = _running_sum(self.hiteff_sum, hiteff)
        self.avg_hiteff = float(avg_hit[-1])
        self.avg_purity = float(avg_purity[-1])
        # The counts never fall, so the last event's ratios are those of the totals.
        self.avg_recoeff = (
            float(self.n_reco) / float(self.n_particles) * 100.0 if self.n_particles > 0 else 0.0
        )
        if self.n_particles > 0:
            self.recoeffT = 100.0 * float(self.n_reco) / float(self.n_particles)
        if self.n_reco > 0:
            self.purityT = self.purity_sum * 100.0 / float(self.n_reco + self.n_clones)

    def clone_percentage(self) -> float:
        return float(self.n_clones) * 100.0 / float(self.n_reco) if self.n_reco else 0.0

    def hit_eff_percentage(self) -> float:
        return self.hiteff_sum * 100.0 / float(self.n_hiteff) if self.n_hiteff else 0.0

    def entry(self) -> dict[str, Any]:
        values = (
            self.label,
            self.n_reco,
            self.n_particles,
            self.recoeffT,
            self.avg_recoeff,
            self.n_clones,
            self.clone_percentage(),
            self.purityT,
            self.avg_purity,
            self.avg_hiteff,
            self.hit_eff_percentage(),
        )
        return dict(zip(_EFFICIENCY_KEYS, values, strict=True))

    def line(self) -> str:
        return (
            f"{self.label:<20} {self.n_reco:6d} from {self.n_particles:6d} "
            f"({self.recoeffT:5.1f}%, {self.avg_recoeff:5.1f}%) {self.n_clones:4d} clones "
            f"({self.clone_percentage():5.2f}%), purity: ({self.purityT:6.2f}%, "
            f"{self.avg_purity:6.2f}%), hitEff: ({self.avg_hiteff:6.2f}%, "
            f"{self.hit_eff_percentage():6.2f}%)"
        )


class Validation:
    """The validator's pass over a sample, fed one block of events at a time (in sample order)
    with the terms of :func:`trelmon_tools._native.validation_terms`. Its figures equal those of
    ``trelmon.Validator`` over all the events at once, bit for bit."""

    def __init__(self, detailed: bool = False):
        self.total_tracks = 0
        self.total_ghosts = 0
        self.ghost_rate_sum = 0.0
        self.n_events = 0
        self.efficiencies: list[_Efficiency | None] = [None] * len(truth.CATEGORIES)
        self.events: dict[str, list[dict]] | None = {} if detailed else None

    def add(self, terms: dict[str, np.ndarray]) -> None:
        n = len(terms["tracks"])
        if self.events is not None:
            self._add_each(terms, n, self.events)
            return
        # Without per-event figures a block folds column by column: counts add in any order,
        # and the float sums still take their terms one at a time in event order
        # (np.add.accumulate is sequential), so every figure equals that of the event loop.
        k = len(truth.CATEGORIES)
        self.total_tracks += int(terms["tracks"].sum())
        self.total_ghosts += int(terms["ghosts"].sum())
        self.ghost_rate_sum = _running_sum(self.ghost_rate_sum, terms["ghost_fraction"])
        self.n_events += n
        present = terms["present"].reshape(n, k) != 0
        for c in np.flatnonzero(present.any(axis=0)).tolist():
            rows = present[:, c]
            efficiency = self.efficiencies[c]
            if efficiency is None:
                efficiency = self.efficiencies[c] = _Efficiency(truth.CATEGORIES[c])
            efficiency.add_block(*(terms[name].reshape(n, k)[rows, c] for name in _TERM_NAMES))

    def _add_each(self, terms: dict[str, np.ndarray], n: int, events: dict[str, list]) -> None:
        k = len(truth.CATEGORIES)
        columns = [terms[name].reshape(n, k).tolist() for name in ("present", *_TERM_NAMES)]
        tracks = terms["tracks"].tolist()
        ghosts = terms["ghosts"].tolist()
        fractions = terms["ghost_fraction"].tolist()
        efficiencies = self.efficiencies
        for e in range(n):
            self.total_tracks += tracks[e]
            self.total_ghosts += ghosts[e]
            self.ghost_rate_sum += fractions[e]
            present = columns[0][e]
            for c in range(k):
                if not present[c]:
                    continue
                efficiency = efficiencies[c]
                if efficiency is None:
                    efficiency = efficiencies[c] = _Efficiency(truth.CATEGORIES[c])
                efficiency.add(*(column[e][c] for column in columns[1:]))
            self.n_events += 1
            events[str(self.n_events)] = [x.entry() for x in efficiencies if x]

    def summary(self) -> dict[str, Any]:
        """As ``trelmon.Validator.export_validation_to_json`` (the detailed export's
        ``events`` too when built with ``detailed=True``)."""
        result: dict[str, Any] = {
            "total_tracks": self.total_tracks,
            "total_ghosts": self.total_ghosts,
            "overall_ghost_rate": (
                float(self.total_ghosts) * 100.0 / float(self.total_tracks)
                if self.total_tracks
                else 0.0
            ),
            "event_avg_ghost_rate": (
                self.ghost_rate_sum * 100.0 / float(self.n_events) if self.n_events else 0.0
            ),
            "categories": [x.entry() for x in self.efficiencies if x],
        }
        if self.events is not None:
            result["events"] = self.events
        return result

    def summary_lines(self) -> list[str]:
        """The lines of ``trelmon.Validator.print_validation_summary``, without line breaks."""
        if self.n_events == 0:
            return ["No events found."]
        figures = self.summary()
        lines = [
            f"{self.total_tracks} tracks including {self.total_ghosts} ghosts "
            f"({figures['overall_ghost_rate']:.1f}%). Event average ghost rate: "
            f"{figures['event_avg_ghost_rate']:.1f}%"
        ]
        lines.extend(x.line() for x in self.efficiencies if x)
        return lines


class _TableFile:
    """A result table written in row groups of a fixed size as parts arrive, whatever their
    sizes; the file appears whole when closed, or not at all."""

    def __init__(self, path: Path, stack: contextlib.ExitStack):
        self.path = path
        self.stack = stack
        self.writer: Any = None
        self.pending: list[pa.Table] = []
        self.rows = 0

    def add(self, table: pa.Table) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        if self.writer is None:
            from .run import RunError, _os_message

            try:
                self.path.parent.mkdir(parents=True, exist_ok=True)
                f = self.stack.enter_context(atomic_write(self.path, "wb"))
            except OSError as e:
                raise RunError(_os_message(e, self.path)) from None
            self.writer = self.stack.enter_context(pq.ParquetWriter(f, table.schema))
        self.pending.append(table)
        self.rows += table.num_rows
        if self.rows >= RESULT_ROW_GROUP_ROWS:
            whole = pa.concat_tables(self.pending).combine_chunks()
            cut = self.rows - self.rows % RESULT_ROW_GROUP_ROWS
            for start in range(0, cut, RESULT_ROW_GROUP_ROWS):
                self.writer.write_table(whole.slice(start, RESULT_ROW_GROUP_ROWS))
            self.pending = [whole.slice(cut)] if cut < self.rows else []
            self.rows -= cut

    def finish(self) -> None:
        import pyarrow as pa

        if self.pending and self.rows:
            self.writer.write_table(pa.concat_tables(self.pending).combine_chunks())
        self.pending = []


def _offset_events(table: pa.Table, first: int) -> pa.Table:
    import pyarrow as pa
    import pyarrow.compute as pc

    column = table.column("event")
    shifted = pc.add(column, pa.scalar(first, column.type))
    return table.set_column(table.column_names.index("event"), "event", shifted)


class Merger:
    """Folds partition results in partition order, holding back those that finish early.

    ``output``: a directory for each finder's truth tables (FINDER/tracks.parquet and
    FINDER/particles.parquet), written as the parts arrive. ``keep_tables``: also keep the
    tables in memory (the figures need them). ``skip_bad``: a partition that cannot be read is
    listed in ``skipped`` instead of ending the run.
    """

    def __init__(
        self,
        plan: Plan,
        finders: Sequence[Finder],
        *,
        detailed: bool = False,
        output: Path | None = None,
        keep_tables: bool = False,
        skip_bad: bool = False,
    ):
        self.plan = plan
        self.finders = list(finders)
        self.validations = [Validation(detailed) for _ in self.finders]
        self.solve_seconds = [0.0] * len(self.finders)
        self.sample = PlannedSample(dict(plan.source))
        self.skipped: list[str] = []
        self.event: dict | None = None
        self.seconds: dict[str, float] = {}
        self.skip_bad = skip_bad
        self.keep_tables = keep_tables
        self.kept: list[tuple[list, list]] = [([], []) for _ in self.finders]
        self._waiting: dict[int, PartitionResult] = {}
        self._next = 0
        self._stack = contextlib.ExitStack()
        self._files: list[tuple[_TableFile, _TableFile]] | None = None
        if output is not None:
            self._files = [
                (
                    _TableFile(output / f.name / "tracks.parquet", self._stack),
                    _TableFile(output / f.name / "particles.parquet", self._stack),
                )
                for f in self.finders
            ]

    def add(self, result: PartitionResult) -> None:
        """Take one partition's result; raises RunError for a failed partition unless failures
        are skipped."""
        from .run import RunError

        if result.error is not None and not self.skip_bad:
            raise RunError(result.error)
        self._waiting[result.index] = result
        while self._next in self._waiting:
            self._fold(self._waiting.pop(self._next))
            self._next += 1

    def _fold(self, result: PartitionResult) -> None:
        if result.error is not None:
            self.skipped.append(result.error)
            return
        first = self.sample.n_events
        self.sample.n_events += result.n_events
        self.sample.n_hits += result.n_hits
        self.sample.n_particles += result.n_particles
        if result.event is not None:
            self.event = result.event
        for name, value in result.seconds.items():
            self.seconds[name] = self.seconds.get(name, 0.0) + value
        for i, part in enumerate(result.finders):
            self.validations[i].add(part.terms)
            self.solve_seconds[i] += part.solve_seconds
            if part.tracks is None or part.particles is None:
                continue
            tracks = _offset_events(part.tracks, first)
            particles = _offset_events(part.particles, first)
            if self._files is not None:
                for file, table in zip(self._files[i], (tracks, particles), strict=True):
                    if table.num_rows or file.writer is None:
                        file.add(table)
            if self.keep_tables:
                self.kept[i][0].append(tracks)
                self.kept[i][1].append(particles)

    @property
    def done(self) -> bool:
        return self._next == len(self.plan.partitions)

    def results(self) -> list[FinderResult]:
        """Each finder's result, as :func:`trelmon_tools.run.run_finders` gives it."""
        import pyarrow as pa

        from .run import FinderResult

        self.sample.source["events"] = self.sample.n_events
        results = []
        for i, finder in enumerate(self.finders):
            tables = None
            if self.keep_tables and self.kept[i][0]:
                tables = truth.TruthTables(
                    pa.concat_tables(self.kept[i][0]), pa.concat_tables(self.kept[i][1])
                )
            results.append(
                FinderResult(
                    finder,
                    self.sample.n_events,
                    self.solve_seconds[i],
                    self.validations[i].summary(),
                    None,
                    tables,
                )
            )
        return results

    def finish(self) -> list[Path]:
        """Close the result files (they appear now); return their paths."""
        paths = []
        if self._files is not None:
            for pair in self._files:
                for file in pair:
                    if file.writer is not None:
                        file.finish()
                        paths.append(file.path)
        self._stack.close()
        return paths

    def abandon(self) -> None:
        """Drop the result files: none of them appears."""
        with contextlib.suppress(BaseException):
            self._stack.__exit__(RuntimeError, RuntimeError("abandoned"), None)


@dataclass
class Outcome:
    """A finished run: the sample's description, each finder's result, the figures' event and
    the partitions skipped (their messages)."""

    sample: PlannedSample
    results: list[FinderResult]
    validations: list[Validation]
    event: dict | None
    skipped: list[str]
    files: list[Path]
    seconds: dict[str, float]


def partition_results(
    plan: Plan,
    finders: Sequence[Finder],
    *,
    client: Any = None,
    processes: int = 1,
    tables: bool = False,
    display_event: int | None = None,
) -> Generator[PartitionResult, None, None]:
    """Process the partitions of ``plan`` and yield their results as they finish: one after
    another here, in order from a pool of ``processes`` worker processes (each solving on one
    thread), or in any order on a ``distributed.Client``. Feed them to a :class:`Merger`.
    """
    keep: dict[int, int | None] = {}
    for p in plan.partitions:
        if display_event is not None and p.first <= display_event < p.first + p.count:
            keep[p.index] = display_event - p.first
    arguments = (list(finders), tables, keep)
    if client is None and min(processes, len(plan.partitions)) > 1:
        import multiprocessing

        # A fresh server process forks the workers: never a copy of a threaded parent.
        context = multiprocessing.get_context("forkserver")
        workers = min(processes, len(plan.partitions))
        with context.Pool(workers, _pool_worker, arguments) as pool:
            yield from pool.imap(_pool_task, plan.partitions)
    elif client is None:
        for partition in plan.partitions:
            yield _task(partition, *arguments)
    else:
        from .cluster import on_client

        yield from on_client(client, plan.partitions, _task, arguments)


def run_plan(
    plan: Plan,
    finders: Sequence[Finder],
    *,
    client: Any = None,
    processes: int = 1,
    tables: bool = False,
    detailed: bool = False,
    output: StrPath | None = None,
    skip_bad: bool = False,
    display_event: int | None = None,
) -> Outcome:
    """Process every partition of ``plan`` with ``finders`` and combine the results.

    ``client``: a ``distributed.Client`` to run the partitions on; without one,
    ``processes`` worker processes on this machine, or this process alone (1, the default).
    ``tables``: keep each finder's truth tables in memory (in the results). ``detailed``:
    build the validator's per-event record (``metrics["events"]``). ``output``: write each
    finder's truth tables into this directory. ``skip_bad``: list partitions that cannot be
    read in ``Outcome.skipped`` instead of failing with RunError. ``display_event``: keep
    that event's dictionary (``Outcome.event``).
    """
    merger = Merger(
        plan,
        finders,
        detailed=detailed,
        output=None if output is None else Path(output),
        keep_tables=tables,
        skip_bad=skip_bad,
    )
    try:
        results = partition_results(
            plan,
            finders,
            client=client,
            processes=processes,
            tables=tables or output is not None,
            display_event=display_event,
        )
        # Closed on the way out, so that a failure cancels the tasks still to run.
        with (
            contextlib.closing(results),
            progress(total=len(plan.partitions), desc="partitions", unit="partition") as bar,
        ):
            for result in results:
                merger.add(result)
                bar.update()
        files = merger.finish()
    except BaseException:
        merger.abandon()
        raise
    return Outcome(
        merger.sample,
        merger.results(),
        merger.validations,
        merger.event,
        merger.skipped,
        files,
        merger.seconds,
    )


def _task(
    partition: Partition, finders: list, tables: bool, keep: dict[int, int | None]
) -> PartitionResult:
    return process_partition(partition, finders, tables, keep.get(partition.index))


_pool_arguments: tuple = ()


def _pool_worker(*arguments) -> None:
    import signal

    global _pool_arguments
    _pool_arguments = arguments
    # The processes are the parallelism; set before the batch pool is first made.
    os.environ["TRELMON_NUM_THREADS"] = "1"
    # Ctrl-C is the driver's to handle: it ends the pool.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _pool_task(partition: Partition) -> PartitionResult:
    return _task(partition, *_pool_arguments)
