"""The ``python -m trelmon_tools`` command line: one subcommand per task."""

from __future__ import annotations

import argparse
import sys

__all__ = ["main"]

PROG = "python -m trelmon_tools"


class _Parser(argparse.ArgumentParser):
    """Reports bad input as a single line and exit status 2."""

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
    ("--particles-per-collision", "particles_per_collision", _non_negative, "X",
     "mean number of charged primaries per collision"),
    ("--strange-per-collision", "strange_per_collision", _non_negative, "X",
     "mean number of K0S and Lambda per collision"),
    ("--charm-per-collision", "charm_per_collision", _non_negative, "X",
     "mean number of charm hadrons per collision"),
    ("--beauty-pairs", "beauty_pairs", _count, "K", "beauty hadron pairs per event"),
    ("--noise-fraction", "noise_fraction", _fraction, "F",
     "expected fraction of noise hits (below 1)"),
    ("--hit-efficiency", "hit_efficiency", _fraction, "F",
     "probability that a crossing leaves a hit"),
    ("--hit-resolution", "hit_resolution", _non_negative, "MM", "hit resolution in mm"),
    ("--sensor-faces", "sensor_faces", _faces, "{1,2}", "z planes per half module"),
)


def _add_generate(commands) -> None:
    p = commands.add_parser(
        "generate", help="write a sample of synthetic events",
        description="Generate synthetic events with Monte Carlo truth and write them to DIR, "
                    "one JSON file per event. Event i uses seed S + i.")
    p.add_argument("--events", type=_count, required=True, metavar="N", help="number of events")
    p.add_argument("--seed", type=_count, default=0, metavar="S", help="seed of the first event")
    p.add_argument("--out", required=True, metavar="DIR", help="directory to write the sample to")
    for flag, knob, kind, metavar, text in _KNOB_OPTIONS:
        p.add_argument(flag, dest=knob, type=kind, metavar=metavar, help=text)
    p.add_argument("--with-time", action="store_true", help='add hit times ("t")')
    p.add_argument("--overwrite", action="store_true",
                   help="replace an earlier sample in DIR instead of refusing")
    p.set_defaults(handler=_run_generate)


def _run_generate(args) -> None:
    from .generate import generate_event
    from .io import write_sample

    knobs = {knob: getattr(args, knob) for _, knob, *_ in _KNOB_OPTIONS
             if getattr(args, knob) is not None}
    knobs["with_time"] = args.with_time
    try:
        generate_event(args.seed, **knobs)  # bad knob combinations fail before any file is written
        events = (generate_event(args.seed + i, **knobs) for i in range(args.events))
        paths = write_sample(args.out, events, overwrite=args.overwrite)
    except (OSError, ValueError) as e:
        raise CommandError(str(e)) from None
    print(f"wrote {len(paths)} events to {args.out}")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Tools around trelmon: synthetic events and samples.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    _add_generate(commands)
    return parser


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        args.handler(args)
    except CommandError as e:
        print(f"{PROG} {args.command}: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG} {args.command}: interrupted", file=sys.stderr)
        return 130
    return 0
