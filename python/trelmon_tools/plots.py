"""Figures of a run: an event display, and reconstruction efficiency versus momentum and
versus pseudorapidity for each finder.

Every track-to-particle judgement here comes from ``trelmon.Validator`` itself: a binned
efficiency is the validator's efficiency on the event dictionaries with their Monte Carlo
tables cut down to the particles of one bin (a particle's match depends only on the tracks
and on its own hits, so cutting the table changes no particle's fate), and the event display
asks the validator about one track or one particle at a time.

Figures are drawn with matplotlib's object interface on the Agg canvas (no display needed,
no global backend switched). Install the extra: ``pip install "trelmon[plot]"``.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import trelmon

from . import truth
from .files import atomic_write
from .progress import progress

__all__ = [
    "ETA_EDGES",
    "MOMENTUM_EDGES",
    "PLOT_CATEGORIES",
    "binned_counts",
    "column_values",
    "efficiency_interval",
    "event_display",
    "ghost_flags",
    "missed_particles",
    "plot_efficiency",
    "require_matplotlib",
    "restrict_truth",
    "write_plots",
]

#: Bin edges: momentum in MeV (0.1 to 100 GeV, logarithmic), pseudorapidity in steps of 0.5.
MOMENTUM_EDGES = np.geomspace(100.0, 100_000.0, 16)
ETA_EDGES = np.linspace(-5.5, 6.0, 24)
#: The categories drawn in the efficiency figures, one panel each.
PLOT_CATEGORIES = ("velo", "long")


def _figure(**kwargs):
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError('the figures need matplotlib: pip install "trelmon[plot]"') from None
    return Figure(**kwargs)


def _save(fig, path, *, dpi: int) -> None:
    # Through a file object the format cannot come from the name, so it is named.
    path = Path(path)
    with atomic_write(path, "wb") as f:
        fig.savefig(f, format=path.suffix[1:] or None, dpi=dpi)


def require_matplotlib() -> None:
    """Raise ImportError, saying what to install, unless matplotlib can be imported."""
    _figure()


# --------------------------------------------------------------------- asking the validator


def restrict_truth(event: dict, rows) -> dict:
    """A shallow copy of ``event`` whose Monte Carlo table keeps only the given rows (indices
    into its "particles", in the given order). Hits and the rest are shared, not copied."""
    mc = event["montecarlo"]
    particles = mc["particles"]
    return {**event, "montecarlo": {**mc, "particles": [particles[i] for i in rows]}}


def _validation(events, tracks) -> dict:
    return trelmon.Validator.export_validation_to_json(events, tracks, False)


def _entry(validation: dict, label: str):
    return next((c for c in validation["categories"] if c["label"] == label), None)


def binned_counts(events, tracks, values, edges, labels=PLOT_CATEGORIES) -> dict:
    """Particles and reconstructed particles of each category in each bin.

    ``values[i]`` holds one number per Monte Carlo row of ``events[i]`` (momentum, say);
    a particle is in bin b when ``edges[b] <= value < edges[b + 1]``. Returns, per label,
    a pair of integer arrays (particles, reconstructed) with one entry per bin, both counted
    by the validator on the tables cut down to each bin's particles.
    """
    n_bins = len(edges) - 1
    counts = {
        label: (np.zeros(n_bins, dtype=np.int64), np.zeros(n_bins, dtype=np.int64))
        for label in labels
    }
    which = [np.searchsorted(edges, np.asarray(v, dtype=float), side="right") - 1 for v in values]
    for b in range(n_bins):
        cut, cut_tracks = [], []
        for event, event_tracks, bins in zip(events, tracks, which):
            rows = np.flatnonzero(bins == b)
            if len(rows):  # an event without particles in the bin adds nothing to efficiencies
                cut.append(restrict_truth(event, rows.tolist()))
                cut_tracks.append(event_tracks)
        if not cut:
            continue
        validation = _validation(cut, cut_tracks)
        for label in labels:
            entry = _entry(validation, label)
            if entry is not None:
                counts[label][0][b] = entry["n_particles"]
                counts[label][1][b] = entry["n_reco"]
    return counts


def efficiency_interval(k, n, z: float = 1.0):
    """Efficiency k/n with its Wilson score interval (z = 1: about 68% coverage), which
    stays inside [0, 1] and keeps a width at 0 and 1. Arrays in, arrays out; NaN where n = 0.
    """
    k = np.asarray(k, dtype=float)
    n = np.asarray(n, dtype=float)
    with np.errstate(invalid="ignore", divide="ignore"):
        eff = k / n
        denominator = n + z * z
        centre = (k + z * z / 2) / denominator
        half = z / denominator * np.sqrt(k * (n - k) / n + z * z / 4)
    empty = n == 0
    return (
        np.where(empty, np.nan, eff),
        np.where(empty, np.nan, centre - half),
        np.where(empty, np.nan, centre + half),
    )


def ghost_flags(event: dict, tracks) -> list:
    """For each track of the event: whether the validator calls it a ghost. (A track's match
    depends on its own hits only, so each is validated on its own.)"""
    return [_validation([event], [[track]])["total_ghosts"] == 1 for track in tracks]


def missed_particles(event: dict, tracks, label: str = "velo") -> list:
    """Rows of the event's Monte Carlo table that belong to ``label`` but that no track
    reconstructs, as the validator sees them."""
    missed = []
    for row in range(len(event["montecarlo"]["particles"])):
        entry = _entry(_validation([restrict_truth(event, [row])], [tracks]), label)
        if entry is not None and entry["n_reco"] == 0:
            missed.append(row)
    return missed


# --------------------------------------------------------------------------------- figures

_MARKERS = "osD^v<>p"


def plot_efficiency(
    path, variable: str, edges, counts_by_finder: dict, *, log_x: bool, labels=PLOT_CATEGORIES
) -> None:
    """One panel per category: efficiency per bin for each finder, with Wilson intervals,
    over a grey histogram of the category's particles."""
    edges = np.asarray(edges, dtype=float)
    scale = 1e-3 if variable == "p" else 1.0  # momentum drawn in GeV
    x_edges = edges * scale
    centres = np.sqrt(x_edges[:-1] * x_edges[1:]) if log_x else (x_edges[:-1] + x_edges[1:]) / 2
    axis_title = "momentum p [GeV]" if variable == "p" else "pseudorapidity η"

    fig = _figure(figsize=(5.2 * len(labels), 4.2), layout="constrained")
    for column, label in enumerate(labels):
        ax = fig.add_subplot(1, len(labels), column + 1)
        totals = next(iter(counts_by_finder.values()))[label][0] if counts_by_finder else None
        if totals is not None:
            hist = ax.twinx()
            hist.stairs(totals, x_edges, fill=True, color="0.9", zorder=0)
            hist.set_ylabel("particles per bin", color="0.5")
            hist.tick_params(axis="y", colors="0.5")
            ax.set_zorder(hist.get_zorder() + 1)
            ax.patch.set_visible(False)
        m = len(counts_by_finder)
        for i, (name, counts) in enumerate(counts_by_finder.items()):
            n, k = counts[label]
            eff, low, high = efficiency_interval(k, n)
            shown = n > 0
            # Side by side within the bin, so that equal points of two finders stay visible.
            shift = (i - (m - 1) / 2) * 0.5 / max(m, 1)
            if log_x:
                x = centres * (x_edges[1:] / x_edges[:-1]) ** shift
            else:
                x = centres + shift * (x_edges[1:] - x_edges[:-1])
            ax.errorbar(
                x[shown],
                100 * eff[shown],
                yerr=100 * np.vstack([eff[shown] - low[shown], high[shown] - eff[shown]]),
                xerr=np.vstack([x[shown] - x_edges[:-1][shown], x_edges[1:][shown] - x[shown]]),
                fmt=_MARKERS[i % len(_MARKERS)],
                markersize=4,
                capsize=0,
                linewidth=1,
                label=name,
            )
        if log_x:
            ax.set_xscale("log")
        ax.set_xlim(x_edges[0], x_edges[-1])
        ax.set_ylim(0, 105)
        ax.set_xlabel(axis_title)
        ax.set_ylabel("reconstruction efficiency [%]")
        ax.set_title(f'category "{label}"')
        ax.grid(alpha=0.3)
        ax.legend(loc="lower right", fontsize="small")
    _save(fig, path, dpi=120)


def event_display(path, event: dict, tracks, *, title: str, label: str = "velo") -> dict:
    """Three views (x–z, y–z, x–y) of one event: its hits, the reconstructed tracks in
    colour, ghost tracks dashed in black, and the particles of ``label`` that no track
    reconstructs in thick red. Returns the counts shown in the legend."""
    xs, ys, zs = (np.asarray(event[k], dtype=float) for k in ("x", "y", "z"))
    ghosts = ghost_flags(event, tracks)
    missed = missed_particles(event, tracks, label)
    particles = truth.mc_particles(event)

    fig = _figure(figsize=(16, 5.6), layout="constrained")
    views = (("z", "x", "x–z view"), ("z", "y", "y–z view"), ("x", "y", "x–y view"))
    coords = {"x": xs, "y": ys, "z": zs}
    colours = [f"C{i}" for i in (0, 1, 2, 4, 5, 6, 8, 9)]  # no red (missed), no grey (hits)
    for column, (h, v, view) in enumerate(views):
        ax = fig.add_subplot(1, 3, column + 1)
        ax.scatter(
            coords[h], coords[v], s=1.5, color="0.6", linewidths=0, label="hits", rasterized=True
        )
        first_track = first_ghost = True
        for i, (track, ghost) in enumerate(zip(tracks, ghosts)):
            ids = [hit.id for hit in track.hits]
            if ghost:
                ax.plot(
                    coords[h][ids],
                    coords[v][ids],
                    "--",
                    color="black",
                    linewidth=0.9,
                    label="ghost tracks" if first_ghost else None,
                )
                first_ghost = False
            else:
                ax.plot(
                    coords[h][ids],
                    coords[v][ids],
                    "-",
                    color=colours[i % len(colours)],
                    linewidth=0.7,
                    label="tracks" if first_track else None,
                )
                first_track = False
        for j, row in enumerate(missed):
            ids = sorted(particles[row]["hits"], key=lambda hit: zs[hit])
            ax.plot(
                coords[h][ids],
                coords[v][ids],
                "-o",
                color="red",
                alpha=0.55,
                linewidth=2.2,
                markersize=3,
                label=f'missed "{label}" particles' if j == 0 else None,
            )
        ax.set_xlabel(f"{h} [mm]")
        ax.set_ylabel(f"{v} [mm]")
        if (h, v) == ("x", "y"):
            ax.set_aspect("equal", adjustable="datalim")
        ax.set_title(view)
        if column == 0:
            ax.legend(loc="upper left", fontsize="small", markerscale=3)
    n_ghosts = sum(ghosts)
    shown = {
        "hits": len(xs),
        "tracks": len(tracks) - n_ghosts,
        "ghosts": n_ghosts,
        "missed": len(missed),
    }
    fig.suptitle(
        f"{title}: {len(xs)} hits, {len(tracks)} tracks of which {n_ghosts} ghosts, "
        f'{len(missed)} "{label}" particles missed'
    )
    _save(fig, path, dpi=110)
    return shown


def column_values(event: dict, name: str) -> np.ndarray:
    """One float column of the event's Monte Carlo table, one value per row, read as the
    validator reads it (the last column of that name; the default 0.0 where a row is short or
    its value is not a number)."""
    mc = event["montecarlo"]
    position = {column: i for i, column in enumerate(mc["description"])}.get(name)
    rows = mc["particles"]
    if position is None:
        return np.zeros(len(rows))
    return np.array(
        [truth._as_float(row[position], 0.0) if position < len(row) else 0.0 for row in rows],
        dtype=float,
    )


def write_plots(directory, events: list, results: list, *, display_event: int = 0) -> list:
    """Write the run's figures into ``directory`` (created if needed); return their paths.

    ``results`` are :class:`trelmon_tools.run.FinderResult` objects (each with ``name`` and
    ``tracks``); the event display shows event ``display_event`` of ``events``.
    """
    require_matplotlib()
    if any(r.tracks is None for r in results):
        raise ValueError("the figures need each finder's tracks: run with keep_tracks=True")
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    paths = []
    steps = [("p", MOMENTUM_EDGES, True), ("eta", ETA_EDGES, False)]
    with progress(
        total=len(steps) * len(results) + len(results), desc="plotting", unit="figure part"
    ) as bar:
        for variable, edges, log_x in steps:
            values = [column_values(e, variable) for e in events]
            counts = {}
            for r in results:
                counts[r.name] = binned_counts(events, r.tracks, values, edges)
                bar.update()
            path = directory / f"efficiency_vs_{variable}.png"
            plot_efficiency(path, variable, edges, counts, log_x=log_x)
            paths.append(path)
        event = events[display_event]
        for r in results:
            path = directory / f"event_display_{r.name}.png"
            event_display(
                path, event, r.tracks[display_event], title=f"{r.name}, event {display_event}"
            )
            paths.append(path)
            bar.update()
    return paths
