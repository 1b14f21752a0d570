"""Truth tables: the validator's matching per track and per particle.

Summing the tables must give the validator's own figures, per category and per event, on
generated samples and on random tables full of ties, shared hits, repeated keys, duplicate
tracks and electrons; row by row they must follow the matching rules (checked against the
dense model of test_validator_model).
"""

import numpy as np
import pytest
import test_validator_model as model
import trelmon
from hypothesis import given, settings
from hypothesis import strategies as st
from trelmon import DetectorEvent, Validator
from trelmon_tools import _native, truth
from trelmon_tools.generate import generate_event

pa = pytest.importorskip("pyarrow")


def column(table, name):
    return np.asarray(table.column(name).to_numpy(zero_copy_only=False))


def check_sums(events, tracks, tables):
    """Every figure the tables can reproduce, against the detailed export, event by event."""
    detailed = Validator.export_detailed_metrics_json(events, tracks, False)
    pairs = min(len(events), len(tracks))
    t, p = tables.tracks, tables.particles
    assert t.num_rows == detailed["total_tracks"]
    assert int(column(t, "ghost").sum()) == detailed["total_ghosts"]
    t_event, p_event = column(t, "event"), column(p, "event")
    reconstructed = column(p, "reconstructed")
    for i in range(pairs):
        # the export keeps cumulative figures after each event: sum the tables up to it
        upto = p_event <= i
        entries = {c["label"]: c for c in detailed["events"][str(i + 1)]}
        for label in truth.CATEGORIES:
            chosen = upto & column(p, label)
            entry = entries.get(label, {"n_particles": 0, "n_reco": 0, "n_clones": 0})
            assert int(chosen.sum()) == entry["n_particles"], (i, label)
            assert int((chosen & reconstructed).sum()) == entry["n_reco"], (i, label)
            clones = column(p, f"clones[{label}]")
            assert int(clones[chosen].sum()) == entry["n_clones"], (i, label)
    assert set(t_event.tolist()) <= set(range(pairs))
    return detailed


def finder_tracks(events):
    built = [DetectorEvent.Event(e) for e in events]
    return {
        name: getattr(trelmon.ReconstructionAlgorithms, name)().solve_batch(built)
        for name in trelmon.ReconstructionAlgorithms.__all__
    }


@pytest.fixture(scope="module")
def generated():
    events = [generate_event(s, n_collisions=2, particles_per_collision=40.0) for s in (7, 8, 9)]
    return events, finder_tracks(events)


def test_generated_sample_sums_to_the_validator_for_every_finder(generated):
    events, by_finder = generated
    for tracks in by_finder.values():
        tables = truth.truth_tables(events, tracks)
        check_sums(events, tracks, tables)
        # the rows are the tracks, in order, with their hits and flags
        t = tables.tracks
        flat = [
            (e, k, [h.id for h in tr.hits])
            for e, ts in enumerate(tracks)
            for k, tr in enumerate(ts)
        ]
        assert list(zip(column(t, "event").tolist(), column(t, "track").tolist(), strict=True)) == [
            (e, k) for e, k, _ in flat
        ]
        assert t.column("hit_ids").to_pylist() == [ids for _, _, ids in flat]
        assert column(t, "missed_last_module").tolist() == [
            tr.missed_last_module for ts in tracks for tr in ts
        ]


def test_particle_rows_carry_the_monte_carlo_table(generated):
    events, by_finder = generated
    tables = truth.truth_tables(events, next(iter(by_finder.values())))
    rows = tables.particles.to_pylist()
    expected = [
        (e, r, m) for e, ev in enumerate(events) for r, m in enumerate(truth.mc_particles(ev))
    ]
    assert len(rows) == len(expected)
    for row, (e, r, m) in zip(rows, expected, strict=True):
        assert (row["event"], row["particle"]) == (e, r)
        for name in (
            "key",
            "pid",
            "p",
            "pt",
            "eta",
            "phi",
            "charge",
            "over5GeV",
            *truth.FLAG_COLUMNS,
        ):
            assert row[name] == m[name], name
        assert row["hit_ids"] == m["hits"] and row["n_hits"] == len(m["hits"])
        for label in truth.CATEGORIES:
            assert row[label] == truth.in_category(m, label)


def test_tracks_and_particles_join_on_the_match(generated):
    events, by_finder = generated
    tables = truth.truth_tables(events, by_finder["TrackFollowing"])
    particles = {(r["event"], r["particle"]): r for r in tables.particles.to_pylist()}
    matched = 0
    for row in tables.tracks.to_pylist():
        if row["particle"] is None:
            assert row["key"] is None and not row["weight"] > 0.7
            continue
        matched += 1
        particle = particles[(row["event"], row["particle"])]
        assert particle["key"] == row["key"] and row["weight"] > 0.7
        assert particle["reconstructed"] and particle["best_weight"] >= row["weight"]
    assert matched > 0


# ---- random tables -----------------------------------------------------------------------------

DESCRIPTION = [
    "key",
    "pid",
    "p",
    "hits",
    "isLong",
    "hasVelo",
    "fromBeautyDecay",
    "fromStrangeDecay",
]


@st.composite
def random_event(draw):
    n = draw(st.integers(0, 10))
    data = {
        "description": "random",
        "module_prefix_sum": [0] + [n] * 52,  # every hit on module 0
        "x": [float(i) for i in range(n)],
        "y": [0.0] * n,
        "z": [float(i) for i in range(n)],
    }
    rows = draw(
        st.lists(
            st.tuples(
                st.integers(0, 4),  # few keys: repeated keys are common
                st.sampled_from([211, -211, 11, -11, 13]),
                st.sampled_from([1000.0, 5000.0, 5000.5, -7000.0]),
                # small hit ranges: shared hits, repeated positions, one beyond the event
                st.lists(st.integers(0, n), max_size=6),
                st.integers(0, 1),
                st.integers(0, 1),
                st.integers(0, 1),
                st.integers(0, 1),
            ).map(list),
            max_size=6,
        )
    )
    if draw(st.integers(0, 9)) > 0:
        data["montecarlo"] = {"description": DESCRIPTION, "particles": rows}
    tracks = []
    for _ in range(draw(st.integers(0, 8))):
        kind = draw(st.integers(0, 2))
        if tracks and kind == 0:
            ids, last, penultimate = tracks[draw(st.integers(0, len(tracks) - 1))]
            tracks.append((ids, last, draw(st.booleans()) and penultimate))  # mostly a duplicate
        elif rows and kind == 1 and n:
            own = [h for h in rows[draw(st.integers(0, len(rows) - 1))][3] if h < n]
            extra = draw(st.lists(st.integers(0, n - 1), max_size=2))
            tracks.append((own + extra, draw(st.booleans()), draw(st.booleans())))
        elif n:
            ids = draw(st.lists(st.integers(0, n - 1), max_size=6))
            tracks.append((ids, draw(st.booleans()), draw(st.booleans())))
    return data, tracks


def build(data, tracks):
    event = DetectorEvent.Event({"description": "", "montecarlo": None, **data})
    return _native.tracks_from_hit_ids(
        event,
        [h for ids, _, _ in tracks for h in ids],
        [len(ids) for ids, _, _ in tracks],
        [last for _, last, _ in tracks],
        [penultimate for _, _, penultimate in tracks],
    )


def expected_rows(data, tracks):
    """Per track (particle, weight, ghost, duplicate_of) and per particle (best track, best
    weight, reconstructed, clones, clones per category, hit efficiency), from the dense model."""
    event = model.model_event(data)
    particles = event["particles"]
    ids = [t[0] for t in tracks]
    weights = model.comp_weights(ids, event)
    first = []
    for k, t in enumerate(tracks):
        first.append(next(j for j in range(k + 1) if tracks[j] == t))

    def best_column(row, columns):
        best, chosen = 0.0, None
        for c in columns:  # the later column on ties, as the validator
            if chosen is None or row[c] >= best:
                best, chosen = row[c], c
        return best, chosen

    track_rows, match = [], {}
    for k in range(len(tracks)):
        duplicate = None if first[k] == k else first[k]
        if not particles:
            track_rows.append((None, 0.0, False, duplicate))
            continue
        weight, c = best_column(weights[k], range(len(particles)))
        c = c if weight > 0.7 else None
        if duplicate is None:
            match[k] = c
        track_rows.append((c, weight, c is None and duplicate is None, duplicate))

    def clones_within(columns):
        count = {}
        for k in match:
            weight, c = best_column(weights[k], columns)
            if c is not None and weight > 0.7:
                count[c] = count.get(c, 0) + 1
        return {c: max(n - 1, 0) for c, n in count.items()}

    overall = clones_within(range(len(particles)))
    per_category = {
        label: clones_within([c for c, m in enumerate(particles) if model.predicate(label)(m)])
        for label in truth.CATEGORIES
    }
    particle_rows = []
    for c, m in enumerate(particles):
        best, best_track = 0.0, None
        for k in range(len(tracks)):
            if weights[k][c] > best:
                best, best_track = weights[k][c], k
        efficiency = None
        if best > 0.7:
            own = set(event["mcp_to_hits"][m["key"]][1])
            efficiency = sum(1 for h in ids[best_track] if h in own) / len(own)
        particle_rows.append(
            (
                best_track,
                best,
                best > 0.7,
                overall.get(c, 0),
                [per_category[label].get(c, 0) for label in truth.CATEGORIES],
                efficiency,
            )
        )
    return track_rows, particle_rows


@settings(max_examples=200, deadline=None)
@given(st.lists(random_event(), max_size=3), st.integers(-1, 1))
def test_random_tables_sum_to_the_validator_and_follow_the_rules(sample, surplus):
    events = [data for data, _ in sample]
    tracks = [build(data, t) for data, t in sample]
    # now and then a surplus event or track list: only pairs are tabled
    if surplus < 0 and tracks:
        tracks.pop()
    elif surplus > 0:
        events.append({"module_prefix_sum": [0] * 53, "x": [], "y": [], "z": []})
    tables = truth.truth_tables(events, tracks)
    check_sums(events, tracks, tables)

    t_rows, p_rows = tables.tracks.to_pylist(), tables.particles.to_pylist()
    for e, (data, ids) in enumerate(sample[: len(tracks)]):
        want_tracks, want_particles = expected_rows(data, ids)
        got = [r for r in t_rows if r["event"] == e]
        assert [(r["particle"], r["weight"], r["ghost"], r["duplicate_of"]) for r in got] == (
            want_tracks
        )
        got = [r for r in p_rows if r["event"] == e]
        assert [
            (
                r["best_track"],
                r["best_weight"],
                r["reconstructed"],
                r["clones"],
                [r[f"clones[{label}]"] for label in truth.CATEGORIES],
                r["hit_efficiency"],
            )
            for r in got
        ] == want_particles
        for r in got:
            assert r["purity"] == (r["best_weight"] if r["reconstructed"] else None)


def test_a_track_above_the_threshold_for_two_particles_counts_per_category():
    # Hits 0-3 belong to A (long) and B (velo only); the track holds 0-3 plus 4 of B: weights
    # 0.8 for A, 1.0 for B. Over all particles, and in "velo", B takes the track; in "long" only
    # A competes, so the track and its twin make A a clone there.
    data = {
        "module_prefix_sum": [0] + [6] * 52,
        "x": [0.0] * 6,
        "y": [0.0] * 6,
        "z": [float(i) for i in range(6)],
        "montecarlo": {
            "description": ["key", "pid", "hits", "isLong"],
            "particles": [[1, 211, [0, 1, 2, 3], 1], [2, 211, [0, 1, 2, 3, 4], 0]],
        },
    }
    tracks = build(data, [([0, 1, 2, 3, 4], False, False), ([4, 3, 2, 1, 0], False, False)])
    tables = truth.truth_tables([data], [tracks])
    a, b = tables.particles.to_pylist()
    assert (a["clones"], a["clones[long]"], a["clones[velo]"]) == (0, 1, 0)
    assert (b["clones"], b["clones[velo]"]) == (1, 1)
    assert a["reconstructed"] and b["reconstructed"]
    check_sums([data], [tracks], tables)


@pytest.mark.parametrize(
    "events, tracks, error",
    [
        ([{"x": [], "y": [], "z": []}], [[]], KeyError),
        (
            [{"module_prefix_sum": [0] * 53, "x": [0.0], "y": [0.0], "z": [0.0], "montecarlo": 3}],
            [[]],
            TypeError,
        ),
        (["not a dict"], [[]], TypeError),
        ([{"module_prefix_sum": [], "x": [], "y": [], "z": []}], [[1]], TypeError),
    ],
)
def test_refusals_are_the_validators(events, tracks, error):
    with pytest.raises(error) as ours:
        truth.truth_tables(events, tracks)
    with pytest.raises(error) as theirs:
        Validator.export_detailed_metrics_json(events, tracks, False)
    assert str(ours.value).replace("events", "py_events").replace("tracks", "py_tracks") == str(
        theirs.value
    )


def test_a_hit_outside_the_event_is_the_validators_runtime_error(generated):
    events, _ = generated
    track = DetectorEvent.Track([DetectorEvent.Hit(0.0, 0.0, 0.0, 10**6)] * 2)
    with pytest.raises(RuntimeError, match="Error: hit with id 1000000 not found"):
        truth.truth_tables(events[:1], [[track]])
