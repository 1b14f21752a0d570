"""Figures of a run, drawn from the truth tables in one pass over them.

Every track-to-particle judgement comes from :func:`trelmon_tools.truth.truth_tables`, which
runs the validator's own matching once per event; nothing here calls the validator again.
Binned figures are histograms of the tables' columns:

- reconstruction efficiency (reconstructed / particles) against p, pt, eta and phi, one panel
  per category;
- ghost rate (ghosts / tracks) against the track's eta and its number of hits;
- clone rate (clone tracks / reconstructed particles, as the validator counts clones in each
  category) against p;
- the event display: ghosts and missed particles of one event, read from the tables.

Uncertainties are Wilson score intervals, or Clopper-Pearson ones on request, both at one
standard deviation (68.3%). Figures are drawn with matplotlib's object interface on the Agg
canvas (no display needed, no global backend switched), in mplhep's style when mplhep is
installed. Install the extra: ``pip install "trelmon[plot]"``.
"""

from __future__ import annotations

import contextlib
import math
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike

from . import truth
from .files import StrPath, atomic_write

if TYPE_CHECKING:
    from .run import FinderResult

__all__ = [
    "EDGES",
    "INTERVALS",
    "PLOT_CATEGORIES",
    "binned_counts",
    "clopper_pearson",
    "efficiency_interval",
    "event_display",
    "require_matplotlib",
    "wilson",
    "write_plots",
]

#: Bin edges per variable: momenta in MeV (logarithmic), angles in steps of 0.5 and pi/12,
#: track lengths in hits (one bin per count).
EDGES = {
    "p": np.geomspace(100.0, 100_000.0, 16),
    "pt": np.geomspace(10.0, 10_000.0, 16),
    "eta": np.linspace(-5.5, 6.0, 24),
    "phi": np.linspace(-math.pi, math.pi, 25),
    "n_hits": np.arange(1.5, 27.5),
}
#: Variables drawn on a logarithmic axis, and how they are labelled.
_LOG = {"p", "pt"}
_AXIS = {
    "p": "momentum p [GeV]",
    "pt": "transverse momentum $p_T$ [GeV]",
    "eta": "pseudorapidity η",
    "phi": "azimuth φ [rad]",
    "n_hits": "hits on track",
}
_SCALE = {"p": 1e-3, "pt": 1e-3}  # momenta drawn in GeV
#: The categories of the clone-rate figure (the efficiency figures show every category).
PLOT_CATEGORIES = ("velo", "long")
#: Interval methods for efficiencies and rates.
INTERVALS = ("wilson", "clopper-pearson")
_ONE_SIGMA = math.erf(1 / math.sqrt(2))  # 0.6827


def _figure(**kwargs):
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError('the figures need matplotlib: pip install "trelmon[plot]"') from None
    return Figure(**kwargs)


def _save(fig: Any, path: StrPath, *, dpi: int) -> None:
    # Through a file object the format cannot come from the name, so it is named.
    path = Path(path)
    with atomic_write(path, "wb") as f:
        fig.savefig(f, format=path.suffix[1:] or None, dpi=dpi)


def require_matplotlib() -> None:
    """Raise ImportError, saying what to install, unless matplotlib can be imported."""
    _figure()


def _style():
    # mplhep's style where it is installed; matplotlib's defaults otherwise.
    try:
        import matplotlib.style
        import mplhep
    except ImportError:
        return contextlib.nullcontext()
    return matplotlib.style.context(mplhep.style.ROOT)


# ------------------------------------------------------------------------------ intervals


def wilson(k: ArrayLike, n: ArrayLike, z: float = 1.0) -> tuple[np.ndarray, np.ndarray]:
    """Wilson score interval of k successes in n trials: (low, high), NaN where n = 0. It stays
    inside [0, 1] and keeps a width at 0 and 1."""
    k = np.asarray(k, dtype=float)
    n = np.asarray(n, dtype=float)
    with np.errstate(invalid="ignore", divide="ignore"):
        denominator = n + z * z
        centre = (k + z * z / 2) / denominator
        half = z / denominator * np.sqrt(k * (n - k) / n + z * z / 4)
    empty = n == 0
    return np.where(empty, np.nan, centre - half), np.where(empty, np.nan, centre + half)


def _log_beta(a, b):
    lgamma = np.vectorize(math.lgamma, otypes=[float])
    return lgamma(a) + lgamma(b) - lgamma(a + b)


def _incomplete_beta(x, a, b, log_beta):
    """Regularised incomplete beta I_x(a, b), elementwise, by its continued fraction (Lentz),
    taken on the side where it converges fast. ``log_beta`` is log B(a, b)."""
    flip = x > (a + 1) / (a + b + 2)
    x, a, b = np.where(flip, 1 - x, x), np.where(flip, b, a), np.where(flip, a, b)
    with np.errstate(divide="ignore", invalid="ignore"):
        front = np.exp(a * np.log(x) + b * np.log1p(-x) - log_beta) / a
        tiny = 1e-300
        c = np.ones_like(x)
        d = 1 - (a + b) * x / (a + 1)
        d = 1 / np.where(np.abs(d) < tiny, tiny, d)
        result = d.copy()
        for m in range(1, 3000):
            for numerator in (
                m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m)),
                -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1)),
            ):
                d = 1 + numerator * d
                d = 1 / np.where(np.abs(d) < tiny, tiny, d)
                c = 1 + numerator / c
                c = np.where(np.abs(c) < tiny, tiny, c)
                result = result * c * d
            if np.all(np.abs(c * d - 1) < 1e-15):
                break
        value = front * result
    value = np.where(x <= 0, 0.0, np.where(x >= 1, 1.0, value))
    return np.where(flip, 1 - value, value)


def _beta_quantile(q, a, b):
    # Bisection on the incomplete beta, which is monotone: 48 halvings leave 4e-15.
    q, a, b = np.broadcast_arrays(*(np.asarray(v, dtype=float) for v in (q, a, b)))
    log_beta = _log_beta(a, b)
    low = np.zeros(q.shape)
    high = np.ones_like(low)
    for _ in range(48):
        middle = (low + high) / 2
        below = _incomplete_beta(middle, a, b, log_beta) < q
        low = np.where(below, middle, low)
        high = np.where(below, high, middle)
    return (low + high) / 2


def clopper_pearson(
    k: ArrayLike, n: ArrayLike, level: float = _ONE_SIGMA
) -> tuple[np.ndarray, np.ndarray]:
    """Clopper-Pearson interval of k successes in n trials at the given coverage: (low, high),
    NaN where n = 0. Never narrower than the coverage asks, at the price of some width."""
    k = np.asarray(k, dtype=float)
    n = np.asarray(n, dtype=float)
    tail = (1 - level) / 2
    empty = n == 0
    safe_n = np.where(empty, 1.0, n)
    # both bounds in one bisection
    size = k.size
    bounds = _beta_quantile(
        np.repeat([tail, 1 - tail], size),
        np.concatenate([np.maximum(k, 1), k + 1], axis=None),
        np.concatenate([safe_n - k + 1, np.maximum(safe_n - k, 1)], axis=None),
    )
    low = np.where(k > 0, bounds[:size].reshape(k.shape), 0.0)
    high = np.where(k < n, bounds[size:].reshape(k.shape), 1.0)
    return np.where(empty, np.nan, low), np.where(empty, np.nan, high)


def efficiency_interval(
    k: ArrayLike, n: ArrayLike, method: str = "wilson"
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Ratio k/n and its one-standard-deviation interval: (value, low, high), arrays in and
    out, NaN where n = 0. ``method`` is "wilson" or "clopper-pearson"."""
    if method not in INTERVALS:
        raise ValueError(f"interval method must be one of {', '.join(INTERVALS)}, not {method!r}")
    k = np.asarray(k, dtype=float)
    n = np.asarray(n, dtype=float)
    with np.errstate(invalid="ignore", divide="ignore"):
        value = np.where(n == 0, np.nan, k / n)
    low, high = wilson(k, n) if method == "wilson" else clopper_pearson(k, n)
    return value, low, high


# ------------------------------------------------------------------------------ binning


def _column(table, name) -> np.ndarray:
    return np.asarray(table.column(name).to_numpy(zero_copy_only=False))


def binned_counts(
    values: ArrayLike | None,
    edges: ArrayLike,
    selected: ArrayLike,
    passed: ArrayLike,
    weights: ArrayLike | None = None,
    *,
    bins: np.ndarray | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """Per bin of ``values`` (``edges[b] <= value < edges[b + 1]``; NaN and values outside
    fall in no bin): the number of selected rows, and the sum of ``weights`` (1 each by
    default) over those of them that passed. Integer arrays, one entry per bin. ``bins``, when
    given, is the bin of each value already (as :func:`bin_of` gives it).
    """
    edges = np.asarray(edges, dtype=float)
    if bins is None:
        if values is None:
            raise ValueError("binned_counts needs the values or their bins")
        bins = bin_of(values, edges)
    n_bins = len(edges) - 1
    selected = np.asarray(selected, dtype=bool) & (bins >= 0) & (bins < n_bins)
    passed = np.asarray(passed, dtype=bool) & selected
    total = np.bincount(bins[selected], minlength=n_bins)
    if weights is None:
        hits = np.bincount(bins[passed], minlength=n_bins)
    else:
        hits = np.bincount(bins[passed], weights=np.asarray(weights)[passed], minlength=n_bins)
    return total.astype(np.int64), np.rint(hits).astype(np.int64)


def bin_of(values: ArrayLike, edges: ArrayLike) -> np.ndarray:
    """The bin of each value: b where ``edges[b] <= value < edges[b + 1]``, -1 or
    ``len(edges) - 1`` outside (NaN counts as outside)."""
    values = np.asarray(values, dtype=float)
    bins = np.searchsorted(edges, values, side="right") - 1
    return np.where(np.isnan(values), -1, bins)


def _finder_counts(tables) -> dict:
    """Every binned count the figures need, for one finder, as (n, k) pairs: one pass over
    its tables, each column read once."""
    particles, tracks = tables.particles, tables.tracks
    reconstructed = _column(particles, "reconstructed")
    member = {label: _column(particles, label) for label in truth.CATEGORIES}
    counts: dict[tuple[str, ...], tuple[np.ndarray, np.ndarray]] = {}
    bins = {}
    # Every category at once: a bins x rows indicator times the rows x categories membership.
    members = np.column_stack([member[label] for label in truth.CATEGORIES]).astype(np.float64)
    for variable in ("p", "pt", "eta", "phi"):
        bins[variable] = bin_of(_column(particles, variable), EDGES[variable])
        n_bins = len(EDGES[variable]) - 1
        indicator = (bins[variable] == np.arange(n_bins)[:, None]).astype(np.float64)
        n = np.rint(indicator @ members).astype(np.int64)
        k = np.rint(indicator @ (members * reconstructed[:, None])).astype(np.int64)
        for c, label in enumerate(truth.CATEGORIES):
            counts["efficiency", variable, label] = (n[:, c], k[:, c])
    for label in PLOT_CATEGORIES:
        counts["clones", "p", label] = binned_counts(
            None,
            EDGES["p"],
            member[label] & reconstructed,
            reconstructed,
            _column(particles, f"clones[{label}]"),
            bins=bins["p"],
        )
    everything = np.ones(tracks.num_rows, dtype=bool)
    ghost = _column(tracks, "ghost")
    for variable in ("eta", "n_hits"):
        counts["ghosts", variable] = binned_counts(
            _column(tracks, variable), EDGES[variable], everything, ghost
        )
    return counts


def _rates(counts_by_finder: dict, method: str) -> dict:
    """(n, value, low, high) of every count pair, all intervals computed in one call."""
    keys = [(name, key) for name, counts in counts_by_finder.items() for key in counts]
    if not keys:
        return {}
    n = np.concatenate([counts_by_finder[name][key][0] for name, key in keys])
    k = np.concatenate([counts_by_finder[name][key][1] for name, key in keys])
    # Clone tracks per reconstructed particle can exceed 1: its interval is that of the
    # fraction f of clones among matched tracks, mapped through f / (1 - f).
    clones = np.concatenate(
        [np.full(len(counts_by_finder[name][key][0]), key[0] == "clones") for name, key in keys]
    )
    value, low, high = efficiency_interval(k, np.where(clones, n + k, n), method)
    with np.errstate(divide="ignore", invalid="ignore"):
        value, low, high = (
            np.where(clones & (n > 0), v / (1 - v), np.where(clones, np.nan, v))
            for v in (value, low, high)
        )
    rates, start = {}, 0
    for name, key in keys:
        size = len(counts_by_finder[name][key][0])
        part = slice(start, start + size)
        rates[name, key] = (n[part], value[part], low[part], high[part])
        start += size
    return rates


# ------------------------------------------------------------------------------ figures

_MARKERS = "osD^v<>p"


def _axis_edges(variable):
    return EDGES[variable] * _SCALE.get(variable, 1.0)


def _draw_rates(ax, variable, series, *, totals=None, what="efficiency [%]"):
    """Points with intervals for each series' rates (n, value, low, high), side by side within
    a bin, over a grey histogram of ``totals`` scaled to the panel's height."""
    x_edges = _axis_edges(variable)
    log_x = variable in _LOG
    centres = np.sqrt(x_edges[:-1] * x_edges[1:]) if log_x else (x_edges[:-1] + x_edges[1:]) / 2
    if totals is not None and totals.max() > 0:
        ax.stairs(100 * totals / totals.max(), x_edges, fill=True, color="0.9", zorder=0)
    from matplotlib.collections import LineCollection

    # The bars of every series in one collection: a collection per series and direction costs
    # more to build than the whole panel costs to draw.
    bars, colours = [], []
    m = len(series)
    for i, (name, (n, value, low, high)) in enumerate(series.items()):
        shown = n > 0
        shift = (i - (m - 1) / 2) * 0.5 / max(m, 1)
        if log_x:
            x = centres * (x_edges[1:] / x_edges[:-1]) ** shift
        else:
            x = centres + shift * (x_edges[1:] - x_edges[:-1])
        x, y, low, high = x[shown], 100 * value[shown], 100 * low[shown], 100 * high[shown]
        left, right = x_edges[:-1][shown], x_edges[1:][shown]
        bars += [((a, b), (a, c)) for a, b, c in zip(x, low, high, strict=True)]
        bars += [((a, c), (b, c)) for a, b, c in zip(left, right, y, strict=True)]
        colours += [f"C{i}"] * (2 * len(x))
        ax.plot(x, y, _MARKERS[i % len(_MARKERS)], color=f"C{i}", markersize=3, label=name)
    if bars:
        ax.add_collection(LineCollection(bars, colors=colours, linewidths=0.8))
    if log_x:
        from matplotlib.ticker import FuncFormatter

        ax.set_xscale("log")
        ax.minorticks_off()
        # plain numbers, not powers of ten typeset as formulas
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
    _few_ticks(ax)
    ax.set_xlim(x_edges[0], x_edges[-1])
    ax.set_xlabel(_AXIS[variable])
    ax.set_ylabel(what)
    ax.grid(alpha=0.3)


def _title(ax, text):
    # A fixed height: placing a title automatically measures the axis below it once more.
    ax.set_title(text, y=1.01)


def _few_ticks(ax):
    # Every tick is a line and a text to build and draw: a handful is enough and much faster.
    from matplotlib.ticker import MaxNLocator

    ax.yaxis.set_major_locator(MaxNLocator(5))
    if ax.get_xscale() == "linear":
        ax.xaxis.set_major_locator(MaxNLocator(6))


def _panels(rows, columns, size):
    # Fixed margins: a layout engine measures every text twice, which costs more than the rest.
    fig = _figure(figsize=size)
    fig.subplots_adjust(left=0.06, right=0.98, bottom=0.1, top=0.9, wspace=0.3, hspace=0.45)
    return fig, [fig.add_subplot(rows, columns, i + 1) for i in range(rows * columns)]


def _efficiency_figure(path, variable, rates, finders):
    # One panel per finder, the categories as series: a panel per category and finder would
    # take several times longer to draw than the run takes.
    fig, axes = _panels(1, len(finders), (4.6 * len(finders) + 3.2, 4.4))
    fig.subplots_adjust(left=0.05, right=1 - 3.4 / (4.6 * len(finders) + 3.2), bottom=0.13)
    fig.subplots_adjust(top=0.88, wspace=0.25)
    for ax, name in zip(axes, finders, strict=True):
        series = {label: rates[name, ("efficiency", variable, label)] for label in truth.CATEGORIES}
        _draw_rates(ax, variable, series, totals=series[truth.CATEGORIES[0]][0])
        ax.set_ylim(0, 105)
        _title(ax, name)
    if finders:
        handles, labels = axes[0].get_legend_handles_labels()
        counts = [int(rates[finders[0], ("efficiency", variable, c)][0].sum()) for c in labels]
        fig.legend(
            handles,
            [f'"{label}" ({n} particles)' for label, n in zip(labels, counts, strict=True)],
            loc="center right",
            title="reconstruction efficiency of",
            fontsize="small",
        )
        fig.text(
            0.99,
            0.12,
            f'grey: "{truth.CATEGORIES[0]}" particles per bin',
            ha="right",
            color="0.5",
            fontsize="small",
        )
    _save(fig, path, dpi=72)


def _two_panels(path, panels, rates, finders, what):
    fig, axes = _panels(1, 2, (11, 4.2))
    fig.subplots_adjust(left=0.07, bottom=0.13, top=0.88, wspace=0.25)
    for ax, (variable, key, title) in zip(axes, panels, strict=True):
        _draw_rates(ax, variable, {name: rates[name, key] for name in finders}, what=what)
        ax.set_ylim(bottom=0)
        _title(ax, title)
        if ax is axes[0]:
            ax.legend(loc="upper right", fontsize="small")
    _save(fig, path, dpi=72)


def _segments(ids_list, a, b):
    # One polyline per hit list, for a LineCollection.
    return [np.column_stack([a[ids], b[ids]]) for ids in ids_list if len(ids)]


def event_display(
    path: StrPath,
    event: dict[str, Any],
    tables: truth.TruthTables,
    index: int,
    *,
    title: str,
    label: str = "velo",
) -> dict[str, int]:
    """Three views (x–z, y–z, x–y) of event ``index`` of the tables: its hits, the matched
    tracks in colour, the unmatched ones (ghosts, and their duplicates) dashed in black, and the
    particles of ``label`` that no track reconstructs in thick red. Returns the counts shown."""
    from matplotlib.collections import LineCollection

    xs, ys, zs = (np.asarray(event[k], dtype=float) for k in ("x", "y", "z"))
    n = min(len(xs), len(ys), len(zs))
    coords = {"x": xs[:n], "y": ys[:n], "z": zs[:n]}
    tracks = tables.tracks.filter(_column(tables.tracks, "event") == index)
    particles = tables.particles.filter(_column(tables.particles, "event") == index)
    track_ids = [np.asarray(ids, dtype=np.int64) for ids in tracks.column("hit_ids").to_pylist()]
    track_ids = [ids[(ids >= 0) & (ids < n)] for ids in track_ids]
    # A track without a particle in an event with particles: a ghost, or a ghost's duplicate.
    unmatched = np.asarray(tracks.column("particle").is_null().to_numpy(zero_copy_only=False))
    if particles.num_rows == 0:
        unmatched = np.zeros(len(track_ids), dtype=bool)
    missed_rows = _column(particles, label) & ~_column(particles, "reconstructed")
    missed = [
        np.asarray(sorted(ids, key=lambda h: zs[h]), dtype=np.int64)
        for ids, keep in zip(particles.column("hit_ids").to_pylist(), missed_rows, strict=True)
        if keep
    ]
    n_ghosts = int(_column(tracks, "ghost").sum())

    fig, axes = _panels(1, 3, (16, 5.6))
    fig.subplots_adjust(left=0.05, bottom=0.1, top=0.88, wspace=0.22)
    views = (("z", "x", "x–z view"), ("z", "y", "y–z view"), ("x", "y", "x–y view"))
    colours = [f"C{i}" for i in (0, 1, 2, 4, 5, 6, 8, 9)]  # no red (missed), no grey (hits)
    for column, (ax, (h, v, view)) in enumerate(zip(axes, views, strict=True)):
        ax.plot(coords[h], coords[v], ".", markersize=1.5, color="0.6", label="hits")
        good = [ids for ids, u in zip(track_ids, unmatched, strict=True) if not u]
        bad = [ids for ids, u in zip(track_ids, unmatched, strict=True) if u]
        if good:
            ax.add_collection(
                LineCollection(
                    _segments(good, coords[h], coords[v]),
                    colors=[colours[i % len(colours)] for i in range(len(good))],
                    linewidths=0.7,
                    label="tracks",
                )
            )
        if bad:
            ax.add_collection(
                LineCollection(
                    _segments(bad, coords[h], coords[v]),
                    colors="black",
                    linestyles="--",
                    linewidths=0.9,
                    label="ghost tracks",
                )
            )
        if missed:
            ax.add_collection(
                LineCollection(
                    _segments(missed, coords[h], coords[v]),
                    colors="red",
                    alpha=0.55,
                    linewidths=2.2,
                    label=f'missed "{label}" particles',
                )
            )
            ids = np.concatenate(missed)
            ax.plot(coords[h][ids], coords[v][ids], "o", color="red", alpha=0.55, markersize=3)
        _few_ticks(ax)
        ax.set_xlabel(f"{h} [mm]")
        ax.set_ylabel(f"{v} [mm]")
        if (h, v) == ("x", "y"):
            ax.set_aspect("equal", adjustable="datalim")
        _title(ax, view)
        if column == 0:
            ax.legend(loc="upper left", fontsize="small", markerscale=3)
    shown = {
        "hits": n,
        "tracks": len(track_ids) - int(unmatched.sum()),
        "ghosts": n_ghosts,
        "missed": len(missed),
    }
    fig.suptitle(
        f"{title}: {n} hits, {len(track_ids)} tracks of which {n_ghosts} ghosts, "
        f'{len(missed)} "{label}" particles missed'
    )
    _save(fig, path, dpi=90)
    return shown


def write_plots(
    directory: StrPath,
    events: list[dict[str, Any]],
    results: list[FinderResult],
    *,
    display_event: int = 0,
    interval: str = "wilson",
) -> list[Path]:
    """Write the run's figures into ``directory`` (created if needed); return their paths.

    ``results`` are :class:`trelmon_tools.run.FinderResult` objects with truth tables
    (``tables``); the event display shows event ``display_event`` of ``events``.
    """
    require_matplotlib()
    if interval not in INTERVALS:
        raise ValueError(f"interval method must be one of {', '.join(INTERVALS)}, not {interval!r}")
    tables = [r.tables for r in results if r.tables is not None]
    if len(tables) != len(results):
        raise ValueError("the figures need each finder's truth tables: run with tables=True")
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    finders = [r.name for r in results]
    rates = _rates(
        {r.name: _finder_counts(t) for r, t in zip(results, tables, strict=True)}, interval
    )
    paths = []
    with _style():
        for variable in ("p", "pt", "eta", "phi"):
            path = directory / f"efficiency_vs_{variable}.png"
            _efficiency_figure(path, variable, rates, finders)
            paths.append(path)
        path = directory / "ghost_rate.png"
        panels: list[tuple[str, tuple[str, ...], str]] = [
            ("eta", ("ghosts", "eta"), "ghost rate against track η"),
            ("n_hits", ("ghosts", "n_hits"), "ghost rate against hits on track"),
        ]
        _two_panels(path, panels, rates, finders, "ghost rate [%]")
        paths.append(path)
        path = directory / "clone_rate_vs_p.png"
        panels = [
            ("p", ("clones", "p", label), f'clone rate, "{label}"') for label in PLOT_CATEGORIES
        ]
        _two_panels(path, panels, rates, finders, "clone rate [%]")
        paths.append(path)
        for r, r_tables in zip(results, tables, strict=True):
            path = directory / f"event_display_{r.name}.png"
            event_display(
                path,
                events[display_event],
                r_tables,
                display_event,
                title=f"{r.name}, event {display_event}",
            )
            paths.append(path)
    return paths
