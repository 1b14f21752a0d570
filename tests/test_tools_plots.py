"""Figures of the main job: binned efficiencies and the event display, judged by the
validator."""

import math

import numpy as np
import pytest
import trelmon
from hypothesis import given
from hypothesis import strategies as st
from trelmon_tools import plots, truth
from trelmon_tools.generate import generate_event

pytest.importorskip("matplotlib")

Validator = trelmon.Validator
Event = trelmon.DetectorEvent.Event


@pytest.fixture(scope="module")
def solved():
    """Three small events, each finder's tracks for them, and the whole-sample validation."""
    events = [generate_event(s, n_collisions=1, particles_per_collision=30.0) for s in (3, 4, 5)]
    built = [Event(e) for e in events]
    results = {}
    for name in trelmon.ReconstructionAlgorithms.__all__:
        tracks = getattr(trelmon.ReconstructionAlgorithms, name)().solve_batch(built)
        results[name] = (tracks, Validator.export_validation_to_json(events, tracks, False))
    return events, results


def entry(validation, label):
    return next(c for c in validation["categories"] if c["label"] == label)


def test_bins_add_up_to_the_whole_sample(solved):
    # Cutting the truth to one bin's particles must not change any particle's match.
    events, results = solved
    values = [np.array([p["p"] for p in truth.mc_particles(e)]) for e in events]
    edges = np.array([-np.inf, 1000.0, 3000.0, 10_000.0, np.inf])
    for tracks, validation in results.values():
        counts = plots.binned_counts(events, tracks, values, edges)
        for label in plots.PLOT_CATEGORIES:
            particles, reconstructed = counts[label]
            whole = entry(validation, label)
            assert particles.sum() == whole["n_particles"]
            assert reconstructed.sum() == whole["n_reco"]
            assert (reconstructed <= particles).all()


def test_bins_hold_the_particles_whose_value_falls_in_them(solved):
    events, results = solved
    tracks, _ = next(iter(results.values()))
    particles = [truth.mc_particles(e) for e in events]
    values = [np.array([p["eta"] for p in ps]) for ps in particles]
    edges = plots.ETA_EDGES
    counts = plots.binned_counts(events, tracks, values, edges, labels=("velo", "long>5GeV"))
    for label in ("velo", "long>5GeV"):
        expected = np.zeros(len(edges) - 1, dtype=int)
        for p in (p for ps in particles for p in ps if truth.in_category(p, label)):
            if edges[0] <= p["eta"] < edges[-1]:
                expected[np.searchsorted(edges, p["eta"], side="right") - 1] += 1
        assert counts[label][0].tolist() == expected.tolist()
        assert counts[label][0].sum() > 0


def test_cut_truth_shares_the_hits_and_keeps_the_chosen_rows(solved):
    event = solved[0][0]
    cut = plots.restrict_truth(event, [2, 0])
    assert (
        cut["x"] is event["x"]
        and cut["montecarlo"]["description"] is event["montecarlo"]["description"]
    )
    rows = event["montecarlo"]["particles"]
    assert cut["montecarlo"]["particles"] == [rows[2], rows[0]]
    assert len(event["montecarlo"]["particles"]) > 2  # the event itself is untouched


def test_efficiency_interval_known_values():
    eff, low, high = plots.efficiency_interval([5, 0, 4, 0], [10, 4, 4, 0])
    assert eff[0] == 0.5 and math.isclose(high[0] - 0.5, math.sqrt(2.75) / 11)
    assert low[1] == 0.0 and 0 < high[1] < 0.5  # none of 4: an upper limit, not zero width
    assert high[2] == 1.0 and 0.5 < low[2] < 1.0
    assert np.isnan([eff[3], low[3], high[3]]).all()


@given(st.integers(1, 10**6).flatmap(lambda n: st.tuples(st.integers(0, n), st.just(n))))
def test_efficiency_interval_brackets_the_efficiency(case):
    k, n = case
    eff, low, high = (float(v) for v in plots.efficiency_interval(k, n))
    assert 0.0 <= low <= eff <= high <= 1.0
    assert low < high


def test_event_display_agrees_with_the_validator(solved, tmp_path):
    events, results = solved
    event = events[1]
    # A track made of one hit of each of four particles matches none of them.
    hits = Event(event).hits
    mixed = trelmon.DetectorEvent.Track(
        [hits[p["hits"][0]] for p in truth.mc_particles(event) if p["hits"]][:4]
    )
    for name, (tracks, _) in results.items():
        event_tracks = [*tracks[1], mixed]
        whole = Validator.export_validation_to_json([event], [event_tracks], False)
        ghosts = plots.ghost_flags(event, event_tracks)
        # The validator keys tracks by hits and flags: equal tracks count once.
        distinct = {
            (tuple(h.id for h in t.hits), t.missed_last_module, t.missed_penultimate_module): ghost
            for t, ghost in zip(event_tracks, ghosts, strict=True)
        }
        assert len(ghosts) == len(event_tracks)
        assert sum(distinct.values()) == whole["total_ghosts"] and ghosts[-1]
        velo = entry(whole, "velo")
        missed = plots.missed_particles(event, event_tracks)
        assert len(missed) == velo["n_particles"] - velo["n_reco"]
        particles = truth.mc_particles(event)
        assert all(truth.in_category(particles[row], "velo") for row in missed)

        path = tmp_path / f"{name}.png"
        shown = plots.event_display(path, event, event_tracks, title=name)
        assert shown == {
            "hits": len(event["x"]),
            "tracks": len(event_tracks) - sum(ghosts),
            "ghosts": sum(ghosts),
            "missed": len(missed),
        }
        assert path.read_bytes().startswith(b"\x89PNG")


def test_a_track_list_without_ghosts_or_misses(solved):
    # Tracks made of each reconstructible particle's own hits: no ghost, nothing missed.
    event = solved[0][0]
    particles = truth.mc_particles(event)
    hits = Event(event).hits
    tracks = [
        trelmon.DetectorEvent.Track([hits[h] for h in p["hits"]])
        for p in particles
        if truth.in_category(p, "velo") and len(p["hits"]) >= 2
    ]
    assert not any(plots.ghost_flags(event, tracks))
    assert plots.missed_particles(event, tracks) == []
    assert len(plots.missed_particles(event, [])) == sum(
        truth.in_category(p, "velo") for p in particles
    )


def test_column_values_read_the_table_as_the_validator_does(solved):
    events = solved[0]
    for event in events:
        for name in ("p", "eta"):
            assert plots.column_values(event, name).tolist() == [
                p[name] for p in truth.mc_particles(event)
            ]
    odd = {
        "x": [],
        "y": [],
        "z": [],
        "montecarlo": {
            "description": ["p", "eta", "p"],
            "particles": [[1.0, 2.0, 3.0], [1.0, 2.0], [1.0, "4", True], [None, 5, 2**70]],
        },
    }
    assert plots.column_values(odd, "p").tolist() == [3.0, 0.0, 1.0, float(2**70)]
    assert plots.column_values(odd, "eta").tolist() == [2.0, 2.0, 0.0, 5.0]
    assert plots.column_values(odd, "pt").tolist() == [0.0] * 4
    for name in ("p", "eta"):
        assert plots.column_values(odd, name).tolist() == [p[name] for p in truth.mc_particles(odd)]
