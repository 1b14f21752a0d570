"""Figures of default generated events: hits, particles per category, generation time.

python benchmarks/bench_generate.py [--events 128] [--seed 0] [--repeat 3] [--original DIR]

Generation time per event on one process (processor time, fastest of --repeat), for the
columns the Parquet writer takes (generate_columns) and for event dictionaries of Python lists
(generate_events). --original names the trelmon_tools directory of another checkout (say an
older commit's, from `git worktree add`): its generate_events is timed in the same rounds,
interleaved with these, and the speed-ups are given against it.
"""

import argparse
import gc
import importlib
import statistics
import sys
import time
import types
from pathlib import Path

from trelmon_tools.generate import generate_columns, generate_events
from trelmon_tools.truth import CATEGORIES, category_counts


def load_original(directory: str):
    """The generate module of the trelmon_tools package in ``directory``, imported under another
    package name so that it sits beside this one (its siblings resolve in ``directory`` too)."""
    name = "original_trelmon_tools"
    package = types.ModuleType(name)
    package.__path__ = [str(Path(directory))]
    sys.modules[name] = package
    return importlib.import_module(f"{name}.generate")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=128)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--original", help="trelmon_tools directory of the version to compare")
    args = parser.parse_args()

    makers = {
        "columns": lambda: list(generate_columns(args.events, args.seed)),
        "dictionaries": lambda: generate_events(args.events, args.seed),
    }
    if args.original:
        original = load_original(args.original)
        makers["original dictionaries"] = lambda: original.generate_events(args.events, args.seed)
    for make in makers.values():
        make()  # warm-up: imports and cached spectra
    timings = {kind: [] for kind in makers}
    for _ in range(args.repeat):
        for kind, make in makers.items():
            gc.collect()
            start = time.process_time()
            made = make()
            timings[kind].append(time.process_time() - start)
            del made  # freed outside the timing

    events = generate_events(args.events, args.seed)
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
    best = {kind: min(seconds) / args.events for kind, seconds in timings.items()}
    for kind, seconds in best.items():
        line = f"  generation time per event, {kind}: {1e3 * seconds:.2f} ms"
        if args.original:
            line += f", {best['original dictionaries'] / seconds:.2f}x the original's speed"
        print(f"{line} (processor time, fastest of {args.repeat})")


if __name__ == "__main__":
    main()
