"""Figures of the main job, drawn from the truth tables: binned counts, intervals, the event
display, and the files of a run."""

import math

import numpy as np
import pytest
import trelmon
from hypothesis import given, settings
from hypothesis import strategies as st
from trelmon_tools import plots, truth
from trelmon_tools.generate import generate_event

pytest.importorskip("matplotlib")

Validator = trelmon.Validator
Event = trelmon.DetectorEvent.Event


@pytest.fixture(scope="module")
def solved():
    """Three small events, and each finder's tracks and truth tables for them."""
    events = [generate_event(s, n_collisions=1, particles_per_collision=30.0) for s in (3, 4, 5)]
    built = [Event(e) for e in events]
    results = {}
    for name in trelmon.ReconstructionAlgorithms.__all__:
        tracks = getattr(trelmon.ReconstructionAlgorithms, name)().solve_batch(built)
        results[name] = (tracks, truth.truth_tables(events, tracks))
    return events, results


def column(table, name):
    return np.asarray(table.column(name).to_numpy(zero_copy_only=False))


def restrict_truth(event, rows):
    """The event with its Monte Carlo table cut down to the given rows."""
    mc = event["montecarlo"]
    return {**event, "montecarlo": {**mc, "particles": [mc["particles"][i] for i in rows]}}


def test_binned_efficiency_equals_the_validator_on_each_bins_particles(solved):
    # A particle's fate depends on the tracks and its own hits only: validating the sample cut
    # down to one bin's particles must give that bin's counts.
    events, results = solved
    edges = np.array([-np.inf, 1000.0, 3000.0, 10_000.0, np.inf])
    for tracks, tables in results.values():
        particles = tables.particles
        bins = plots.bin_of(column(particles, "p"), edges)
        event_of, row_of = column(particles, "event"), column(particles, "particle")
        for label in ("velo", "long>5GeV"):
            n, k = plots.binned_counts(
                column(particles, "p"),
                edges,
                column(particles, label),
                column(particles, "reconstructed"),
            )
            for b in range(len(edges) - 1):
                cut = [
                    restrict_truth(e, row_of[(event_of == i) & (bins == b)].tolist())
                    for i, e in enumerate(events)
                ]
                whole = Validator.export_validation_to_json(cut, tracks, False)
                entry = next((c for c in whole["categories"] if c["label"] == label), None)
                assert (n[b], k[b]) == (
                    (entry["n_particles"], entry["n_reco"]) if entry else (0, 0)
                )


def test_the_figures_counts_are_the_binned_counts(solved):
    # The figures count every category at once; each must equal its own binned count.
    for _, tables in solved[1].values():
        particles = tables.particles
        counts = plots._finder_counts(tables)
        for variable in ("p", "pt", "eta", "phi"):
            for label in truth.CATEGORIES:
                n, k = plots.binned_counts(
                    column(particles, variable),
                    plots.EDGES[variable],
                    column(particles, label),
                    column(particles, "reconstructed"),
                )
                got = counts["efficiency", variable, label]
                assert got[0].tolist() == n.tolist() and got[1].tolist() == k.tolist()
        p = column(particles, "p")
        inside = (p >= plots.EDGES["p"][0]) & (p < plots.EDGES["p"][-1])
        for label in plots.PLOT_CATEGORIES:
            chosen = column(particles, label) & column(particles, "reconstructed") & inside
            n, k = counts["clones", "p", label]
            assert (n.sum(), k.sum()) == (
                chosen.sum(),
                column(particles, f"clones[{label}]")[chosen].sum(),
            )
        n, k = counts["ghosts", "n_hits"]
        hits = column(tables.tracks, "n_hits")
        ghost = column(tables.tracks, "ghost")
        for b, length in enumerate(range(2, 27)):
            assert (n[b], k[b]) == ((hits == length).sum(), (ghost & (hits == length)).sum())


def test_binned_counts_put_values_in_half_open_bins():
    edges = np.array([0.0, 1.0, 2.0])
    values = np.array([0.0, 0.5, 1.0, 2.0, -1.0, np.nan, 1.5])
    selected = np.array([True, True, True, True, True, True, False])
    passed = np.array([True, False, True, True, True, True, True])
    n, k = plots.binned_counts(values, edges, selected, passed)
    assert n.tolist() == [2, 1] and k.tolist() == [1, 1]
    n, k = plots.binned_counts(values, edges, selected, passed, weights=np.arange(7))
    assert k.tolist() == [0, 2]  # weights of the passing rows: 0 in bin 0, 2 in bin 1


def test_wilson_known_values():
    eff, low, high = plots.efficiency_interval([5, 0, 4, 0], [10, 4, 4, 0])
    assert eff[0] == 0.5 and math.isclose(high[0] - 0.5, math.sqrt(2.75) / 11)
    assert low[1] == 0.0 and 0 < high[1] < 0.5  # none of 4: an upper limit, not zero width
    assert high[2] == 1.0 and 0.5 < low[2] < 1.0
    assert np.isnan([eff[3], low[3], high[3]]).all()


def test_clopper_pearson_known_values():
    level = math.erf(1 / math.sqrt(2))
    tail = (1 - level) / 2
    n = np.array([1, 7, 50, 10, 0])
    k = np.array([0, 7, 0, 5, 0])
    _, low, high = plots.efficiency_interval(k, n, "clopper-pearson")
    # at the edges the bound has a closed form: (tail)^(1/n)
    assert low[0] == 0.0 and math.isclose(high[0], 1 - tail, rel_tol=1e-9)
    assert high[1] == 1.0 and math.isclose(low[1], tail ** (1 / 7), rel_tol=1e-9)
    assert math.isclose(high[2], 1 - tail ** (1 / 50), rel_tol=1e-9)
    # symmetric about one half for k = n/2
    assert math.isclose(low[3], 1 - high[3], rel_tol=1e-9)
    assert np.isnan([low[4], high[4]]).all()
    with pytest.raises(ValueError, match="interval method must be one of"):
        plots.efficiency_interval(1, 2, "bayes")


@settings(deadline=None, max_examples=50)
@given(
    st.integers(1, 10**5).flatmap(lambda n: st.tuples(st.integers(0, n), st.just(n))),
    st.sampled_from(plots.INTERVALS),
)
def test_intervals_bracket_the_efficiency(case, method):
    k, n = case
    eff, low, high = (float(v) for v in plots.efficiency_interval(k, n, method))
    assert 0.0 <= low <= eff <= high <= 1.0
    assert low < high


@settings(deadline=None, max_examples=40)
@given(st.integers(1, 40), st.floats(0.01, 0.99))
def test_clopper_pearson_covers_at_least_its_level(n, p):
    # Exact coverage for a true p: the binomial probability of the k whose interval holds p.
    k = np.arange(n + 1)
    low, high = plots.clopper_pearson(k, np.full(n + 1, n))
    pmf = np.array([math.comb(n, i) * p**i * (1 - p) ** (n - i) for i in range(n + 1)])
    assert pmf[(low <= p) & (p <= high)].sum() >= math.erf(1 / math.sqrt(2)) - 1e-9


def test_event_display_shows_the_tables_ghosts_and_misses(solved, tmp_path):
    events, results = solved
    for name, (tracks, tables) in results.items():
        path = tmp_path / f"{name}.png"
        shown = plots.event_display(path, events[1], tables, 1, title=name)
        t = tables.tracks.filter(column(tables.tracks, "event") == 1)
        p = tables.particles.filter(column(tables.particles, "event") == 1)
        whole = Validator.export_validation_to_json([events[1]], [tracks[1]], False)
        velo = next(c for c in whole["categories"] if c["label"] == "velo")
        assert shown["ghosts"] == whole["total_ghosts"] == int(column(t, "ghost").sum())
        assert shown["missed"] == velo["n_particles"] - velo["n_reco"]
        assert shown["hits"] == len(events[1]["x"]) and len(tracks[1]) == t.num_rows
        assert shown["tracks"] == int((~t.column("particle").is_null().to_numpy()).sum())
        assert int((column(p, "velo") & ~column(p, "reconstructed")).sum()) == shown["missed"]
        assert path.read_bytes().startswith(b"\x89PNG")


def test_a_track_list_without_ghosts_or_misses(solved, tmp_path):
    # Tracks made of each reconstructible particle's own hits: no ghost, nothing missed.
    event = solved[0][0]
    hits = Event(event).hits
    tracks = [
        trelmon.DetectorEvent.Track([hits[h] for h in p["hits"]])
        for p in truth.mc_particles(event)
        if truth.in_category(p, "velo") and len(p["hits"]) >= 2
    ]
    tables = truth.truth_tables([event], [tracks])
    shown = plots.event_display(tmp_path / "d.png", event, tables, 0, title="own hits")
    assert shown["ghosts"] == 0 and shown["missed"] == 0 and shown["tracks"] == len(tracks)
    nothing = truth.truth_tables([event], [[]])
    shown = plots.event_display(tmp_path / "e.png", event, nothing, 0, title="no tracks")
    assert shown["missed"] == sum(truth.in_category(p, "velo") for p in truth.mc_particles(event))


class _Result:
    def __init__(self, name, tables):
        self.name, self.tables = name, tables


def test_write_plots_draws_every_figure_from_the_tables_alone(solved, tmp_path, monkeypatch):
    events, results = solved
    finished = [_Result(name, tables) for name, (_, tables) in results.items()]

    def refuse(*args, **kwargs):
        raise AssertionError("the figures must not run the validator again")

    for name in Validator.__all__:
        monkeypatch.setattr(Validator, name, refuse)
    # Wilson intervals are drawn by the run's own test; here the other method
    for interval in ["clopper-pearson"]:
        paths = plots.write_plots(
            tmp_path / interval, events, finished, display_event=2, interval=interval
        )
        assert sorted(p.name for p in paths) == sorted(
            [
                *(f"efficiency_vs_{v}.png" for v in ("p", "pt", "eta", "phi")),
                "ghost_rate.png",
                "clone_rate_vs_p.png",
                *(f"event_display_{name}.png" for name in results),
            ]
        )
        assert all(p.read_bytes().startswith(b"\x89PNG") for p in paths)
    with pytest.raises(ValueError, match="truth tables"):
        plots.write_plots(tmp_path, events, [_Result("x", None)])
