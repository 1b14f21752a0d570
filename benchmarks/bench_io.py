"""Per-event cost of event files: reading a sample, building its events, solving them.

    python benchmarks/bench_io.py [--events 300] [--seed 0] [--repeat 3]

Writes the generated sample once as a Parquet file and once as a directory of JSON files, then
reports, per event and for each format, the processor time of the fastest of --repeat passes
of: reading every event
(trelmon_tools.io.iter_events), building the trelmon events from what was read, and
TrackFollowing.solve on one thread, with the file sizes.
"""

import argparse
import os
import tempfile

from trelmon_tools import io, parquet
from trelmon_tools.bench import measure_files
from trelmon_tools.generate import generate_columns


def size(path):
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(path, name)) for name in os.listdir(path))
    return os.path.getsize(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=300)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        file = os.path.join(scratch, "sample.parquet")
        directory = os.path.join(scratch, "json")
        parquet.write_events(file, generate_columns(args.events, args.seed))
        io.write_sample(directory, io.iter_events(file))
        figures = measure_files(file, directory, args.repeat)
        sizes = {"parquet": size(file), "json": size(directory)}

    print(
        f"{args.events} default events of seed {args.seed}; "
        f"CPU ms per event, fastest of {args.repeat}"
    )
    print(f"{'format':<10}{'read':>8}{'build':>8}{'solve':>8}{'read+build':>12}{'MB':>8}")
    for name, f in figures.items():
        read, build, solve = (
            1e3 * f[f"{step}_seconds_per_event"] for step in ("read", "build", "solve")
        )
        print(
            f"{name:<10}{read:8.3f}{build:8.3f}{solve:8.3f}{read + build:12.3f}"
            f"{sizes[name] / 1e6:8.1f}"
        )


if __name__ == "__main__":
    main()
