"""The ``trelmon`` command line (also ``python -m trelmon_tools``): one subcommand per task.

Exit status: 0 on success, 1 for bad input that a subcommand reports (a missing directory, an
unknown finder, ...), 2 for a command line that cannot be parsed (argparse's own status: an
unknown option, a malformed number), 130 when interrupted.
"""

from __future__ import annotations

import argparse
import functools
import shutil
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

__all__ = ["build_parser", "entry_point", "main"]

PROG = "python -m trelmon_tools"


class _Parser(argparse.ArgumentParser):
    """Reports bad input as a single line and exit status 2."""

    def __init__(self, *args: Any, **kwargs: Any):
        # argparse asks the terminal for its size each time it makes a formatter, once for every
        # argument added: milliseconds of every command. The width it would find is fixed here,
        # once per parser.
        formatter = kwargs.get("formatter_class", argparse.HelpFormatter)
        width = shutil.get_terminal_size().columns - 2
        kwargs["formatter_class"] = functools.partial(formatter, width=width)
        super().__init__(*args, **kwargs)

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message}\n")


class CommandError(Exception):
    """A failure a subcommand reports as one line, with exit status 1."""


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}")
    return value


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, got {text!r}")
    return value


def _non_negative(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not value >= 0.0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"expected a non-negative number, got {text!r}")
    return value


def _faces(text: str) -> int:
    if text not in ("1", "2"):
        raise argparse.ArgumentTypeError(f"expected 1 or 2, got {text!r}")
    return int(text)


# Generator knobs on the command line: (option, keyword of generate_event, type, metavar, help).
# Options left out take the generator's defaults.
_KNOB_OPTIONS = (
    ("--collisions", "n_collisions", _count, "K", "collisions per event"),
    (
        "--particles-per-collision",
        "particles_per_collision",
        _non_negative,
        "X",
        "mean number of charged primaries per collision",
    ),
    (
        "--strange-per-collision",
        "strange_per_collision",
        _non_negative,
        "X",
        "mean number of K0S and Lambda per collision",
    ),
    (
        "--charm-per-collision",
        "charm_per_collision",
        _non_negative,
        "X",
        "mean number of charm hadrons per collision",
    ),
    ("--beauty-pairs", "beauty_pairs", _count, "K", "beauty hadron pairs per event"),
    (
        "--noise-fraction",
        "noise_fraction",
        _fraction,
        "F",
        "expected fraction of noise hits (below 1)",
    ),
    (
        "--hit-efficiency",
        "hit_efficiency",
        _fraction,
        "F",
        "probability that a crossing leaves a hit",
    ),
    ("--hit-resolution", "hit_resolution", _non_negative, "MM", "hit resolution in mm"),
    ("--sensor-faces", "sensor_faces", _faces, "{1,2}", "z planes per half module"),
)


def _add_generate(commands) -> None:
    p = commands.add_parser(
        "generate",
        help="write a sample of synthetic events",
        description="Generate synthetic events with Monte Carlo truth: events 0 to N-1 of the "
        "sample with seed S, each a function of (S, its index) alone. Parquet (the default) "
        "writes one file, FILE.parquet or DIR/events.parquet; JSON writes one file per event "
        "into DIR. Generation runs on every usable processor.",
    )
    p.add_argument("--events", type=_count, required=True, metavar="N", help="number of events")
    p.add_argument("--seed", type=_count, default=0, metavar="S", help="seed of the sample")
    p.add_argument(
        "--out", required=True, metavar="FILE.parquet|DIR", help="where to write the sample"
    )
    p.add_argument(
        "--format",
        choices=("parquet", "json"),
        default="parquet",
        help="file format (default: %(default)s)",
    )
    for flag, knob, kind, metavar, text in _KNOB_OPTIONS:
        p.add_argument(flag, dest=knob, type=kind, metavar=metavar, help=text)
    p.add_argument("--with-time", action="store_true", help='add hit times ("t")')
    p.add_argument(
        "--overwrite",
        action="store_true",
        help="replace an earlier sample instead of refusing",
    )
    p.add_argument(
        "--processes",
        type=_positive,
        metavar="P",
        help="worker processes (default: every usable processor)",
    )
    p.set_defaults(handler=_run_generate)


def _parquet_target(out: str, overwrite: bool) -> Path:
    path = Path(out)
    if path.suffix != ".parquet":
        if path.exists() and not path.is_dir():
            raise CommandError(f"{out}: not a directory")
        path.mkdir(parents=True, exist_ok=True)
        path = path / "events.parquet"
    else:
        if path.parent.exists() and not path.parent.is_dir():
            raise CommandError(f"{path.parent}: not a directory")
        path.parent.mkdir(parents=True, exist_ok=True)
    if path.is_dir():
        raise CommandError(f"{path}: is a directory")
    if path.exists() and not overwrite:
        raise CommandError(f"{path}: already exists (--overwrite replaces it)")
    return path


def _run_generate(args) -> None:
    from . import io, parquet
    from .generate import generate_columns_parallel, generate_event
    from .progress import progress

    knobs = {
        knob: getattr(args, knob)
        for _, knob, *_ in _KNOB_OPTIONS
        if getattr(args, knob) is not None
    }
    knobs["with_time"] = args.with_time
    try:
        generate_event(args.seed, **knobs)  # bad knob combinations fail before any file is written
        if args.format == "json" and args.out.endswith(".parquet"):
            raise CommandError(
                f"{args.out}: JSON samples are directories (or use --format parquet)"
            )
        target = _parquet_target(args.out, args.overwrite) if args.format == "parquet" else None
        with progress(total=args.events, desc="generating") as bar:
            batches = generate_columns_parallel(
                args.events, args.seed, processes=args.processes, **knobs
            )
            if target is not None:
                count = parquet.write_events(target, batches, progress=bar.update)
                where = target
            else:

                def events():
                    for batch in batches:
                        yield from batch.to_dicts()
                        bar.update(len(batch))

                count = len(io.write_sample(args.out, events(), overwrite=args.overwrite))
                where = args.out
    except (OSError, ValueError) as e:
        raise CommandError(str(e)) from None
    print(f"wrote {count} events to {where}")


def _positive(text: str) -> int:
    value = _count(text)
    if value == 0:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def _add_sample_options(p, default_events: int, default_seed: int) -> None:
    source = p.add_mutually_exclusive_group()
    source.add_argument(
        "--events",
        metavar="PATH",
        help="run on the events of PATH: a Parquet event file, or a directory of Parquet or "
        "JSON event files (as the generate command writes them)",
    )
    source.add_argument(
        "--generate",
        type=_positive,
        metavar="N",
        help=f"run on N generated events (default: the built-in sample of {default_events} events)",
    )
    p.add_argument(
        "--seed",
        type=_count,
        metavar="S",
        help=f"seed of the generated sample (default: {default_seed})",
    )


def _add_run(commands) -> None:
    from .run import DEFAULT_EVENTS, DEFAULT_SEED

    p = commands.add_parser(
        "run",
        help="reconstruct, validate and compare the track finders",
        description="Reconstruct a sample with each track finder (solve_batch), validate the "
        "tracks against the Monte Carlo truth and print the finders side by side: "
        "events per second, tracks per event, ghost rate and, per particle "
        "category, reconstruction efficiency, clone rate, purity and hit "
        "efficiency. Without options: the built-in sample and every finder.",
        epilog="Parameters: --param NAME=VALUE goes to every selected finder, and each of them "
        "must accept NAME; --param FINDER.NAME=VALUE goes to that finder only and wins "
        "over NAME=VALUE. VALUE is a Python literal: 0.2, (0.5, 0.5), True, 3. "
        "Example: --param max_scatter=0.3 --param GraphDFS.allowed_skip_modules=2. "
        "Progress bars are drawn on standard error when it is a terminal.",
    )
    _add_sample_options(p, DEFAULT_EVENTS, DEFAULT_SEED)
    p.add_argument(
        "--algorithm",
        action="append",
        metavar="NAME",
        help="a finder to run, by its class name in trelmon.ReconstructionAlgorithms or "
        "trelmon_tools.finders (repeatable; default: every finder)",
    )
    p.add_argument(
        "--param",
        action="append",
        default=[],
        metavar="[FINDER.]NAME=VALUE",
        help="a finder parameter (repeatable; see below)",
    )
    p.add_argument(
        "--summary",
        action="store_true",
        help="also print the validator's full summary for each finder",
    )
    p.add_argument(
        "--json",
        metavar="FILE",
        help="write the run's settings, speeds and detailed validation per finder",
    )
    p.add_argument(
        "--output",
        metavar="DIR",
        help="store the run in DIR: for each finder FINDER/tracks.parquet and "
        "FINDER/particles.parquet (every track's and every particle's match), and run.json "
        "(settings, versions, speeds, detailed validation)",
    )
    p.add_argument(
        "--plots",
        metavar="DIR",
        help="draw efficiency against p, pt, eta and phi per category, ghost rate against eta "
        "and track length, clone rate against p, and an event display per finder, as PNG "
        "files in DIR (needs matplotlib)",
    )
    p.add_argument(
        "--interval",
        choices=("wilson", "clopper-pearson"),
        default="wilson",
        help="uncertainty intervals of the figures (default: %(default)s)",
    )
    p.add_argument(
        "--display-event",
        type=_count,
        default=0,
        metavar="K",
        help="the event shown by the event display (default: %(default)s)",
    )
    _add_partition_options(p)
    p.set_defaults(handler=_run_run)


def _add_partition_options(p) -> None:
    from .pipeline import DEFAULT_PARTITION_EVENTS

    p.add_argument(
        "--partition-size",
        type=_positive,
        default=DEFAULT_PARTITION_EVENTS,
        metavar="N",
        help="events per partition, the unit of work and of memory: the run holds a partition "
        "at a time (a Parquet file's row groups are never split; default: %(default)s)",
    )
    p.add_argument(
        "--dask",
        nargs="?",
        const="local",
        metavar="SCHEDULER",
        help="run the partitions on a Dask cluster: alone, a LocalCluster of one worker process "
        "per usable processor; or a scheduler's address (tcp://HOST:PORT) or scheduler file "
        "(needs the dask extra: pip install 'trelmon[dask]')",
    )
    p.add_argument(
        "--workers",
        type=_positive,
        metavar="N",
        help="worker processes of the LocalCluster that --dask starts (default: one per usable "
        "processor)",
    )
    p.add_argument(
        "--processes",
        type=_positive,
        default=1,
        metavar="P",
        help="without --dask: worker processes on this machine, each solving on one thread "
        "(default: %(default)s, this process with the batch pool's threads)",
    )
    p.add_argument(
        "--skip-unreadable",
        action="store_true",
        help="skip a partition that cannot be read (listed after the table) instead of failing",
    )


def _sample(args):
    from . import run

    if args.events is not None:
        if args.seed is not None:
            raise CommandError("--seed applies to generated events, not to --events")
        return run.directory_sample(args.events)
    seed = run.DEFAULT_SEED if args.seed is None else args.seed
    return run.generated_sample(args.generate or run.DEFAULT_EVENTS, seed)


def _check_output_file(path) -> None:
    parent = Path(path).resolve().parent
    if Path(path).is_dir():
        raise CommandError(f"{path}: is a directory")
    if not parent.is_dir():
        raise CommandError(f"{path}: no such directory {parent}")


def _output_directory(path) -> Path:
    directory = Path(path)
    try:
        directory.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise CommandError(f"{path}: {e.strerror or e}") from None
    return directory


def _plan(args):
    from . import pipeline, run

    if args.events is not None:
        if args.seed is not None:
            raise CommandError("--seed applies to generated events, not to --events")
        return pipeline.plan_files(args.events, args.partition_size)
    seed = run.DEFAULT_SEED if args.seed is None else args.seed
    return pipeline.plan_generated(args.generate or run.DEFAULT_EVENTS, seed, args.partition_size)


def _client(args):
    import contextlib

    if args.dask is not None and args.processes != 1:
        raise CommandError("--processes applies without --dask (--workers sizes its cluster)")
    if args.dask is None:
        if args.workers is not None:
            raise CommandError("--workers sizes the cluster that --dask starts")
        return contextlib.nullcontext(None)
    if args.workers is not None and args.dask != "local":
        raise CommandError("--workers sizes the cluster that --dask starts, not a running one")
    from . import cluster

    try:
        cluster.require_distributed()
    except ImportError as e:
        raise CommandError(str(e)) from None
    return cluster.connect(args.dask, args.workers)


def _run_run(args) -> None:
    from . import pipeline, run

    try:
        finders = run.configure_finders(args.algorithm, args.param)
        if args.json is not None:
            _check_output_file(args.json)
        output = None if args.output is None else _output_directory(args.output)
        directory = None if args.plots is None else _output_directory(args.plots)
        if directory is not None:
            from . import plots

            try:
                plots.require_matplotlib()
            except ImportError as e:
                raise CommandError(str(e)) from None
        plan = _plan(args)
        if plan.counted and args.display_event >= plan.n_events:
            raise CommandError(
                f"--display-event {args.display_event}: the sample has only {plan.n_events} events"
            )
        with _client(args) as client:
            outcome = pipeline.run_plan(
                plan,
                finders,
                client=client,
                processes=args.processes,
                tables=directory is not None,
                detailed=args.json is not None or output is not None,
                output=output,
                skip_bad=args.skip_unreadable,
                display_event=None if directory is None else args.display_event,
            )
        sample, results = outcome.sample, outcome.results
        if sample.n_events == 0:
            raise CommandError("no event could be read")
        print(run.format_table(sample, results), flush=True)
        if outcome.skipped:
            print(f"\nskipped {len(outcome.skipped)} unreadable partitions:")
            for line in outcome.skipped:
                print(f"  {line}")
        if args.summary:
            for r, validation in zip(results, outcome.validations, strict=True):
                print(f"\n{r.name}:")
                print("\n".join(validation.summary_lines()), flush=True)
        _write_outputs(args, outcome, output, directory)
    except run.RunError as e:
        raise CommandError(str(e)) from None


def _write_outputs(args, outcome, output, directory) -> None:
    from . import run

    sample, results = outcome.sample, outcome.results
    if args.json is not None or output is not None:
        record = run.run_record(sample, results)
        if args.json is not None:
            run.write_json(args.json, record)
            print(f"\nwrote {args.json}")
        if output is not None:
            run.write_json(output / "run.json", record)
            print(f"\nwrote {len(outcome.files) + 1} files to {output}")
    if directory is not None:
        from . import plots

        if outcome.event is None:
            raise CommandError(f"--display-event {args.display_event}: that event was skipped")
        paths = plots.write_plots(
            directory,
            {args.display_event: outcome.event},  # type: ignore[arg-type]  # looked up by number
            results,
            display_event=args.display_event,
            interval=args.interval,
        )
        print(f"wrote {len(paths)} figures to {directory}: " + ", ".join(p.name for p in paths))


def _add_bench(commands) -> None:
    from .run import DEFAULT_EVENTS, DEFAULT_SEED

    p = commands.add_parser(
        "bench",
        help="measure the finders' speed, the validator's and the event model's",
        description="Events per second of each finder's solve_batch on one thread and on "
        "every usable processor, of the validator on each finder's tracks, and of "
        "Event construction, and the resident memory each held Event adds; "
        "printed as a table, and written as JSON with --json.",
        epilog="Each thread count is measured in a child process of its own, since the "
        "worker pool is sized once per process (TRELMON_NUM_THREADS). "
        "--param works as for the run command.",
    )
    _add_sample_options(p, DEFAULT_EVENTS, DEFAULT_SEED)
    p.add_argument(
        "--algorithm",
        action="append",
        metavar="NAME",
        help="a finder to measure (repeatable; default: every finder)",
    )
    p.add_argument(
        "--param",
        action="append",
        default=[],
        metavar="[FINDER.]NAME=VALUE",
        help="a finder parameter (repeatable)",
    )
    p.add_argument(
        "--repeat",
        type=_positive,
        default=3,
        metavar="R",
        help="timed repetitions; the fastest counts (default: %(default)s)",
    )
    p.add_argument(
        "--multiplicity",
        nargs="?",
        const="1,2,4,8",
        type=_factors,
        metavar="K[,K...]",
        help="instead, measure each finder on one thread on events generated with K times the "
        "default collisions per event, for each K (default: 1,2,4,8): events/s, ms per event, "
        "the finder's work per event and a solve's working memory; N/K events at K",
    )
    p.add_argument("--json", metavar="FILE", help="also write the figures as JSON to FILE")
    p.set_defaults(handler=_run_bench)


def _factors(text: str) -> list[int]:
    try:
        factors = [int(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of whole numbers: {text!r}") from None
    if not factors or any(k < 1 for k in factors):
        raise argparse.ArgumentTypeError(f"multiplicities must be at least 1: {text!r}")
    return factors


def _run_bench(args) -> None:
    from . import bench, run

    try:
        run.configure_finders(args.algorithm, args.param)
        if args.json is not None:
            _check_output_file(args.json)
        if args.multiplicity is not None:
            if args.events is not None:
                raise CommandError("--multiplicity generates its events; it takes no --events")
            seed = run.DEFAULT_SEED if args.seed is None else args.seed
            record = bench.measure_multiplicities(
                args.generate or run.DEFAULT_EVENTS,
                seed,
                args.multiplicity,
                args.algorithm,
                args.param,
                args.repeat,
            )
            print(bench.format_multiplicity_table(record), flush=True)
        else:
            sample = _sample(args)
            record = bench.measure(sample, args.algorithm, args.param, args.repeat)
            print(bench.format_table(sample, record), flush=True)
        if args.json is not None:
            run.write_json(args.json, record)
            print(f"\nwrote {args.json}")
    except run.RunError as e:
        raise CommandError(str(e)) from None


def _add_tune(commands) -> None:
    from .run import DEFAULT_EVENTS, DEFAULT_SEED
    from .tune import DEFAULT_OBJECTIVES, DEFAULT_TRIALS

    p = commands.add_parser(
        "tune",
        help="search a finder's parameters for the best trade-offs (needs optuna)",
        description="Tune one finder on a sample with a multi-objective Optuna study: each "
        "trial sets the finder's parameters, solves the sample with solve_batch and scores "
        "the tracks with the validator. Prints the Pareto front (best first by the first "
        "objective), each point's figures on an independent holdout sample, and the run "
        "command that reproduces each point. The study is stored, so running the command "
        "again adds trials to it.",
        epilog="Objectives: efficiency[:CATEGORY] (maximised), ghost_rate, clone_rate[:CATEGORY] "
        "and time (solve time per event, which ties the study to this machine's speed); "
        "categories default to long. Ranges: --range NAME=LOW:HIGH replaces a parameter's "
        "search range (LOW=HIGH holds it fixed; a flag takes False:True, False:False or "
        "True:True); a pair such as max_slopes is searched as one value for x and y.",
    )
    _add_sample_options(p, DEFAULT_EVENTS, DEFAULT_SEED)
    p.add_argument(
        "--algorithm", required=True, metavar="NAME", help="the finder to tune, by class name"
    )
    p.add_argument(
        "--trials",
        type=_count,
        default=DEFAULT_TRIALS,
        metavar="N",
        help="trials to add to the study (default: %(default)s)",
    )
    p.add_argument(
        "--sampler-seed",
        type=_count,
        default=0,
        metavar="S",
        help="seed of the parameter search (default: %(default)s)",
    )
    p.add_argument(
        "--objectives",
        default=DEFAULT_OBJECTIVES,
        metavar="LIST",
        help="comma-separated objectives, the first one sorting the front (default: %(default)s)",
    )
    p.add_argument(
        "--range",
        action="append",
        default=[],
        metavar="NAME=LOW:HIGH",
        help="the search range of a parameter (repeatable)",
    )
    p.add_argument(
        "--storage",
        default="sqlite:///tune.db",
        metavar="URL",
        help="Optuna storage URL of the study (default: %(default)s, in the current directory)",
    )
    p.add_argument(
        "--study",
        metavar="NAME",
        help="study name (default: made of the finder, the sample and the objectives)",
    )
    p.add_argument(
        "--holdout",
        type=_count,
        metavar="N",
        help="re-evaluate the front on N independent generated events (default: as many as "
        "the tuning sample; 0: none)",
    )
    p.add_argument(
        "--holdout-seed",
        type=_count,
        metavar="S",
        help="seed of the first holdout event (default: right after a generated tuning "
        "sample's seeds)",
    )
    p.add_argument("--json", metavar="FILE", help="write the front and its figures as JSON")
    p.add_argument(
        "--plots", metavar="DIR", help="draw the front as DIR/pareto_front.png (needs matplotlib)"
    )
    p.set_defaults(handler=_run_tune)


def _run_tune(args) -> None:
    from . import run, tune

    try:
        tune.parse_objectives(args.objectives)
        tune.search_space(args.algorithm, args.range)
        tune.require_optuna()
        if args.holdout == 0 and args.holdout_seed is not None:
            raise CommandError("--holdout-seed needs a holdout sample")
        if args.json is not None:
            _check_output_file(args.json)
        directory = None if args.plots is None else _output_directory(args.plots)
        if directory is not None:
            from . import plots

            try:
                plots.require_matplotlib()
            except ImportError as e:
                raise CommandError(str(e)) from None
        sample = _sample(args)
        if args.holdout is None:
            args.holdout = len(sample.events)
        tune.run_command(args, sample, directory)
    except run.RunError as e:
        raise CommandError(str(e)) from None


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    from . import __version__

    parser = _Parser(
        prog=prog,
        description="Tools around trelmon: synthetic events, samples, "
        "and the reconstruction and validation run.",
        epilog="Exit status: 0 on success, 1 for bad input, 2 for a malformed command line.",
    )
    parser.add_argument("--version", action="version", version=f"trelmon {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    _add_generate(commands)
    _add_run(commands)
    _add_bench(commands)
    _add_tune(commands)
    return parser


def main(argv: Sequence[str] | None = None, prog: str = PROG) -> int:
    """Run the command line ``argv`` (default: the process's arguments); return the exit
    status. ``prog`` names the command in help and error messages."""
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    try:
        args.handler(args)
    except CommandError as e:
        print(f"{prog} {args.command}: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{prog} {args.command}: interrupted", file=sys.stderr)
        return 130
    except MemoryError:
        # A finder asked for more memory than there is (windows opened wide on a big event).
        print(f"{PROG} {args.command}: error: out of memory", file=sys.stderr)
        return 1
    return 0


def entry_point() -> int:
    """The ``trelmon`` console script."""
    return main(prog="trelmon")
