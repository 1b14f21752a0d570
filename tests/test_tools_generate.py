"""The synthetic event generator: determinism, format, truth and detector geometry."""

import math

import numpy as np
import pytest

import trelmon
from trelmon_tools import detector as det
from trelmon_tools.generate import MC_COLUMNS, generate_event, generate_events
from trelmon_tools.particle_data import charge as code_charge
from trelmon_tools.truth import CATEGORIES, category_counts, in_category, mc_particles

Event = trelmon.DetectorEvent.Event
SEEDS = range(12)


@pytest.fixture(scope="module")
def events():
    return generate_events(len(SEEDS), SEEDS[0])


def module_of_hits(event):
    return np.repeat(np.arange(52), np.diff(event["module_prefix_sum"]))


class TestDeterminism:
    def test_same_seed_and_knobs_give_the_same_event(self):
        knobs = dict(n_collisions=3, noise_fraction=0.05, with_time=True)
        assert generate_event(7, **knobs) == generate_event(7, **knobs)

    def test_different_seeds_give_different_events(self):
        a, b = generate_event(1), generate_event(2)
        assert a["x"] != b["x"]
        assert a["montecarlo"]["particles"] != b["montecarlo"]["particles"]

    def test_sample_event_i_is_the_event_of_seed_plus_i(self, events):
        assert generate_events(3, 4) == [generate_event(4), generate_event(5), generate_event(6)]
        assert events[5] == generate_event(SEEDS[0] + 5)
        assert generate_events(0, 0) == []

    def test_times_are_an_addition_not_a_different_event(self):
        plain, timed = generate_event(3), generate_event(3, with_time=True)
        assert "t" not in plain
        t = timed.pop("t")
        assert timed == plain
        assert len(t) == len(plain["x"]) and all(isinstance(v, float) for v in t)


class TestFormat:
    def test_keys_types_and_prefix_sums(self, events):
        for event in events:
            assert list(event) == ["description", "montecarlo", "module_prefix_sum", "x", "y", "z"]
            assert isinstance(event["description"], str) and event["description"]
            prefix = event["module_prefix_sum"]
            assert len(prefix) == 53 and prefix[0] == 0
            assert all(type(v) is int for v in prefix)
            # Every module holds at least one hit.
            assert all(b > a for a, b in zip(prefix, prefix[1:]))
            for key in "xyz":
                assert len(event[key]) == prefix[52]
                assert all(type(v) is float and math.isfinite(v) for v in event[key])

    def test_monte_carlo_table_uses_every_column_with_plain_values(self, events):
        for event in events:
            mc = event["montecarlo"]
            assert list(mc) == ["description", "particles"]
            assert mc["description"] == list(MC_COLUMNS)
            assert len(MC_COLUMNS) == 16
            col = {name: i for i, name in enumerate(MC_COLUMNS)}
            keys = [row[col["key"]] for row in mc["particles"]]
            assert len(set(keys)) == len(keys) and min(keys) >= 1
            for row in mc["particles"]:
                assert len(row) == len(MC_COLUMNS)
                for name in ("p", "pt", "eta", "phi"):
                    assert type(row[col[name]]) is float
                for name in ("key", "pid", "charge", *MC_COLUMNS[8:]):
                    assert type(row[col[name]]) is int
                for name in MC_COLUMNS[8:]:
                    assert row[col[name]] in (0, 1)
                assert all(type(h) is int for h in row[col["hits"]])

    def test_events_build_and_truth_hits_are_hit_positions(self, events):
        for event in events:
            built = Event(event)
            assert built.number_of_hits == len(event["x"])
            assert built.montecarlo is event["montecarlo"]
            hits = built.hits
            for particle in mc_particles(event):
                for h in particle["hits"]:
                    assert 0 <= h < built.number_of_hits
                    assert hits[h].id == h
                    assert (hits[h].x, hits[h].y, hits[h].z) == (
                        event["x"][h], event["y"][h], event["z"][h])

    def test_events_with_times_build_with_times(self):
        built = Event(generate_event(0, with_time=True))
        assert all(h.with_t for h in built.hits)


class TestTruth:
    def test_particle_hits_are_distinct_and_owned_once(self, events):
        for event in events:
            owner = {}
            for particle in mc_particles(event):
                for h in particle["hits"]:
                    assert h not in owner, "a hit listed for two particles or twice"
                    owner[h] = particle["key"]

    def test_particles_cross_modules_in_flight_order(self, events):
        # One hit per module at most, in increasing module number for forward particles and
        # decreasing for backward ones.
        for event in events:
            module = module_of_hits(event)
            for particle in mc_particles(event):
                m = module[particle["hits"]]
                steps = np.diff(m)
                if particle["eta"] > 0:
                    assert np.all(steps > 0)
                else:
                    assert np.all(steps < 0)

    def test_flags_follow_hits_and_downstream_acceptance(self, events):
        for event in events:
            for particle in mc_particles(event):
                assert particle["hasVelo"] == (len(particle["hits"]) >= 3)
                assert particle["isLong"] == (particle["hasVelo"] and particle["hasScifi"])
                assert particle["isDown"] == (particle["hasUT"] and particle["hasScifi"])
                assert particle["hits"] or particle["hasUT"] or particle["hasScifi"]
                if particle["hasScifi"] or particle["hasUT"]:
                    assert particle["eta"] > 0

    def test_kinematics_are_consistent(self, events):
        for event in events:
            for particle in mc_particles(event):
                p, pt, eta = particle["p"], particle["pt"], particle["eta"]
                assert 0 < pt <= p
                assert math.isclose(p, pt * math.cosh(eta), rel_tol=1e-9)
                assert -math.pi <= particle["phi"] <= math.pi
                assert particle["charge"] == code_charge(particle["pid"]) != 0

    def test_category_counts_nest(self, events):
        for event in events:
            c = category_counts(event)
            assert list(c) == list(CATEGORIES)
            assert c["long"] <= c["velo"]
            for base in ("long", "long_strange", "long_fromb"):
                assert c[base + ">5GeV"] <= c[base] <= c["long"]
            particles = mc_particles(event)
            assert c["long>5GeV"] == sum(
                p["isLong"] and p["p"] > 5000 and abs(p["pid"]) != 11 for p in particles)

    def test_default_events_look_like_busy_collisions(self, events):
        hits = np.mean([len(e["x"]) for e in events])
        assert 1500 <= hits <= 3000
        totals = {label: sum(category_counts(e)[label] for e in events) for label in CATEGORIES}
        assert totals["velo"] / len(events) >= 150
        # Every category is populated across the sample, decay products included.
        assert all(totals[label] > 0 for label in CATEGORIES)

    def test_decay_origin_flags_are_set(self, events):
        particles = [p for e in events for p in mc_particles(e)]
        for flag in ("fromBeautyDecay", "fromCharmDecay", "fromStrangeDecay"):
            assert any(p[flag] for p in particles)
        # Prompt particles dominate.
        prompt = [p for p in particles
                  if not (p["fromBeautyDecay"] or p["fromCharmDecay"] or p["fromStrangeDecay"])]
        assert len(prompt) > 0.8 * len(particles)


class TestGeometry:
    def test_hits_lie_on_their_module(self, events):
        for event in events:
            module = module_of_hits(event)
            x, y, z = (np.array(event[k]) for k in "xyz")
            assert np.all(np.abs(z - det.MODULE_Z[module]) <= det.FACE_OFFSET + 1e-9)
            r = np.hypot(x, y)
            margin = 0.1  # resolution smearing may push a hit just past an edge
            assert np.all(r > det.INNER_RADIUS - margin) and np.all(r < det.OUTER_RADIUS + margin)
            even = module % 2 == 0
            assert np.all(x[even] < det.OVERLAP + margin)
            assert np.all(x[~even] > -det.OVERLAP - margin)
            for m in range(52):
                assert len(set(z[module == m])) <= 2

    def test_modules_run_along_z_in_stations_of_two_halves(self):
        assert len(det.MODULE_Z) == 52
        assert np.all(np.diff(det.MODULE_Z) > 2 * det.FACE_OFFSET)
        halves = det.MODULE_Z[1::2] - det.MODULE_Z[0::2]
        assert np.all((halves > 1.0) & (halves < 10.0))
        assert -320 < det.MODULE_Z[0] < -250 and 700 < det.MODULE_Z[-1] < 800

    def test_single_face_puts_a_module_on_one_plane(self):
        event = generate_event(2, sensor_faces=1)
        z = np.array(event["z"])
        module = module_of_hits(event)
        assert np.array_equal(z, det.MODULE_Z[module])

    def test_fast_particles_leave_straight_tracks(self, events):
        # Above 5 GeV scattering moves a track by a few um per module: each hit lies close to
        # the line through the particle's two previous hits, well within the finders' 0.4 mm.
        # (Pairs of hits on the two halves of one station are only 5 mm apart; extrapolating
        # far from them magnifies the resolution, so those lines are left out.)
        residuals = []
        for event in events:
            x, y, z = (np.array(event[k]) for k in "xyz")
            for particle in mc_particles(event):
                h = particle["hits"]
                if particle["p"] < 5000 or len(h) < 3:
                    continue
                a, b, c = h[:-2], h[1:-1], h[2:]
                f = (z[c] - z[a]) / (z[b] - z[a])
                near = f < 3
                residuals.append(np.abs(x[a] + f * (x[b] - x[a]) - x[c])[near])
                residuals.append(np.abs(y[a] + f * (y[b] - y[a]) - y[c])[near])
        residuals = np.concatenate(residuals)
        assert len(residuals) > 1000
        assert residuals.max() < 0.4
        assert np.percentile(residuals, 99) < 0.1
        assert np.median(residuals) < 0.03

class TestKnobs:
    def test_no_efficiency_leaves_one_noise_hit_per_module(self):
        event = generate_event(0, hit_efficiency=0.0)
        assert event["module_prefix_sum"] == list(range(53))
        assert all(not p["hits"] and not p["hasVelo"] for p in mc_particles(event))

    def test_noise_fraction(self):
        def unowned(event):
            owned = {h for p in mc_particles(event) for h in p["hits"]}
            return len(event["x"]) - len(owned)

        quiet = [unowned(generate_event(s, noise_fraction=0.0)) for s in range(4)]
        noisy = [(unowned(e), len(e["x"])) for e in
                 (generate_event(s, noise_fraction=0.2) for s in range(4))]
        assert all(n <= 52 for n in quiet)  # only fillers of otherwise empty modules
        fraction = sum(n for n, _ in noisy) / sum(t for _, t in noisy)
        assert 0.15 < fraction < 0.25

    def test_more_collisions_more_hits(self):
        few = sum(len(generate_event(s, n_collisions=1)["x"]) for s in range(4))
        many = sum(len(generate_event(s, n_collisions=10)["x"]) for s in range(4))
        assert many > 4 * few

    def test_beauty_pairs_knob(self):
        def from_b(**knobs):
            return sum(p["fromBeautyDecay"] for s in range(4)
                       for p in mc_particles(generate_event(s, **knobs)))

        assert from_b(beauty_pairs=0) == 0
        assert from_b(beauty_pairs=3) > from_b(beauty_pairs=1) > 0

    def test_empty_event_still_has_a_hit_per_module(self):
        event = generate_event(0, n_collisions=0, beauty_pairs=2)
        assert event["module_prefix_sum"] == list(range(53))
        assert event["montecarlo"]["particles"] == []
        Event(event)

    @pytest.mark.parametrize("knobs", [
        dict(n_collisions=-1), dict(n_collisions=2.5), dict(n_collisions=True),
        dict(noise_fraction=1.0), dict(noise_fraction=-0.1), dict(hit_efficiency=1.5),
        dict(hit_efficiency=float("nan")), dict(particles_per_collision=float("inf")),
        dict(sensor_faces=3), dict(beauty_pairs=-1),
    ])
    def test_bad_knobs_are_refused(self, knobs):
        with pytest.raises(ValueError):
            generate_event(0, **knobs)

    def test_unknown_knob_is_a_type_error(self):
        with pytest.raises(TypeError):
            generate_event(0, collisions=3)


class TestCategories:
    @pytest.mark.parametrize("label, flags, expected", [
        ("velo", dict(hasVelo=True), True),
        ("velo", dict(hasVelo=True, pid=-11), False),
        ("long", dict(isLong=True, hasVelo=False), True),
        ("long>5GeV", dict(isLong=True, p=5000.0), False),
        ("long>5GeV", dict(isLong=True, p=-5000.5), True),
        ("long_strange", dict(isLong=True, fromStrangeDecay=True), True),
        ("long_strange", dict(isLong=False, fromStrangeDecay=True), False),
        ("long_fromb>5GeV", dict(isLong=True, fromBeautyDecay=True, p=6000.0), True),
        ("long_fromb>5GeV", dict(isLong=True, fromBeautyDecay=True, p=4000.0), False),
        ("Long", dict(isLong=True), False),
    ])
    def test_predicates(self, label, flags, expected):
        columns = ["key", "pid", "p", *flags.keys() - {"pid", "p"}]
        row = [1, flags.get("pid", 211), flags.get("p", 1000.0),
               *(int(flags[c]) for c in columns[3:])]
        particle, = mc_particles({"montecarlo": {"description": columns, "particles": [row]}})
        assert in_category(particle, label) is expected

    def test_table_reading_defaults(self):
        table = {"description": ["key", "p", "isLong", "hits", "isLong"],
                 "particles": [[7, 6000.0, 0, [0, 2], 1], [8, 10.0, 1, [0, -1], 1.0], [9]]}
        a, b, c = mc_particles({"montecarlo": table})
        assert (a["key"], a["pid"], a["isLong"], a["hasVelo"], a["hits"]) == (7, 0, True, True, [0, 2])
        assert a["over5GeV"]
        assert not b["isLong"] and b["hits"] == []  # last column wins, float flag; negative hit
        assert c["p"] == 0.0 and c["hasVelo"] and not c["isLong"]
        assert [l for l in CATEGORIES if in_category(a, l)] == ["velo", "long", "long>5GeV"]
