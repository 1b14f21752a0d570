"""Validation time per generated event, argument conversion included.

    python benchmarks/bench_validator.py [--events 100] [--repeats 20] [--truth]

Generates default events with trelmon_tools, finds their tracks with TrackFollowing (or, with
--truth or when no track finder is built, makes one track per Monte Carlo particle of three or
more hits, a few of them spoiled or duplicated so that ghosts and clones occur), then times each
Validator function over the whole list on one core and reports the best run per event.
"""

import argparse
import os
import random
import time

import trelmon
from trelmon import DetectorEvent, Validator
from trelmon_tools.generate import generate_events


def truth_tracks(event, rng):
    """Tracks from the Monte Carlo hits: some lose hits, some gain a foreign one, some repeat."""
    mc = event["montecarlo"]
    hits_column = mc["description"].index("hits")
    x, y, z = event["x"], event["y"], event["z"]
    tracks = []
    for row in mc["particles"]:
        ids = list(row[hits_column])
        if len(ids) < 3:
            continue
        roll = rng.random()
        if roll < 0.1:
            ids = ids[: len(ids) // 2 + 1]
        elif roll < 0.2:
            ids[rng.randrange(len(ids))] = rng.randrange(len(x))
        track = [DetectorEvent.Hit(x[i], y[i], z[i], i) for i in ids]
        tracks.append(DetectorEvent.Track(track))
        if roll > 0.97:
            tracks.append(DetectorEvent.Track(track))
    return tracks


def found_tracks(events, truth, seed):
    algorithms = trelmon.ReconstructionAlgorithms
    if not truth and hasattr(algorithms, "TrackFollowing"):
        built = [DetectorEvent.Event(event) for event in events]
        return algorithms.TrackFollowing().solve_batch(built), "TrackFollowing"
    rng = random.Random(seed)
    return [truth_tracks(event, rng) for event in events], "truth-built"


def best_times(call, repeats):
    """Best wall-clock and best CPU time of one call: on a shared machine the CPU time is the
    steadier figure, since it leaves out the time the process waited for its core."""
    wall = cpu = float("inf")
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), time.process_time()
        call()
        wall = min(wall, time.perf_counter() - start)
        cpu = min(cpu, time.process_time() - start_cpu)
    return wall, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=20)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--truth", action="store_true", help="truth-built tracks")
    args = parser.parse_args()

    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    events = generate_events(args.events, args.seed)
    tracks, source = found_tracks(events, args.truth, args.seed)
    hits = sum(len(event["x"]) for event in events) / len(events)
    particles = sum(len(event["montecarlo"]["particles"]) for event in events) / len(events)
    track_count = sum(len(t) for t in tracks) / len(tracks)
    print(
        f"{args.events} events: {hits:.0f} hits, {particles:.0f} particles, "
        f"{track_count:.0f} {source} tracks per event (means)"
    )

    # The printed summary goes to file descriptor 1; send it away while timing.
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    calls = {
        "export_validation_to_json": lambda: Validator.export_validation_to_json(
            events, tracks, False
        ),
        "export_detailed_metrics_json": lambda: Validator.export_detailed_metrics_json(
            events, tracks, False
        ),
        "compute_tracking_efficiency": lambda: Validator.compute_tracking_efficiency(
            events, tracks, "long"
        ),
        "print_validation_summary": lambda: Validator.print_validation_summary(
            events, tracks, False
        ),
    }
    results = {}
    try:
        os.dup2(devnull, 1)
        for name, call in calls.items():
            call()
            results[name] = best_times(call, args.repeats)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)
    print(f"ms per event, best of {args.repeats} runs over all events:")
    for name, (wall, cpu) in results.items():
        print(
            f"  {name:30s} {wall / args.events * 1e3:7.3f} wall  {cpu / args.events * 1e3:7.3f} cpu"
        )


if __name__ == "__main__":
    main()
