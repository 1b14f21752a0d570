"""Figures of default generated events: hits, particles per category, generation time.

python benchmarks/bench_generate.py [--events 128] [--seed 0]

Generation time per event on one process, for the columns the Parquet writer takes
(generate_columns) and for event dictionaries of Python lists (generate_events).
"""

import argparse
import statistics
import time

from trelmon_tools.generate import generate_columns, generate_events
from trelmon_tools.truth import CATEGORIES, category_counts


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=128)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    generate_events(16, args.seed)  # warm-up: imports and cached spectra
    timings = {"columns": [], "dictionaries": []}
    for _ in range(args.repeat):
        start = time.perf_counter()
        list(generate_columns(args.events, args.seed))
        timings["columns"].append(time.perf_counter() - start)
        start = time.perf_counter()
        events = generate_events(args.events, args.seed)
        timings["dictionaries"].append(time.perf_counter() - start)

    hits = [len(event["x"]) for event in events]
    rows = [len(event["montecarlo"]["particles"]) for event in events]
    counts = {label: [] for label in CATEGORIES}
    for event in events:
        for label, n in category_counts(event).items():
            counts[label].append(n)

    print(f"{args.events} default events of the sample with seed {args.seed}")
    print(
        f"  hits per event            {statistics.mean(hits):9.1f}  "
        f"(min {min(hits)}, max {max(hits)})"
    )
    print(f"  Monte Carlo rows per event{statistics.mean(rows):9.1f}")
    for label in CATEGORIES:
        print(f"  {label:<26}{statistics.mean(counts[label]):9.2f}")
    for kind, seconds in timings.items():
        print(
            f"  generation time per event, {kind}: {1e3 * min(seconds) / args.events:.2f} ms "
            f"(fastest of {args.repeat})"
        )


if __name__ == "__main__":
    main()
