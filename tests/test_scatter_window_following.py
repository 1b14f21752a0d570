"""ScatterWindowFollowing: the physics it promises on generated samples (read from the
validator's figures), the rules that decide single tracks on hand-made events, identical
results for every thread count, and the same quality on events of other layouts."""

import math
import os
import pickle
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
import trelmon
from conftest import event_dict
from test_concurrency import Interrupt
from trelmon_tools import ScatterWindowFollowing, detector
from trelmon_tools.generate import generate_events

Event = trelmon.DetectorEvent.Event
Validator = trelmon.Validator


def ids(tracks):
    return [[h.id for h in t.hits] for t in tracks]


def figures(dicts, tracks):
    """The validator's figures: ghost rate and, per category, (efficiency, clone rate, hit
    efficiency), all in percent."""
    metrics = Validator.export_detailed_metrics_json(dicts, tracks, False)
    per_category = {
        c["label"]: (c["recoeffT"], c["clone_percentage"], c["hit_eff_percentage"])
        for c in metrics["categories"]
    }
    return metrics["overall_ghost_rate"], per_category


# ------------------------------------------------------------------ physics on generated samples


@pytest.fixture(scope="module")
def default_sample():
    dicts = generate_events(100, 0)
    return dicts, [Event(d) for d in dicts]


def test_default_sample_meets_the_targets(default_sample):
    dicts, events = default_sample
    ghost, cat = figures(dicts, ScatterWindowFollowing().solve_batch(events))
    assert ghost <= 0.5
    long_eff, long_clones, long_hit_eff = cat["long"]
    assert long_eff >= 99.5
    assert long_clones <= 0.5
    assert long_hit_eff >= 99.0
    assert cat["velo"][0] >= 99.3
    assert cat["long_strange"][0] >= 99.0


def test_four_times_the_multiplicity_keeps_efficiency_and_few_ghosts():
    dicts = generate_events(8, 1000, n_collisions=20)
    events = [Event(d) for d in dicts]
    ghost, cat = figures(dicts, ScatterWindowFollowing().solve_batch(events))
    assert cat["long"][0] >= 99.0
    assert ghost <= 2.0


def test_parameters_reach_the_solver(default_sample):
    dicts, events = default_sample
    dicts, events = dicts[:20], events[:20]

    def velo(**kwargs):
        return figures(dicts, ScatterWindowFollowing(**kwargs).solve_batch(events))[1]["velo"][0]

    # Windows sized for 10 GeV tracks, or for a resolution ten times too fine, lose tracks.
    default = velo()
    assert velo(min_pt=10_000.0) < default - 0.5
    assert velo(hit_resolution=0.001) < default - 0.5


# ------------------------------------------------------------------ other layouts


def transformed(data, *, mirror_z=False, swap_halves=False, z_scale=1.0):
    """The same event seen by a detector built differently: modules at z * z_scale (so spaced
    differently), the z axis reversed, or the two halves exchanged (x reversed)."""
    out = dict(data)
    z = np.asarray(data["z"]) * z_scale
    out["z"] = (-z if mirror_z else z).tolist()
    if swap_halves:
        out["x"] = (-np.asarray(data["x"])).tolist()
    return out


@pytest.mark.parametrize(
    "change",
    [
        {"mirror_z": True},
        {"swap_halves": True},
        {"z_scale": 1.6},
        {"z_scale": 0.7, "mirror_z": True, "swap_halves": True},
    ],
    ids=["z mirrored", "halves swapped", "modules respaced", "all three"],
)
def test_quality_holds_on_other_layouts(default_sample, change):
    dicts = [transformed(d, **change) for d in default_sample[0][:40]]
    ghost, cat = figures(dicts, ScatterWindowFollowing().solve_batch([Event(d) for d in dicts]))
    assert cat["long"][0] >= 99.5
    assert cat["velo"][0] >= 99.0
    assert cat["long"][2] >= 99.0
    assert ghost <= 0.6


def test_mirrored_event_gives_nearly_the_same_tracks(default_sample):
    # Mirroring z reverses the module order and so the order in which seeds are tried; the
    # layout is learned, so the same hits make nearly all the same tracks.
    dicts, events = default_sample
    finder = ScatterWindowFollowing()
    for data, event in zip(dicts[:5], events[:5], strict=True):
        straight = sorted(sorted(t) for t in ids(finder.solve(event)))
        mirrored = sorted(
            sorted(t) for t in ids(finder.solve(Event(transformed(data, mirror_z=True))))
        )
        overlap = len({tuple(t) for t in straight} & {tuple(t) for t in mirrored})
        assert overlap >= 0.95 * len(straight)


# ------------------------------------------------------------------ rules on hand-made events

# Full discs at z = 100 + 25 m; a few scattered hits on each mark out the active area
# (5 mm < r < 40 mm) without lining up into tracks.
DISC_Z = [100.0 + 25.0 * m for m in range(52)]


def disc_background():
    hits = {}
    for m in range(52):
        phase = 2.399963 * m  # golden angle: no two modules alike
        hits[m] = [
            (
                r * math.cos(phase + k * math.pi / 2),
                r * math.sin(phase + k * math.pi / 2),
                DISC_Z[m],
            )
            for k, r in enumerate((5.0, 40.0, 5.0, 40.0))
        ]
    return hits


def ring_background():
    """Like disc_background, with eight hits on the outer edge, so that every module's active
    area as learned from its hits covers r < 36 mm whatever the azimuth."""
    hits = disc_background()
    for m in range(52):
        phase = 2.399963 * m
        hits[m] += [
            (
                40.0 * math.cos(phase + k * math.pi / 4),
                40.0 * math.sin(phase + k * math.pi / 4),
                DISC_Z[m],
            )
            for k in (1, 3, 5, 7)
        ]
    return hits


def line_hits(x0, y0, tx, ty, modules, z=DISC_Z):
    return {m: (x0 + tx * z[m], y0 + ty * z[m], z[m]) for m in modules}


def build(background, *lines, mirror_z=False):
    """Event of background plus lines ({module: hit}), optionally seen with z reversed; returns
    the event and, for each line, {module: hit id}."""
    hits = {m: list(v) for m, v in background.items()}
    for line in lines:
        for m, hit in line.items():
            hits.setdefault(m, []).append(hit)
    data = event_dict(hits)
    position = {}
    prefix = data["module_prefix_sum"]
    for i in range(prefix[52]):
        position[(data["x"][i], data["y"][i], data["z"][i])] = i
    line_ids = [{m: position[tuple(map(float, h))] for m, h in line.items()} for line in lines]
    return Event(transformed(data, mirror_z=mirror_z)), line_ids


def track_of(tracks, hit_id):
    found = [t for t in ids(tracks) if hit_id in t]
    assert len(found) <= 1
    return found[0] if found else None


class TestThreeHitTracks:
    def test_accepted_where_the_line_leaves_the_detector(self):
        # From the beam line at slope 0.25 the line is inside the annulus on three modules
        # only: below them it meets the beam, above them it leaves through the outer edge.
        line = line_hits(0.0, 0.0, 0.25 * 0.6, 0.25 * 0.8, range(52))
        line = {m: h for m, h in line.items() if 5.0 < math.hypot(h[0], h[1]) < 40.0}
        assert len(line) == 3
        event, [line_ids] = build(disc_background(), line)
        assert sorted(line_ids.values()) in [
            sorted(t) for t in ids(ScatterWindowFollowing().solve(event))
        ]

    @pytest.mark.parametrize("first", [0, 20, 49])
    def test_refused_where_the_line_crosses_modules_without_hits(self, first):
        # A shallow line that stays inside the annulus everywhere: three hits on it and no more
        # are a chance alignment unless the line ends at the detector's edge (first module or
        # last module), where nothing is missing on that side.
        full = line_hits(10.0, -3.0, 0.01, 0.004, range(52))
        line = {m: full[m] for m in range(first, first + 3)}
        event, [line_ids] = build(disc_background(), line)
        found = ids(ScatterWindowFollowing().solve(event))
        if first in (0, 49):
            assert sorted(line_ids.values()) in [sorted(t) for t in found]
        else:
            assert all(h not in t for t in found for h in line_ids.values())

    @pytest.mark.parametrize("mirror_z", [False, True], ids=["forward", "z mirrored"])
    @pytest.mark.parametrize(
        "modules, accepted",
        [((48, 50, 51), True), ((20, 22, 23), False), ((47, 48, 50), False)],
        ids=["leaves after", "continues", "skip at the outer end"],
    )
    def test_a_decay_product_may_skip_a_module_where_it_leaves(self, modules, accepted, mirror_z):
        # A line that meets the beam far below the detector: a particle from a decay, flying
        # towards increasing z. Nothing is expected below its first hit, one module between
        # its hits may be lost, but past its last hit it must leave the detector (module 51 is
        # the last). Seen with z reversed it flies the other way and the same holds: the flight
        # direction comes from the beam, not from the sign of z.
        full = line_hits(10.0, -3.0, 0.01, 0.004, range(52))
        line = {m: full[m] for m in modules}
        event, [line_ids] = build(ring_background(), line, mirror_z=mirror_z)
        found = [sorted(t) for t in ids(ScatterWindowFollowing().solve(event))]
        if accepted:
            assert sorted(line_ids.values()) in found
        else:
            assert all(h not in t for t in found for h in line_ids.values())

    def test_a_skipped_module_asks_for_a_better_chi2(self):
        # The middle hit 4 resolutions off the line: fine for three hits in a row, too much
        # where a module is skipped, unless max_chi2_three_hits_gap allows it.
        full = line_hits(10.0, -3.0, 0.01, 0.004, range(52))
        line = {m: full[m] for m in (48, 50, 51)}
        x, y, z = line[50]
        line[50] = (x + 0.04, y, z)
        event, [line_ids] = build(ring_background(), line)
        wanted = sorted(line_ids.values())

        def found(**kwargs):
            return [sorted(t) for t in ids(ScatterWindowFollowing(**kwargs).solve(event))]

        assert wanted not in found()
        assert wanted in found(max_chi2_three_hits_gap=20.0)

    def test_a_crossing_on_a_hit_another_track_took_is_not_a_miss(self):
        # A prompt track a, found first, and three hits of a decay product b on modules 48-50
        # whose line crosses the last module exactly on a's hit. b's line crosses modules
        # without hits below its first hit; above, the only crossing is a's hit, which may
        # well be b's own merged with a's, so it counts as nothing missed and b is a track.
        a = line_hits(0.0, 0.0, 0.01, 0.012, range(52))
        a = {m: h for m, h in a.items() if 5.0 < math.hypot(h[0], h[1]) < 40.0}
        xa, ya, za = a[51]
        b = line_hits(xa + 0.02 * za, ya - 0.01 * za, -0.02, 0.01, (48, 49, 50))
        event, (a_ids, b_ids) = build(ring_background(), a, b)
        tracks = ScatterWindowFollowing().solve(event)
        assert track_of(tracks, a_ids[51]) == [a_ids[m] for m in sorted(a)]
        assert track_of(tracks, b_ids[48]) == [b_ids[m] for m in (48, 49, 50)]

    def test_more_hits_on_the_same_line_make_a_track(self):
        full = line_hits(10.0, -3.0, 0.01, 0.004, range(52))
        line = {m: full[m] for m in range(20, 24)}
        event, [line_ids] = build(disc_background(), line)
        assert sorted(line_ids.values()) in [
            sorted(t) for t in ids(ScatterWindowFollowing().solve(event))
        ]


class TestSharedHits:
    def test_the_longer_track_keeps_a_shared_hit(self):
        a = line_hits(8.0, 8.0, 0.004, 0.002, range(10, 26))
        # b passes through a's hit on module 18 and has 7 hits there and around.
        x18, y18, z18 = a[18]
        b = line_hits(x18 - 0.012 * z18, y18 + 0.006 * z18, 0.012, -0.006, range(15, 22))
        del b[18]
        event, (a_ids, b_ids) = build(disc_background(), a, b)
        tracks = ScatterWindowFollowing().solve(event)
        assert track_of(tracks, a_ids[18]) == [a_ids[m] for m in range(10, 26)]
        assert track_of(tracks, b_ids[15]) == [b_ids[m] for m in (15, 16, 17, 19, 20, 21)]

    def test_between_equal_lengths_the_better_chi2_keeps_it(self):
        # Both lines have hits on modules 10..17 and meet on module 13, where the one hit lies
        # exactly on line a and 2.5 resolutions off line b. Line b's top hit comes first in
        # azimuth, so b is built first: the hit must still go to a.
        a = line_hits(20.0, 0.0, 0.002, 0.003, range(10, 18))
        x13, y13, z13 = a[13]
        b = line_hits(x13 + 0.025 - 0.006 * z13, y13 + 0.003 * z13, 0.006, -0.003, range(10, 18))
        del b[13]
        event, (a_ids, b_ids) = build(disc_background(), a, b)
        phi = {k: math.atan2(v[17][1], v[17][0]) for k, v in (("a", a), ("b", b))}
        assert phi["b"] < phi["a"]
        tracks = ScatterWindowFollowing().solve(event)
        assert track_of(tracks, a_ids[13]) == [a_ids[m] for m in range(10, 18)]
        assert track_of(tracks, b_ids[10]) == [b_ids[m] for m in (10, 11, 12, 14, 15, 16, 17)]


def test_a_skipped_hit_is_filled_in_by_interpolation():
    # The hit on module 19 sits two resolutions off the line, so the best seed from the top hit
    # skips it (20, 18, 17); only the gap filling between 20 and 18 brings it back.
    line = line_hits(12.0, 4.0, 0.003, -0.002, range(10, 21))
    x, y, z = line[19]
    line[19] = (x + 0.014, y + 0.014, z)
    event, [line_ids] = build(disc_background(), line)
    assert ids(ScatterWindowFollowing().solve(event)) == [[line_ids[m] for m in range(10, 21)]]


def test_a_track_crossing_the_halves_keeps_the_hits_of_both():
    # The generator's layout: each station has a half on each side of x = 0, a few mm apart,
    # overlapping by 3 mm. The line drifts from x < 0 to x > 0 over the detector.
    z = list(detector.MODULE_Z)
    background = {}
    for m in range(52):
        side = -1.0 if m % 2 == 0 else 1.0
        phase = 2.399963 * m
        background[m] = [
            (side * abs(r * math.cos(phase + k)), r * math.sin(phase + k), z[m])
            for k, r in enumerate((5.5, 39.5, 20.0))
        ] + [(-side * 1.5, 30.0 - 7.0 * (m % 5), z[m])]
    line = line_hits(-1.2, 12.0, 0.004, 0.002, range(52), z)
    line = {
        m: h
        for m, h in line.items()
        if (h[0] < 1.5 if m % 2 == 0 else h[0] > -1.5) and 5.1 < math.hypot(h[0], h[1]) < 40.0
    }
    sides = {m % 2 for m in line}
    assert sides == {0, 1} and len(line) > 20
    event, [line_ids] = build(background, line)
    found = track_of(ScatterWindowFollowing().solve(event), line_ids[min(line)])
    assert found == [line_ids[m] for m in sorted(line)]


# ------------------------------------------------------------------ determinism

_THREADS_SCRIPT = textwrap.dedent(
    """
    import trelmon
    from trelmon_tools import ScatterWindowFollowing
    from trelmon_tools.generate import generate_events

    dicts = []
    for i in range(16):
        dicts += generate_events(1, 700 + i, n_collisions=[0, 1, 8, 3][i % 4])
    events = [trelmon.DetectorEvent.Event(d) for d in dicts]
    finder = ScatterWindowFollowing()
    batches = [finder.solve_batch(events) for _ in range(2)]
    print(repr([[[h.id for h in t.hits] for t in tracks] for tracks in batches[0]]))
    assert batches[0] == batches[1] or [
        [[h.id for h in t.hits] for t in tracks] for tracks in batches[0]
    ] == [[[h.id for h in t.hits] for t in tracks] for tracks in batches[1]]
    """
)


def test_identical_tracks_for_every_thread_count_and_run():
    outputs = []
    for threads in ("1", "2", "5"):
        env = dict(os.environ, TRELMON_NUM_THREADS=threads)
        out = subprocess.run(
            [sys.executable, "-c", _THREADS_SCRIPT],
            env=env,
            capture_output=True,
            text=True,
            timeout=600,
        )
        assert out.returncode == 0, out.stderr
        outputs.append(out.stdout)
    assert outputs[0] == outputs[1] == outputs[2]
    assert outputs[0].count("[") > 100  # tracks were found


def test_ctrl_c_stops_a_single_long_solve():
    # All hits of a module at one point: every pair of modules seeds with every hit pair, minutes
    # of work at 1500 hits a module.
    def crowded(per_module):
        return Event(event_dict({m: [(0.0, 0.0, 10.0 * m)] * per_module for m in range(52)}))

    finder = ScatterWindowFollowing()
    expected = ids(finder.solve(crowded(20)))
    with Interrupt(0.3) as interrupt, pytest.raises(KeyboardInterrupt):
        finder.solve(crowded(1500))
    assert interrupt.sent_at is not None and time.perf_counter() - interrupt.sent_at < 20.0
    assert ids(finder.solve(crowded(20))) == expected


def test_solve_and_solve_batch_agree(default_sample):
    _, events = default_sample
    finder = ScatterWindowFollowing()
    batch = finder.solve_batch(events[:10])
    assert [ids(t) for t in batch] == [ids(finder.solve(e)) for e in events[:10]]
    assert all(type(t) is trelmon.DetectorEvent.Track for tracks in batch for t in tracks)


# ------------------------------------------------------------------ the Python class


class TestParameters:
    def test_defaults_and_none(self):
        finder = ScatterWindowFollowing(min_pt=None)
        assert finder.parameters == {
            "hit_resolution": 0.010,
            "min_pt": 150.0,
            "module_material": 0.011,
            "max_chi2": 30.0,
            "max_chi2_three_hits": 20.0,
            "max_chi2_three_hits_gap": 5.0,
            "max_slope": 1.0,
            "max_beam_distance": 1.0,
            "max_missed_modules": 2,
            "acceptance_margin": 0.0,
        }
        assert finder == ScatterWindowFollowing()
        assert finder != ScatterWindowFollowing(max_chi2=20)
        assert eval(repr(finder), {"ScatterWindowFollowing": ScatterWindowFollowing}) == finder

    def test_numeric_types_other_than_float_and_int(self):
        finder = ScatterWindowFollowing(min_pt=np.float32(200), max_missed_modules=np.uint8(3))
        assert finder == ScatterWindowFollowing(min_pt=200, max_missed_modules=3)
        assert hash(finder) == hash(ScatterWindowFollowing(min_pt=200.0, max_missed_modules=3))
        assert type(finder.parameters["max_missed_modules"]) is int
        # Positionally, in the order the parameters are listed.
        assert ScatterWindowFollowing(0.02, 300) == ScatterWindowFollowing(
            hit_resolution=0.02, min_pt=300
        )

    def test_pickles_with_its_parameters(self):
        finder = ScatterWindowFollowing(min_pt=200, max_missed_modules=3)
        copy = pickle.loads(pickle.dumps(finder))
        assert copy == finder and copy.parameters["min_pt"] == 200.0

    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            ({"min_pt": "150"}, TypeError, "min_pt must be a number, not str"),
            ({"max_chi2": True}, TypeError, "max_chi2 must be a number, not bool"),
            ({"max_missed_modules": 2.0}, TypeError, "max_missed_modules must be an integer"),
            ({"hit_resolution": 0.0}, ValueError, "hit_resolution must be positive, got 0.0"),
            ({"max_slope": -1}, ValueError, "max_slope must be positive"),
            ({"module_material": -0.1}, ValueError, "module_material must not be negative"),
            ({"acceptance_margin": math.inf}, ValueError, "acceptance_margin must be finite"),
            ({"max_missed_modules": -1}, ValueError, "max_missed_modules must be between 0"),
            ({"max_missed_modules": 2**32}, ValueError, "between 0 and 4294967295, got 4294967296"),
            ({"max_missed_modules": True}, TypeError, "max_missed_modules must be an integer"),
            ({"max_chi2": math.nan}, ValueError, "max_chi2 must be finite, got nan"),
            ({"min_pt": 1j}, TypeError, "min_pt must be a number, not complex"),
        ],
    )
    def test_bad_values_are_refused(self, kwargs, error, message):
        with pytest.raises(error, match=message):
            ScatterWindowFollowing(**kwargs)

    def test_unknown_keyword(self):
        with pytest.raises(TypeError):
            ScatterWindowFollowing(max_scatter=0.3)

    def test_bad_events(self):
        finder = ScatterWindowFollowing()
        with pytest.raises(TypeError, match="event"):
            finder.solve({"x": []})
        with pytest.raises(TypeError, match="events"):
            finder.solve_batch([1, 2])
        assert finder.solve_batch([]) == []


def test_event_without_hits_and_with_odd_coordinates():
    # Empty modules, a hit with NaN and one with infinite coordinates: no tracks, no crash.
    hits = {3: [(math.nan, 1.0, 10.0)], 7: [(1.0, math.inf, 20.0)], 9: [(1.0, 1.0, 30.0)]}
    assert ScatterWindowFollowing().solve(Event(event_dict(hits))) == []
    assert ScatterWindowFollowing().solve(Event(event_dict({}))) == []
