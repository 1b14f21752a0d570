"""Tuning a finder: a reproducible multi-objective search over its parameters with Optuna.

A study evaluates one finder on one sample: each trial configures the finder exactly as
``run --param`` would, solves every event with ``solve_batch`` and scores the tracks with the
validator's own figures. The trials live in an Optuna RDB storage (an SQLite file by default),
so running the command again resumes the study. The steps are plain functions::

    from trelmon_tools import run, tune
    sample = run.generated_sample(100, seed=0)
    objectives = tune.parse_objectives("efficiency:long,ghost_rate,clone_rate:long")
    space = tune.search_space("GraphDFS")
    study = tune.optimize("GraphDFS", sample, objectives, space, trials=20, seed=0,
                          storage="sqlite:///tune.db", study_name="demo")
    front = tune.pareto_front(study, objectives)

Needs the extra: ``pip install "trelmon[tune]"``.
"""

from __future__ import annotations

import math
import shlex
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from . import run, truth
from .files import StrPath, atomic_write
from .progress import progress

if TYPE_CHECKING:
    import argparse
    from pathlib import Path

    from trelmon.DetectorEvent import Event

__all__ = [
    "DEFAULT_OBJECTIVES",
    "DEFAULT_TRIALS",
    "RANGES",
    "Dimension",
    "Objective",
    "Point",
    "default_point",
    "evaluate",
    "format_front",
    "open_storage",
    "open_study",
    "optimize",
    "parameter_arguments",
    "parse_objectives",
    "parse_range",
    "pareto_front",
    "plot_front",
    "require_optuna",
    "run_command",
    "search_space",
]

#: Trials per command: a few minutes for any finder on the built-in sample here.
DEFAULT_TRIALS = 40
DEFAULT_OBJECTIVES = "efficiency:long,ghost_rate,clone_rate:long"
#: First seed of a holdout sample drawn for a tuning sample read from files, whose seeds are
#: unknown: far past any sample the generate command is normally asked for.
HOLDOUT_SEED_FOR_FILES = 1_000_000

# ------------------------------------------------------------------------------ objectives


@dataclass(frozen=True)
class Objective:
    """One figure to optimise: its canonical name, direction and how to read it."""

    name: str  # "efficiency:long", "ghost_rate", "clone_rate:long", "time"
    direction: str  # "maximize" or "minimize"
    title: str
    unit: str  # "%" or "ms"

    def value(self, result: run.FinderResult) -> float:
        kind, _, label = self.name.partition(":")
        if kind == "ghost_rate":
            return float(result.metrics["overall_ghost_rate"])
        if kind == "time":
            return 1000.0 * result.solve_seconds / result.n_events
        entry = result.category(label)
        if entry is None:  # a category the validator did not report counts as empty
            return 0.0
        return float(entry["recoeffT" if kind == "efficiency" else "clone_percentage"])

    def better(self, a: float, b: float) -> bool:
        return a > b if self.direction == "maximize" else a < b


def parse_objectives(text: str) -> list[Objective]:
    """Objectives from a comma-separated list of ``efficiency[:CATEGORY]``, ``ghost_rate``,
    ``clone_rate[:CATEGORY]`` and ``time`` (solve time per event); categories default to
    "long"."""
    objectives: list[Objective] = []
    for item in (part.strip() for part in text.split(",")):
        kind, colon, label = item.partition(":")
        if kind in ("efficiency", "clone_rate"):
            label = label if colon else "long"
            if label not in truth.CATEGORIES:
                raise run.RunError(
                    f"--objectives: unknown category {label!r} in {item!r} "
                    f"(categories: {', '.join(truth.CATEGORIES)})"
                )
            if kind == "efficiency":
                obj = Objective(f"{kind}:{label}", "maximize", f"{label} efficiency", "%")
            else:
                obj = Objective(f"{kind}:{label}", "minimize", f"{label} clone rate", "%")
        elif kind == "ghost_rate" and not colon:
            obj = Objective(kind, "minimize", "ghost rate", "%")
        elif kind == "time" and not colon:
            obj = Objective(kind, "minimize", "time per event", "ms")
        else:
            raise run.RunError(
                f"--objectives: unknown objective {item!r} (choose from efficiency[:CATEGORY], "
                "ghost_rate, clone_rate[:CATEGORY], time)"
            )
        if any(o.name == obj.name for o in objectives):
            raise run.RunError(f"--objectives: {obj.name} is named twice")
        objectives.append(obj)
    return objectives


# --------------------------------------------------------------------------- search space

#: Search ranges by parameter name, (low, high, logarithmic); a finder's own entry in
#: FINDER_RANGES wins. Pairs (x, y) are searched as one value given to both components, since
#: the detector and the generator treat x and y alike. Flags take both values. A numeric
#: parameter named nowhere here is searched from half to twice its default (a float) or from
#: two below to two above it, not below 0 (an integer).
RANGES = {
    # slopes |dx/dz|, |dy/dz| of a track: below 0.2 drops forward tracks the modules see
    "max_slopes": (0.2, 1.0, False),
    # mm off the extrapolated line: about a pixel's size up to several
    "max_tolerance": (0.1, 1.0, False),
    # squared distance over squared z step: a tenth to twice and a half the default
    "max_scatter": (0.04, 1.0, True),
    "minimum_root_weight": (1, 4, False),
    "weight_assignment_iterations": (1, 5, False),
    "allowed_skip_modules": (0, 3, False),
    "min_track_length": (3, 5, False),
    "min_strong_track_length": (3, 6, False),
    "allowed_missed_modules": (0, 4, False),
}
FINDER_RANGES = {
    # this finder's scatter is a squared distance in mm^2, not scaled by the z step
    ("SearchByTripletTrie", "max_scatter"): (0.01, 0.5, True),
}


@dataclass(frozen=True)
class Dimension:
    """One searched parameter: the finder's keyword, its kind and its range."""

    name: str
    kind: str  # "float", "int", "bool"
    low: float | int | bool
    high: float | int | bool
    log: bool = False
    components: int = 0  # a pair (or longer tuple) given one value in every component
    default: object = None

    def describe(self) -> str:
        if self.kind == "bool":
            return "False or True" if self.low != self.high else str(self.low)
        scale = ", logarithmic" if self.log else ""
        return f"{self.low} to {self.high}{scale}"

    def suggest(self, trial):
        if self.kind == "bool":
            choices = [False, True] if self.low != self.high else [bool(self.low)]
            return trial.suggest_categorical(self.name, choices)
        if self.kind == "int":
            return trial.suggest_int(self.name, int(self.low), int(self.high))
        value = trial.suggest_float(self.name, float(self.low), float(self.high), log=self.log)
        # Three significant digits: short --param arguments, and finer steps than that change
        # no figure measurably.
        return min(max(float(f"{value:.3g}"), float(self.low)), float(self.high))

    def finder_value(self, value):
        return tuple([value] * self.components) if self.components else value

    def search_value(self, finder_value):
        return finder_value[0] if self.components else finder_value


def _kind(value):
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, int):
        return "int"
    if isinstance(value, float):
        return "float"
    return None


def _tied(value) -> bool:
    return (
        isinstance(value, tuple)
        and len(value) > 0
        and all(_kind(v) in ("int", "float") for v in value)
        and len(set(value)) == 1
    )


def _table_range(finder: str, name: str, default):
    entry = FINDER_RANGES.get((finder, name), RANGES.get(name))
    if entry is not None:
        return entry
    kind = _kind(default)
    if kind == "float" and default > 0 and math.isfinite(default):
        return (default / 2, default * 2, True)
    if kind == "int":
        return (max(0, default - 2) if default >= 0 else default - 2, default + 2, False)
    return None


def search_space(finder: str, overrides: Sequence[str] = ()) -> list[Dimension]:
    """The dimensions searched for ``finder``: every parameter of its table whose type allows
    a range, in constructor order, with ``overrides`` (``NAME=LOW:HIGH`` strings) applied."""
    classes = run.finder_classes()
    if finder not in classes:
        raise run._unknown_finder(finder, classes)
    defaults = run.parameter_defaults(classes[finder])
    given = {}
    for text in overrides:
        name, low, high = parse_range(text)
        if name not in defaults:
            known = ", ".join(defaults) or "none"
            raise run.RunError(
                f"--range {text}: {finder} has no parameter {name!r} (its parameters: {known})"
            )
        given[name] = (low, high, text)
    space = [
        _dimension(finder, name, default, given.get(name)) for name, default in defaults.items()
    ]
    space = [d for d in space if d is not None]
    for d in space:
        if d.name in given:  # a bound the finder refuses fails now, not in the middle of a study
            for bound in (d.low, d.high):
                try:
                    run.configure_finders([finder], [f"{d.name}={_literal(d.finder_value(bound))}"])
                except run.RunError as e:
                    raise run.RunError(f"--range {given[d.name][2]}: {e}") from None
    return space


def _dimension(finder: str, name: str, default, given):
    """The dimension of one parameter, or None for one that is not searched; ``given`` is
    its ``--range`` (low, high, the option's text) or None."""
    components, value = 0, default
    if isinstance(default, tuple):
        if not _tied(default) and given is None:
            return None  # an asymmetric pair keeps its default unless a range names it
        components, value = len(default), default[0]
    kind = _kind(value)
    if kind is None:
        if given is not None:
            raise run.RunError(f"--range {given[2]}: {name} is not a number or a flag")
        return None
    if kind == "bool":
        low, high = (False, True) if given is None else _flag_range(*given)
        return Dimension(name, kind, low, high, default=default)
    table = _table_range(finder, name, value)
    log = bool(table and table[2])
    if given is not None:
        low, high = _numeric_range(kind, *given)
        log = log and low > 0
    elif table is None:
        return None
    else:
        low, high = table[0], table[1]
    if kind == "float":
        low, high = float(low), float(high)
    return Dimension(name, kind, low, high, log, components, default)


def parse_range(text: str) -> tuple[str, str, str]:
    """Split ``NAME=LOW:HIGH`` into (name, low as written, high as written)."""
    name, sep, bounds = text.partition("=")
    low, colon, high = bounds.partition(":")
    name, low, high = name.strip(), low.strip(), high.strip()
    if not sep or not colon or not name.isidentifier() or not low or not high:
        raise run.RunError(f"--range expects NAME=LOW:HIGH, not {text!r}")
    return name, low, high


def _flag_range(low: str, high: str, text: str):
    values = {"False": False, "True": True}
    if low not in values or high not in values:
        raise run.RunError(f"--range {text}: a flag takes False:True, False:False or True:True")
    return tuple(sorted((values[low], values[high])))


def _numeric_range(kind: str, low: str, high: str, text: str):
    convert = int if kind == "int" else float
    try:
        lo, hi = convert(low), convert(high)
    except ValueError:
        what = "integers" if kind == "int" else "numbers"
        raise run.RunError(f"--range {text}: the bounds must be {what}") from None
    if not (math.isfinite(lo) and math.isfinite(hi)):
        raise run.RunError(f"--range {text}: the bounds must be finite")
    if lo > hi:
        raise run.RunError(f"--range {text}: the low bound is above the high bound")
    return lo, hi


# ------------------------------------------------------------------------------ evaluation


def _literal(value) -> str:
    # repr gives the shortest text that reads back as the same float
    if isinstance(value, tuple):
        return "(" + ", ".join(_literal(v) for v in value) + ")"
    return repr(value)


def _inside(space, name, value) -> bool:
    d = next(d for d in space if d.name == name)
    return d.low <= value <= d.high


def parameter_arguments(space: list, values: dict) -> list:
    """The ``NAME=VALUE`` strings (as ``run --param`` takes them) of a point of the space."""
    return [f"{d.name}={_literal(d.finder_value(values[d.name]))}" for d in space]


def evaluate(
    finder: str,
    params: list[str],
    sample: run.Sample,
    events: Sequence[Event],
    objectives: list[Objective],
) -> list[float]:
    """The objectives' values for the finder configured with ``params`` on the sample."""
    configured = run.configure_finders([finder], params)
    result = run.run_finders(sample, configured, events, keep_tracks=False)[0]
    return [o.value(result) for o in objectives]


# ---------------------------------------------------------------------------------- study


def require_optuna() -> Any:
    """The optuna module, or RunError saying what to install."""
    try:
        import optuna
    except ImportError:
        raise run.RunError('tune needs optuna: pip install "trelmon[tune]"') from None
    optuna.logging.set_verbosity(optuna.logging.WARNING)
    return optuna


def _study_key(finder: str, sample: run.Sample, objectives: list) -> dict:
    return {
        "algorithm": finder,
        "sample": dict(sample.source),
        "objectives": [o.name for o in objectives],
    }


def default_study_name(finder: str, sample: run.Sample, objectives: list) -> str:
    return f"{finder}, {sample.describe()}, " + " ".join(o.name for o in objectives)


def open_storage(url: str) -> Any:
    """Optuna's RDB storage at ``url``, holding no database connection between its calls: a
    pooled connection would outlive the study (Python 3.13 warns of an unclosed SQLite one)."""
    optuna = require_optuna()
    from sqlalchemy.pool import NullPool

    return optuna.storages.RDBStorage(url, engine_kwargs={"poolclass": NullPool})


def open_study(
    storage: str, study_name: str, finder: str, sample: run.Sample, objectives: list[Objective]
) -> Any:
    """Load the study, or create it; a study made for another finder, sample or objectives is
    refused, since its trials would not compare."""
    optuna = require_optuna()
    try:
        store = open_storage(storage)
    except Exception as e:  # sqlalchemy's and optuna's many kinds of refusal
        raise run.RunError(f"cannot open storage {storage}: {run._message(e)}") from None
    key = _study_key(finder, sample, objectives)
    try:
        study = optuna.load_study(study_name=study_name, storage=store)
    except KeyError:
        study = optuna.create_study(
            study_name=study_name,
            storage=store,
            directions=[o.direction for o in objectives],
        )
        for k, v in key.items():
            study.set_user_attr(k, v)
        return study
    found = {k: study.user_attrs.get(k) for k in key}
    if found != key:
        raise run.RunError(
            f"study {study_name!r} in {storage} tunes {found['algorithm']} on "
            f"{found['sample']} for {found['objectives']}, not {finder} on {key['sample']} "
            f"for {key['objectives']}: name another --study"
        )
    return study


def optimize(
    finder: str,
    sample: run.Sample,
    objectives: list[Objective],
    space: list[Dimension],
    *,
    trials: int,
    seed: int,
    storage: str,
    study_name: str,
) -> Any:
    """Add ``trials`` trials to the study and return it.

    Trials run one after another; a fresh study starts with the finder's defaults and then
    follows a TPE sampler seeded with ``seed`` (plus the trials already there, so that a
    resumed study draws new points), which makes the trials a function of the arguments.
    """
    optuna = require_optuna()
    study = open_study(storage, study_name, finder, sample, objectives)
    done = len(study.trials)
    study.sampler = optuna.samplers.TPESampler(seed=seed + done)
    if done == 0 and trials > 0:
        # The defaults first, where the ranges hold them, so the front starts from them.
        start = {d.name: d.search_value(d.default) for d in space}
        study.enqueue_trial({k: v for k, v in start.items() if _inside(space, k, v)})
    events = run.build_events(sample)

    def objective(trial):
        values = {d.name: d.suggest(trial) for d in space}
        params = parameter_arguments(space, values)
        trial.set_user_attr("param", params)
        return evaluate(finder, params, sample, events, objectives)

    with progress(total=trials, desc=f"tuning {finder}", unit="trial") as bar:
        study.optimize(objective, n_trials=trials, n_jobs=1, callbacks=[lambda *_: bar.update()])
    return study


# ---------------------------------------------------------------------------------- front


@dataclass
class Point:
    """A parameter set and its figures (and its figures on the holdout sample, when asked)."""

    label: str  # "trial 12" or "defaults"
    trial: int | None
    params: list
    values: list
    holdout: list | None = None
    beats_defaults: bool = False
    also: list = field(default_factory=list)  # trials with the very same figures


def _dominates(objectives, a, b) -> bool:
    return all(not o.better(y, x) for o, x, y in zip(objectives, a, b, strict=True)) and any(
        o.better(x, y) for o, x, y in zip(objectives, a, b, strict=True)
    )


def pareto_front(study: Any, objectives: list[Objective]) -> list[Point]:
    """The study's non-dominated trials, best first by the first objective (then the others,
    then trial number); trials with figures equal to an earlier one's are listed with it."""
    optuna = require_optuna()
    complete = [t for t in study.trials if t.state == optuna.trial.TrialState.COMPLETE and t.values]
    front = [
        t for t in complete if not any(_dominates(objectives, o.values, t.values) for o in complete)
    ]

    def key(t):
        signed = [
            -v if o.direction == "maximize" else v
            for o, v in zip(objectives, t.values, strict=True)
        ]
        return (*signed, t.number)

    points: list[Point] = []
    for t in sorted(front, key=key):
        if points and points[-1].values == list(t.values):
            points[-1].also.append(t.number)
            continue
        points.append(Point(f"trial {t.number}", t.number, t.user_attrs["param"], list(t.values)))
    return points


def default_point(
    finder: str,
    sample: run.Sample,
    events: Sequence[Event],
    objectives: list[Objective],
    space: list[Dimension],
) -> Point:
    params = parameter_arguments(space, {d.name: d.search_value(d.default) for d in space})
    return Point("defaults", None, params, evaluate(finder, params, sample, events, objectives))


def format_front(
    finder: str,
    sample: run.Sample,
    objectives: list[Objective],
    space: list[Dimension],
    study: Any,
    front: list[Point],
    defaults: Point,
    holdout: run.Sample | None = None,
) -> str:
    """The front as aligned text: one row per point (the defaults first, for reference), then
    the ``run`` command that reproduces each point."""
    header = [""] + [d.name for d in space] + [f"{o.title} ({o.unit})" for o in objectives]
    rows = []
    for p in [defaults, *front]:
        values = {}
        for text in p.params:
            _, name, value, _ = run.parse_param(text)
            values[name] = value
        cells = [p.label + (" *" if p.beats_defaults else "")]
        cells += [_literal(d.search_value(values[d.name])) for d in space]
        for i, o in enumerate(objectives):
            cell = _cell(o, p.values[i])
            if p.holdout is not None:
                cell += " / " + _cell(o, p.holdout[i])
            cells.append(cell)
        rows.append(cells)
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]

    def line(cells):
        text = [cells[0].ljust(widths[0])] + [
            c.rjust(w) for c, w in zip(cells[1:], widths[1:], strict=True)
        ]
        return "  ".join(text).rstrip()

    completed = sum(1 for t in study.trials if t.values)
    lines = [
        f"{finder} on {sample.describe()}: study {study.study_name!r}, {completed} trials, "
        f"{len(front)} on the Pareto front",
        "objectives: " + ", ".join(f"{o.title} ({o.direction[:3]})" for o in objectives),
        "search: " + "; ".join(f"{d.name} {d.describe()}" for d in space),
    ]
    if holdout is not None:
        lines.append(f"figures: tuning sample / holdout sample ({holdout.describe()})")
    lines += ["", line(header), *(line(r) for r in rows)]
    if any(p.beats_defaults for p in front):
        lines.append("* as good as the defaults on every objective and better on one at least")
    lines += ["", "to reproduce a point:"]
    source = _sample_arguments(sample)
    for p in front:
        also = f" (also trials {', '.join(map(str, p.also))})" if p.also else ""
        args = " ".join(f"--param {shlex.quote(a)}" for a in p.params)
        lines.append(
            f"  {p.label}{also}: python -m trelmon_tools run --algorithm {finder} {source} {args}"
        )
    return "\n".join(lines)


def _cell(objective, value) -> str:
    return f"{value:.3f}" if objective.unit == "ms" else f"{value:.2f}"


def _sample_arguments(sample) -> str:
    if sample.source["kind"] == "generated":
        return f"--generate {sample.source['events']} --seed {sample.source['seed']}"
    return f"--events {shlex.quote(sample.source['directory'])}"


def holdout_sample(sample: run.Sample, n: int, seed: int | None = None) -> run.Sample:
    """``n`` generated events independent of the tuning sample: by default the seeds right
    after a generated tuning sample's, or from HOLDOUT_SEED_FOR_FILES for one read from files."""
    if seed is None:
        if sample.source["kind"] == "generated":
            seed = sample.source["seed"] + sample.source["events"]
        else:
            seed = HOLDOUT_SEED_FOR_FILES
    return run.generated_sample(n, seed)


# ---------------------------------------------------------------------------------- figure


def plot_front(
    path: StrPath, objectives: list[Objective], study: Any, front: list[Point], defaults: Point
) -> None:
    """Every trial and the front in the plane of the first objective against each other one
    (against the trial number when there is only one), the defaults starred."""
    from matplotlib.figure import Figure

    others: list[Objective | None] = [*objectives[1:]] or [None]
    fig = Figure(figsize=(5.0 * len(others), 4.2), layout="constrained")
    axes = fig.subplots(1, len(others), squeeze=False)[0]
    trials = [t for t in study.trials if t.values]
    first = objectives[0]

    def label(o):
        return f"{o.title} ({o.unit})"

    for ax, other in zip(axes, others, strict=True):
        index = objectives.index(other) if other is not None else None

        def xy(values, number, index=index):
            return (number if index is None else values[index]), values[0]

        xs, ys = zip(*(xy(t.values, t.number) for t in trials), strict=True) if trials else ((), ())
        ax.scatter(xs, ys, s=12, color="0.7", label="trials")
        fx, fy = zip(*(xy(p.values, p.trial) for p in front), strict=True) if front else ((), ())
        ax.scatter(fx, fy, s=28, color="tab:blue", label="Pareto front")
        if any(p.holdout for p in front):
            hx, hy = zip(*(xy(p.holdout, p.trial) for p in front), strict=True)
            ax.scatter(hx, hy, s=28, facecolors="none", edgecolors="tab:orange", label="holdout")
        if index is not None:
            dx, dy = xy(defaults.values, 0)
            ax.scatter([dx], [dy], s=140, marker="*", color="tab:red", label="defaults")
        ax.set_xlabel("trial" if other is None else label(other))
        ax.set_ylabel(label(first))
        ax.grid(alpha=0.3)
    axes[0].legend(fontsize="small")
    fig.suptitle(study.study_name, fontsize="small")
    with atomic_write(path, "wb") as f:
        fig.savefig(f, format="png", dpi=110)


# --------------------------------------------------------------------------------- command


def run_command(
    args: argparse.Namespace, sample: run.Sample, plots_directory: Path | None = None
) -> None:
    """``tune`` with parsed arguments and the tuning sample: run the study, print the front,
    and draw and write what was asked."""
    objectives = parse_objectives(args.objectives)
    space = search_space(args.algorithm, args.range)
    require_optuna()
    study_name = args.study or default_study_name(args.algorithm, sample, objectives)
    study = optimize(
        args.algorithm,
        sample,
        objectives,
        space,
        trials=args.trials,
        seed=args.sampler_seed,
        storage=args.storage,
        study_name=study_name,
    )
    front = pareto_front(study, objectives)
    events = run.build_events(sample)
    defaults = default_point(args.algorithm, sample, events, objectives, space)
    for p in front:
        p.beats_defaults = _dominates(objectives, p.values, defaults.values)

    held = None
    if args.holdout:
        held = holdout_sample(sample, args.holdout, args.holdout_seed)
        held_events = run.build_events(held)
        for p in [defaults, *front]:
            p.holdout = evaluate(args.algorithm, p.params, held, held_events, objectives)

    print(
        format_front(args.algorithm, sample, objectives, space, study, front, defaults, held),
        flush=True,
    )
    if args.json is not None:
        run.write_json(args.json, _record(args, sample, held, objectives, study, front, defaults))
        print(f"\nwrote {args.json}")
    if plots_directory is not None:
        path = plots_directory / "pareto_front.png"
        plot_front(path, objectives, study, front, defaults)
        print(f"wrote {path}")


def _record(args, sample, held, objectives, study, front, defaults) -> dict:
    def by_name(values):
        return (
            None if values is None else dict(zip((o.name for o in objectives), values, strict=True))
        )

    return {
        "study": study.study_name,
        "storage": args.storage,
        "algorithm": args.algorithm,
        "sample": dict(sample.source),
        "holdout": None if held is None else dict(held.source),
        "objectives": [{"name": o.name, "direction": o.direction} for o in objectives],
        "trials": sum(1 for t in study.trials if t.values),
        "points": [
            {
                "label": p.label,
                "trial": p.trial,
                "param": p.params,
                "values": by_name(p.values),
                "holdout": by_name(p.holdout),
                "beats_defaults": p.beats_defaults,
                "same_as_trials": p.also,
            }
            for p in [defaults, *front]
        ],
    }
