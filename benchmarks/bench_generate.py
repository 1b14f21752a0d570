"""Figures of default generated events: hits, particles per category, generation time.

python benchmarks/bench_generate.py [--events 100] [--seed 0]
"""

import argparse
import statistics
import time

from trelmon_tools.generate import generate_event
from trelmon_tools.truth import CATEGORIES, category_counts


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=100)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

    generate_event(args.seed)  # warm-up: imports and cached spectra
    times, hits, rows = [], [], []
    counts = {label: [] for label in CATEGORIES}
    for seed in range(args.seed, args.seed + args.events):
        start = time.perf_counter()
        event = generate_event(seed)
        times.append(time.perf_counter() - start)
        hits.append(len(event["x"]))
        rows.append(len(event["montecarlo"]["particles"]))
        for label, n in category_counts(event).items():
            counts[label].append(n)

    print(f"{args.events} default events, seeds {args.seed}..{args.seed + args.events - 1}")
    print(
        f"  hits per event            {statistics.mean(hits):9.1f}  "
        f"(min {min(hits)}, max {max(hits)})"
    )
    print(f"  Monte Carlo rows per event{statistics.mean(rows):9.1f}")
    for label in CATEGORIES:
        print(f"  {label:<26}{statistics.mean(counts[label]):9.2f}")
    print(
        f"  generation time per event {1e3 * statistics.mean(times):9.2f} ms  "
        f"(median {1e3 * statistics.median(times):.2f} ms)"
    )


if __name__ == "__main__":
    main()
