"""Memory held by Event objects and the time to build one from its dictionary (of lists, and
of numpy arrays).

    python benchmarks/bench_event.py [--events 1000] [--hits 2000]

Builds the events from one dictionary of the requested size (hits spread evenly over the 52
modules), so the figure is the events' own memory, not the dictionaries'.
"""

import argparse
import gc
import os
import statistics
import time

import numpy as np
import trelmon

HIT_RECORD_BYTES = 48  # id, x, y, z, t, module_number, with_t, as the native record lays them out


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def event_dictionary(hits, seed=1):
    rng = np.random.default_rng(seed)
    counts = np.full(52, hits // 52)
    counts[: hits % 52] += 1
    prefix = np.concatenate([[0], np.cumsum(counts)])
    module_z = np.linspace(-300.0, 750.0, 52)
    z = np.repeat(module_z, counts)
    return {
        "description": "benchmark",
        "montecarlo": {"description": [], "particles": []},
        "module_prefix_sum": prefix.tolist(),
        "x": rng.uniform(-40, 40, hits).tolist(),
        "y": rng.uniform(-40, 40, hits).tolist(),
        "z": z.tolist(),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1000)
    parser.add_argument("--hits", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=2000, help="timed constructions")
    args = parser.parse_args()

    data = event_dictionary(args.hits)
    Event = trelmon.DetectorEvent.Event
    Event(data)  # first use creates the type objects

    gc.collect()
    before = rss_bytes()
    events = [Event(data) for _ in range(args.events)]
    gc.collect()
    held = rss_bytes() - before
    raw = args.events * args.hits * HIT_RECORD_BYTES
    print(
        f"{args.events} events of {args.hits} hits: resident memory {held / 2**20:.1f} MiB, "
        f"raw hit records {raw / 2**20:.1f} MiB, ratio {held / raw:.2f}"
    )
    del events

    arrays = dict(data)
    for key in ("module_prefix_sum", "x", "y", "z"):
        arrays[key] = np.asarray(data[key])  # int64 and float64, read through the buffer
    for label, source in (("lists", data), ("numpy arrays", arrays)):
        timings = []
        for _ in range(args.repeats):
            start = time.perf_counter_ns()
            Event(source)
            timings.append(time.perf_counter_ns() - start)
        print(
            f"Event construction from {label}: median {statistics.median(timings) / 1e3:.1f} us "
            f"(min {min(timings) / 1e3:.1f} us) for {args.hits} hits"
        )


if __name__ == "__main__":
    main()
