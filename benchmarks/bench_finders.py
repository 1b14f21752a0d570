"""Throughput of every track finder: solve on one thread, solve_batch on the worker pool.

    python benchmarks/bench_finders.py [--events 200] [--seed 1] [--repeats 3] [--threads N]

The events come from trelmon_tools.generate.generate_events with its default knobs. Every class
listed in trelmon.ReconstructionAlgorithms.__all__ is built with its default parameters and
timed on the same events: solve, one event after another on the calling thread, and
solve_batch over the whole list on the worker pool (all processors this process may run on,
unless --threads or TRELMON_NUM_THREADS says otherwise). Each figure is the best of --repeats
runs and includes handing the tracks back as Python objects. The speed-up is the batch's
events per second over solve's. solve is also timed by the process's CPU time, which
other load on a shared machine disturbs less than wall time. NumPy's BLAS threads are held to
one, since they spin on the same processors after generating the events.
"""

import argparse
import os
import time
from functools import partial


def best_time(run, repeats, clock=time.perf_counter):
    best = float("inf")
    for _ in range(repeats):
        start = clock()
        run()
        best = min(best, clock() - start)
    return best


def _solve_each(algorithm, events):
    for event in events:
        algorithm.solve(event)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=200, help="number of generated events")
    parser.add_argument("--seed", type=int, default=1, help="seed of the first event")
    parser.add_argument("--repeats", type=int, default=3, help="timed runs; the best counts")
    parser.add_argument(
        "--threads",
        type=int,
        default=None,
        help="worker threads for solve_batch (sets TRELMON_NUM_THREADS)",
    )
    args = parser.parse_args()
    if args.events < 1 or args.repeats < 1:
        parser.error("--events and --repeats must be at least 1")
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    if args.threads is not None:
        # read once, when the pool is first used
        os.environ["TRELMON_NUM_THREADS"] = str(args.threads)

    import trelmon
    from trelmon_tools.generate import generate_events

    algorithms = trelmon.ReconstructionAlgorithms
    Event = trelmon.DetectorEvent.Event

    started = time.perf_counter()
    events = [Event(data) for data in generate_events(args.events, args.seed)]
    generated = time.perf_counter() - started
    threads = os.environ.get("TRELMON_NUM_THREADS") or str(len(os.sched_getaffinity(0)))
    hits = sum(event.number_of_hits for event in events) / len(events)
    print(
        f"{len(events)} generated events (seed {args.seed}), {hits:.0f} hits per event on "
        f"average, made in {generated:.1f} s; solve_batch on {threads} thread(s), "
        f"best of {args.repeats}"
    )
    header = (
        f"{'finder':<22}{'tracks/event':>13}{'solve ev/s':>12}{'ms/event':>10}"
        f"{'cpu ms/ev':>11}{'batch ev/s':>12}{'ms/event':>10}{'speed-up':>10}"
    )
    print(header)
    print("-" * len(header))
    for name in algorithms.__all__:
        algorithm = getattr(algorithms, name)()
        tracks = sum(len(algorithm.solve(event)) for event in events)  # also warms up
        algorithm.solve_batch(events[:1])  # starts the worker pool outside the timing

        solve_all = partial(_solve_each, algorithm, events)
        solve_s = best_time(solve_all, args.repeats)
        # solve runs on a pool worker, so the process's CPU time, not the calling thread's.
        solve_cpu_s = best_time(solve_all, args.repeats, time.process_time)
        batch_s = best_time(partial(algorithm.solve_batch, events), args.repeats)
        n = len(events)
        print(
            f"{name:<22}{tracks / n:>13.1f}{n / solve_s:>12.0f}{1e3 * solve_s / n:>10.3f}"
            f"{1e3 * solve_cpu_s / n:>11.3f}{n / batch_s:>12.0f}{1e3 * batch_s / n:>10.3f}"
            f"{solve_s / batch_s:>10.2f}"
        )


if __name__ == "__main__":
    main()
