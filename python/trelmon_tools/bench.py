"""Throughput and memory figures: ``python -m trelmon_tools bench``.

For each finder: events per second of ``solve_batch`` on one worker thread and on every
usable processor, and events per second of the validator (``export_validation_to_json``)
on its tracks; for the event model: ``Event`` constructions per second and the resident
memory that each held ``Event`` adds; for event files: the per-event cost of reading the
sample from a Parquet file and from a directory of JSON files, of building the events from
what was read, and of ``TrackFollowing.solve`` on them (one thread).

The worker pool is sized once per process, so each thread count is measured in a child
process of its own (``python -m trelmon_tools.bench`` with ``TRELMON_NUM_THREADS`` set),
reading the sample from a directory of event files.

With ``--multiplicity``, the bench instead generates the sample at several multiples of the
generator's default number of collisions per event and measures, on one thread, each finder's
events per second and milliseconds per event beside its work per event (hits for
TrackFollowing, candidate pairs for SearchByTripletTrie, segments for GraphDFS) and the working
memory of one solve, so that the growth of the time can be set against the growth of the work.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Sequence
from functools import partial
from typing import Any

from . import io, parquet
from .files import no_collection
from .progress import available_processors, progress
from .run import RunError, Sample, _jsonable, configure_finders

__all__ = [
    "measure",
    "measure_files",
    "measure_multiplicities",
    "format_table",
    "format_multiplicity_table",
    "resident_bytes",
    "working_memory",
]

# The generator's default collisions per event, the unit of --multiplicity.
DEFAULT_COLLISIONS = 5
DEFAULT_MULTIPLICITIES = (1, 2, 4, 8)
WORK_UNITS = {
    "TrackFollowing": "hits",
    "SearchByTripletTrie": "candidate pairs",
    "GraphDFS": "segments",
}


_HELD_EVENTS = 500


def resident_bytes() -> int | None:
    """Resident set size of this process, or None where /proc is not available."""
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return None


def _status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return None


def _release_free_memory() -> None:
    # Freed heap pages go back to the system, so that a solve's allocations show as new
    # resident memory rather than reusing pages the events' construction left behind.
    gc.collect()
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")  # resets the peak resident size to the current one
        return True
    except OSError:
        return False


def working_memory(solve, events) -> int | None:
    """The most resident memory, in bytes, that ``solve`` (called on each event in turn, its
    result dropped) added to this process beyond what it held before: the working memory of
    the largest solve, including what the finder keeps for reuse between solves. None where
    the system does not show a process's peak resident size."""
    _release_free_memory()
    if not _reset_peak():
        return None
    before = _status_kib("VmRSS")
    for event in events:
        solve(event)
    peak = _status_kib("VmHWM")
    if before is None or peak is None:
        return None
    return max(peak - before, 0) * 1024


def _fastest(function, repeat: int, clock=time.perf_counter) -> float:
    best = float("inf")
    for _ in range(repeat):
        began = clock()
        function()
        best = min(best, clock() - began)
    return best


def _rate(n: int, seconds: float):
    return n / seconds if seconds > 0 else None


def _measure_here(path, algorithms, params, repeat: int, validation: bool) -> dict:
    """The figures of this process (whose pool size is fixed by its environment)."""
    import trelmon

    dicts = list(io.iter_events(path))
    n = len(dicts)
    event_class = trelmon.DetectorEvent.Event
    event_class(dicts[0])  # first use creates the type objects

    # Resident memory moves in pages and heap arenas: hold enough events to see it grow.
    held_count = max(n, _HELD_EVENTS)
    gc.collect()
    before = resident_bytes()
    held_events = [event_class(dicts[i % n]) for i in range(held_count)]
    gc.collect()
    after = resident_bytes()
    held = None if before is None or after is None else (after - before) / held_count
    events = held_events[:n]
    del held_events[n:]
    construction = _rate(n, _fastest(lambda: [event_class(d) for d in dicts], repeat))

    finders = configure_finders(algorithms, params)
    figures = {}
    # Before any timing, so that what a finder keeps for reuse between solves counts too.
    memory = {f.name: working_memory(f.algorithm.solve, events) for f in finders}
    for finder in progress(finders, desc="finders", unit="finder"):
        finder.algorithm.solve_batch(events[:1])  # the pool starts on first use
        tracks = finder.algorithm.solve_batch(events)
        solve = _rate(n, _fastest(partial(finder.algorithm.solve_batch, events), repeat))
        figures[finder.name] = {
            "events_per_second": solve,
            "tracks_per_event": sum(map(len, tracks)) / n,
            "working_bytes": memory[finder.name],
        }
        if validation:
            check = partial(trelmon.Validator.export_validation_to_json, dicts, tracks, False)
            seconds = _fastest(check, repeat)
            figures[finder.name]["validation_events_per_second"] = _rate(n, seconds)
    return {
        "events": n,
        "hits_per_event": sum(len(d["x"]) for d in dicts) / n,
        "construction_per_second": construction,
        "resident_bytes_per_event": held,
        "finders": figures,
    }


def _child(
    directory,
    threads: int,
    algorithms,
    params,
    repeat: int,
    validation: bool,
    multiplicity: bool = False,
) -> dict:
    command = [
        sys.executable,
        "-m",
        "trelmon_tools.bench",
        "--events",
        str(directory),
        "--repeat",
        str(repeat),
    ]
    for name in algorithms or ():
        command += ["--algorithm", name]
    for text in params:
        command += ["--param", text]
    if validation:
        command.append("--validation")
    if multiplicity:
        command.append("--multiplicity")
    env = {**os.environ, "TRELMON_NUM_THREADS": str(threads)}
    done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=None, text=True)
    if done.returncode != 0:
        raise RunError(
            f"the measurement on {threads} thread(s) failed (exit status {done.returncode})"
        )
    return json.loads(done.stdout)


def measure(
    sample: Sample,
    algorithms: Sequence[str] | None = None,
    params: Sequence[str] = (),
    repeat: int = 3,
) -> dict[str, Any]:
    """Measure on one thread and on every usable processor; return the record of the bench."""
    configured = configure_finders(algorithms, params)  # refuse bad settings before any child
    processors = available_processors()
    with tempfile.TemporaryDirectory(prefix="trelmon-bench-") as scratch:
        parquet_file = os.path.join(scratch, "sample.parquet")
        parquet.write_events(parquet_file, progress(sample.events, desc="writing Parquet"))
        json_directory = os.path.join(scratch, "json")
        directory: str | None = json_directory
        try:
            io.write_sample(json_directory, progress(sample.events, desc="writing JSON"))
        except ValueError:  # coordinates JSON cannot hold
            directory = None
        files = measure_files(parquet_file, directory, repeat)
        counts = [1] if processors == 1 else [1, processors]
        runs = {
            t: _child(parquet_file, t, algorithms, params, repeat, validation=t == counts[-1])
            for t in counts
        }
    full = runs[counts[-1]]
    parameters = {
        f.name: {k: _jsonable(v) for k, v in f.effective_parameters().items()} for f in configured
    }
    finders = {}
    for name, figures in full["finders"].items():
        finders[name] = {
            "parameters": parameters[name],
            "events_per_second": {
                str(t): runs[t]["finders"][name]["events_per_second"] for t in counts
            },
            "tracks_per_event": figures["tracks_per_event"],
            "validation_events_per_second": figures["validation_events_per_second"],
            "working_bytes": runs[1]["finders"][name]["working_bytes"],
        }
    return {
        "sample": dict(sample.source),
        "hits_per_event": full["hits_per_event"],
        "processors": processors,
        "repeat": repeat,
        "finders": finders,
        "event_construction_per_second": full["construction_per_second"],
        "resident_bytes_per_event": full["resident_bytes_per_event"],
        "files": files,
    }


def _measure_multiplicity_here(path, algorithms, params, repeat: int) -> dict:
    """One multiplicity's figures in this process (one worker thread)."""
    import trelmon

    from . import _native

    dicts = list(io.iter_events(path))
    n = len(dicts)
    event_class = trelmon.DetectorEvent.Event
    events = [event_class(d) for d in dicts]
    finders = configure_finders(algorithms, params)
    memory = {f.name: working_memory(f.algorithm.solve, events) for f in finders}
    figures = {}
    for finder in progress(finders, desc="finders", unit="finder"):
        finder.algorithm.solve_batch(events[:1])
        seconds = _fastest(partial(finder.algorithm.solve_batch, events), repeat)
        work = None
        if finder.name in WORK_UNITS:
            given = {k: v for k, v in finder.parameters.items() if v is not None}
            work = sum(_native.finder_work(finder.name, e, **given) for e in events) / n
        figures[finder.name] = {
            "events_per_second": _rate(n, seconds),
            "ms_per_event": 1e3 * seconds / n,
            "work_per_event": work,
            "work_unit": WORK_UNITS.get(finder.name),
            "working_bytes": memory[finder.name],
        }
    return {
        "events": n,
        "hits_per_event": sum(len(d["x"]) for d in dicts) / n,
        "finders": figures,
    }


def measure_multiplicities(
    events: int,
    seed: int,
    factors: Sequence[int] = DEFAULT_MULTIPLICITIES,
    algorithms: Sequence[str] | None = None,
    params: Sequence[str] = (),
    repeat: int = 3,
) -> dict[str, Any]:
    """Each finder on one thread at each multiple of the default collisions per event: events
    ``0 .. events / factor - 1`` (at least one) of the sample with ``seed``, generated with
    ``factor`` times the default collisions, so that every multiplicity holds about as many
    hits in all. Each multiplicity is measured in a child process of its own."""
    from .generate import generate_columns

    configure_finders(algorithms, params)  # refuse bad settings before any child
    rows = []
    with tempfile.TemporaryDirectory(prefix="trelmon-bench-") as scratch:
        for factor in factors:
            n = max(1, events // factor)
            collisions = factor * DEFAULT_COLLISIONS
            path = os.path.join(scratch, f"x{factor}.parquet")
            batches = generate_columns(n, seed, n_collisions=collisions)
            parquet.write_events(path, (d for b in batches for d in b.to_dicts()))
            figures = _child(
                path, 1, algorithms, params, repeat, validation=False, multiplicity=True
            )
            rows.append({"factor": factor, "collisions": collisions, **figures})
            os.remove(path)
    return {
        "sample": {"kind": "generated", "events": events, "seed": seed},
        "default_collisions": DEFAULT_COLLISIONS,
        "repeat": repeat,
        "multiplicities": rows,
    }


def format_multiplicity_table(record: dict) -> str:
    """The multiplicity record as aligned text: per finder, a row per multiplicity with the
    growth of time and work per event over the first multiplicity."""
    rows = record["multiplicities"]
    header = [
        "finder",
        "multiplicity",
        "hits/event",
        "events/s",
        "ms/event",
        "work/event",
        "time growth",
        "work growth",
        "working memory",
        "bytes/hit",
    ]
    table = []
    names = list(rows[0]["finders"]) if rows else []
    for name in names:
        first = rows[0]["finders"][name]
        for row in rows:
            f = row["finders"][name]
            work = f["work_per_event"]
            memory = f["working_bytes"]
            table.append(
                [
                    name,
                    f"{row['factor']}x ({row['collisions']})",
                    _number(row["hits_per_event"]),
                    _number(f["events_per_second"]),
                    f"{f['ms_per_event']:.3f}",
                    "-" if work is None else f"{_number(work)} {f['work_unit']}",
                    f"{f['ms_per_event'] / first['ms_per_event']:.2f}x",
                    "-"
                    if work is None or not first["work_per_event"]
                    else f"{work / first['work_per_event']:.2f}x",
                    _bytes(memory),
                    "-" if memory is None else f"{memory / row['hits_per_event']:,.0f}",
                ]
            )
    widths = [max(len(r[i]) for r in [header, *table]) for i in range(len(header))]

    def line(cells):
        return "  ".join(
            [
                cells[0].ljust(widths[0]),
                *(c.rjust(w) for c, w in zip(cells[1:], widths[1:], strict=True)),
            ]
        ).rstrip()

    sample = record["sample"]
    lines = [
        f"trelmon bench --multiplicity: generated with seed {sample['seed']}, "
        f"{sample['events']} events at 1x and proportionally fewer above; multiplicity in "
        f"multiples of {record['default_collisions']} collisions per event; one thread; "
        f"fastest of {record['repeat']}",
        "",
        line(header),
        *map(line, table),
    ]
    return "\n".join(lines)


def _read_all(source) -> list:
    # As the run command loads a sample: the cyclic collector paused while events pile up.
    with no_collection():
        return list(io.iter_events(source))


def measure_files(parquet_file: str, json_directory: str | None, repeat: int = 3) -> dict:
    """Processor seconds per event to read a sample (a Parquet file, a JSON directory), to
    build the events from what was read, and to solve them with ``TrackFollowing.solve`` on
    this thread: the fastest of ``repeat`` passes each. All three run on one thread, so
    processor time is their cost, and other work on the machine moves it little."""
    cpu = time.process_time
    import trelmon

    event_class = trelmon.DetectorEvent.Event
    finder = trelmon.ReconstructionAlgorithms.TrackFollowing()
    figures = {}
    for name, source in (("parquet", parquet_file), ("json", json_directory)):
        if source is None:
            continue
        dicts = list(io.iter_events(source))
        n = len(dicts)
        read = _fastest(lambda source=source: _read_all(source), repeat, cpu)
        build = _fastest(lambda dicts=dicts: [event_class(d) for d in dicts], repeat, cpu)
        events = [event_class(d) for d in dicts]
        solve = _fastest(lambda events=events: [finder.solve(e) for e in events], repeat, cpu)
        figures[name] = {
            "events": n,
            "read_seconds_per_event": read / n,
            "build_seconds_per_event": build / n,
            "solve_seconds_per_event": solve / n,
        }
    return figures


def _number(value) -> str:
    if value is None:
        return "-"
    return f"{value:,.0f}" if value >= 100 else f"{value:.3g}"


def _bytes(value) -> str:
    if value is None:
        return "-"
    if value >= 1024 * 1024:
        return f"{value / (1024 * 1024):.1f} MiB"
    return f"{value / 1024:,.0f} KiB"


def format_table(sample: Sample, record: dict) -> str:
    """The bench record as aligned text."""
    counts = (
        list(next(iter(record["finders"].values()))["events_per_second"])
        if record["finders"]
        else ["1"]
    )
    header = ["finder", *(f"events/s, {t} thread{'s' if t != '1' else ''}" for t in counts)]
    if len(counts) > 1:
        header.append("speed-up")
    header += ["validation events/s", "working memory", "tracks/event"]
    rows = []
    for name, f in record["finders"].items():
        rates = [f["events_per_second"][t] for t in counts]
        row = [name, *map(_number, rates)]
        if len(counts) > 1:
            row.append("-" if not rates[0] or not rates[-1] else f"{rates[-1] / rates[0]:.2f}x")
        row += [
            _number(f["validation_events_per_second"]),
            _bytes(f["working_bytes"]),
            f"{f['tracks_per_event']:.1f}",
        ]
        rows.append(row)
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]

    def line(cells):
        return "  ".join(
            [
                cells[0].ljust(widths[0]),
                *(c.rjust(w) for c, w in zip(cells[1:], widths[1:], strict=True)),
            ]
        ).rstrip()

    construction = record["event_construction_per_second"]
    held = record["resident_bytes_per_event"]
    lines = [
        f"trelmon bench: {sample.describe()}, {record['hits_per_event']:,.0f} hits per "
        f"event; {record['processors']} processors; fastest of {record['repeat']}",
        "",
        line(header),
        *map(line, rows),
        "",
        f"event construction      {_number(construction)} events/s"
        + (f" ({1e3 / construction:.3f} ms per event)" if construction else ""),
        "memory per held event   " + ("-" if held is None else f"{held / 1024:,.0f} KiB resident"),
    ]
    files = record.get("files")
    if files:
        lines += ["", "CPU ms per event  read   build   TrackFollowing.solve (1 thread)"]
        for name, label in (("parquet", "Parquet file"), ("json", "JSON files")):
            if name not in files:
                continue
            f = files[name]
            lines.append(
                f"{label:<15}{1e3 * f['read_seconds_per_event']:7.3f} "
                f"{1e3 * f['build_seconds_per_event']:7.3f} "
                f"{1e3 * f['solve_seconds_per_event']:7.3f}"
            )
    return "\n".join(lines)


def _main(argv=None) -> int:
    # The child side of measure(): figures for this process's pool, as JSON on stdout.
    parser = argparse.ArgumentParser(prog="python -m trelmon_tools.bench")
    parser.add_argument("--events", required=True)
    parser.add_argument("--algorithm", action="append")
    parser.add_argument("--param", action="append", default=[])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--validation", action="store_true")
    parser.add_argument("--multiplicity", action="store_true")
    args = parser.parse_args(argv)
    try:
        if args.multiplicity:
            figures = _measure_multiplicity_here(
                args.events, args.algorithm, args.param, args.repeat
            )
        else:
            figures = _measure_here(
                args.events, args.algorithm, args.param, args.repeat, args.validation
            )
    except (RunError, ValueError, OSError) as e:
        print(f"python -m trelmon_tools bench: error: {e}", file=sys.stderr)
        return 1
    json.dump(figures, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(_main())
