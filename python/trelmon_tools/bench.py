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
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile
import time

from . import io, parquet
from .files import no_collection
from .progress import available_processors, progress
from .run import RunError, Sample, _jsonable, configure_finders

__all__ = ["measure", "measure_files", "format_table", "resident_bytes"]


_HELD_EVENTS = 500


def resident_bytes() -> int | None:
    """Resident set size of this process, or None where /proc is not available."""
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return None


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
    for finder in progress(finders, desc="finders", unit="finder"):
        finder.algorithm.solve_batch(events[:1])  # the pool starts on first use
        tracks = finder.algorithm.solve_batch(events)
        solve = _rate(n, _fastest(lambda: finder.algorithm.solve_batch(events), repeat))
        figures[finder.name] = {
            "events_per_second": solve,
            "tracks_per_event": sum(map(len, tracks)) / n,
        }
        if validation:
            check = trelmon.Validator.export_validation_to_json
            seconds = _fastest(lambda: check(dicts, tracks, False), repeat)
            figures[finder.name]["validation_events_per_second"] = _rate(n, seconds)
    return {
        "events": n,
        "hits_per_event": sum(len(d["x"]) for d in dicts) / n,
        "construction_per_second": construction,
        "resident_bytes_per_event": held,
        "finders": figures,
    }


def _child(directory, threads: int, algorithms, params, repeat: int, validation: bool) -> dict:
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
    env = {**os.environ, "TRELMON_NUM_THREADS": str(threads)}
    done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=None, text=True)
    if done.returncode != 0:
        raise RunError(
            f"the measurement on {threads} thread(s) failed (exit status {done.returncode})"
        )
    return json.loads(done.stdout)


def measure(sample: Sample, algorithms=None, params=(), repeat: int = 3) -> dict:
    """Measure on one thread and on every usable processor; return the record of the bench."""
    configured = configure_finders(algorithms, params)  # refuse bad settings before any child
    processors = available_processors()
    with tempfile.TemporaryDirectory(prefix="trelmon-bench-") as scratch:
        parquet_file = os.path.join(scratch, "sample.parquet")
        parquet.write_events(parquet_file, progress(sample.events, desc="writing Parquet"))
        directory = os.path.join(scratch, "json")
        try:
            io.write_sample(directory, progress(sample.events, desc="writing JSON"))
        except ValueError:  # coordinates JSON cannot hold
            directory = None
        files = measure_files(parquet_file, directory, repeat)
        counts = [1] if processors == 1 else [1, processors]
        runs = {
            t: _child(parquet_file, t, algorithms, params, repeat, validation=t == counts[-1])
            for t in counts
        }
    full = runs[counts[-1]]
    parameters = {f.name: {k: _jsonable(v) for k, v in f.parameters.items()} for f in configured}
    finders = {}
    for name, figures in full["finders"].items():
        finders[name] = {
            "parameters": parameters[name],
            "events_per_second": {
                str(t): runs[t]["finders"][name]["events_per_second"] for t in counts
            },
            "tracks_per_event": figures["tracks_per_event"],
            "validation_events_per_second": figures["validation_events_per_second"],
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


def _read_all(source) -> list:
    # As the run command loads a sample: the cyclic collector paused while events pile up.
    with no_collection():
        return list(io.iter_events(source))


def measure_files(parquet_file, json_directory, repeat: int = 3) -> dict:
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
    header += ["validation events/s", "tracks/event"]
    rows = []
    for name, f in record["finders"].items():
        rates = [f["events_per_second"][t] for t in counts]
        row = [name, *map(_number, rates)]
        if len(counts) > 1:
            row.append("-" if not rates[0] or not rates[-1] else f"{rates[-1] / rates[0]:.2f}x")
        row += [_number(f["validation_events_per_second"]), f"{f['tracks_per_event']:.1f}"]
        rows.append(row)
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]

    def line(cells):
        return "  ".join(
            [cells[0].ljust(widths[0]), *(c.rjust(w) for c, w in zip(cells[1:], widths[1:]))]
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
    args = parser.parse_args(argv)
    try:
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
