"""Where a partitioned run's time goes, one Dask worker process against two, and the driver's
cost per partition.

    python benchmarks/bench_pipeline.py [--events 600] [--partition-size 50] [--rounds 2]

Worker counts alternate within each round, so that a change of machine load hits both. Times
are per phase, summed over the tasks (read: the events generated or read; build: Event
objects; solve: solve_batch; validate: the validation terms), CPU seconds of the driver, and
wall time. The driver's cost per partition comes from a run of one-event partitions.
"""

import argparse
import os
import resource
import time

from trelmon_tools import cluster, pipeline, run


def cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed(plan, finders, client):
    wall, driver = time.perf_counter(), cpu()
    outcome = pipeline.run_plan(plan, finders, client=client)
    return outcome, time.perf_counter() - wall, cpu() - driver


def phases(outcome) -> str:
    return ", ".join(f"{k} {v:.2f} s" for k, v in outcome.seconds.items())


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=600)
    parser.add_argument("--partition-size", type=int, default=50)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--algorithm", action="append")
    args = parser.parse_args()
    finders = run.configure_finders(args.algorithm or ["TrackFollowing"])
    plan = pipeline.plan_generated(args.events, 0, args.partition_size)
    print(f"load: {os.getloadavg()}")
    clients = {}
    stack = []
    for n in (1, 2):
        context = cluster.connect("local", n)
        clients[n] = context.__enter__()
        stack.append(context)
    try:
        for n in (1, 2):  # warm the workers: imports, thread pools
            pipeline.run_plan(pipeline.plan_generated(4, 0, 2), finders, client=clients[n])
        for r in range(args.rounds):
            for n in (1, 2) if r % 2 == 0 else (2, 1):
                outcome, wall, driver = timed(plan, finders, clients[n])
                print(
                    f"{n} worker{'s' if n > 1 else ''}: {args.events / wall:,.0f} events/s "
                    f"({wall:.2f} s wall, driver CPU {driver:.2f} s); tasks: {phases(outcome)}"
                )
        tiny = pipeline.plan_generated(200, 0, 1)
        for n in (2,):
            outcome, wall, driver = timed(tiny, finders, clients[n])
            fold = time.perf_counter()
            merger = pipeline.Merger(tiny, finders)
            results = list(pipeline.partition_results(tiny, finders, client=clients[n]))
            fold = time.perf_counter()
            for result in sorted(results, key=lambda x: x.index):
                merger.add(result)
            fold = time.perf_counter() - fold
            print(
                f"one-event partitions on {n} workers: driver CPU {driver / 200 * 1e3:.2f} ms "
                f"per partition ({wall / 200 * 1e3:.2f} ms wall); folding alone "
                f"{fold / 200 * 1e3:.3f} ms per partition of one event"
            )
    finally:
        for context in reversed(stack):
            context.__exit__(None, None, None)
    print(f"load: {os.getloadavg()}")


if __name__ == "__main__":
    main()
