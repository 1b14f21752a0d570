"""The synthetic event generator: determinism, format, truth and detector geometry."""

import math
from itertools import pairwise

import numpy as np
import pytest
import trelmon
from hypothesis import given, settings
from hypothesis import strategies as st
from trelmon_tools import detector as det
from trelmon_tools.generate import (
    MC_COLUMNS,
    generate_columns,
    generate_columns_parallel,
    generate_event,
    generate_events,
)
from trelmon_tools.io import check_event
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

    def test_event_i_depends_on_the_seed_and_i_alone(self, events):
        assert generate_events(3, 4, start=2) == [generate_event(4, i) for i in (2, 3, 4)]
        assert events[5] == generate_event(SEEDS[0], 5)
        assert generate_events(0, 0) == []
        # However the sample is cut into batches, every event comes out the same.
        batched = [e for b in generate_columns(7, 9, batch=3) for e in b.to_dicts()]
        assert batched == generate_events(7, 9) == [generate_event(9, i) for i in range(7)]

    @settings(max_examples=8, deadline=None)
    @given(
        st.integers(0, 2**40),
        st.integers(0, 10**6),
        st.integers(1, 5),
        st.integers(1, 3),
        st.booleans(),
    )
    def test_dictionaries_hold_the_columns(self, seed, start, n, batch, with_time):
        knobs = dict(n_collisions=1, with_time=with_time)
        expected = []
        for c in generate_columns(n, seed, start=start, batch=batch, **knobs):
            # Event by event and cell by cell, as plainly as it can be said.
            for e in range(len(c)):
                lo, hi = c.hit_offsets[e], c.hit_offsets[e + 1]
                rows = [
                    [
                        [int(v) for v in c.mc_hits[c.mc_hit_offsets[r] : c.mc_hit_offsets[r + 1]]]
                        if name == "hits"
                        else c.mc[name][r].item()
                        for name in MC_COLUMNS
                    ]
                    for r in range(c.particle_offsets[e], c.particle_offsets[e + 1])
                ]
                event = {
                    "description": c.descriptions[e],
                    "montecarlo": {"description": list(MC_COLUMNS), "particles": rows},
                    "module_prefix_sum": [int(v) for v in c.module_prefix_sum[e]],
                    **{k: [float(v) for v in getattr(c, k)[lo:hi]] for k in "xyz"},
                }
                if with_time:
                    event["t"] = [float(v) for v in c.t[lo:hi]]
                expected.append(event)
        got = generate_events(n, seed, start=start, **knobs)
        assert got == expected
        kinds = [
            list if name == "hits" else float if name in ("p", "pt", "eta", "phi") else int
            for name in MC_COLUMNS
        ]
        for event in got:
            assert all(type(v) is float for k in "xyz" for v in event[k])
            for row in event["montecarlo"]["particles"]:
                assert [type(v) for v in row] == kinds
                assert all(type(h) is int for h in row[MC_COLUMNS.index("hits")])

    def test_samples_of_different_seeds_share_no_event(self):
        first, second = (generate_events(20, seed, n_collisions=1) for seed in (0, 1))
        assert not {tuple(e["x"]) for e in first} & {tuple(e["x"]) for e in second}
        assert not {e["x"][0] for e in first} & {e["x"][0] for e in second}

    def test_worker_processes_make_the_same_events(self):
        knobs = dict(n_collisions=1, with_time=True)
        serial = generate_events(7, 5, **knobs)
        parallel = generate_columns_parallel(7, 5, batch=2, processes=2, **knobs)
        assert [e for b in parallel for e in b.to_dicts()] == serial

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
            assert all(b > a for a, b in pairwise(prefix))
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
                        event["x"][h],
                        event["y"][h],
                        event["z"][h],
                    )

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
                p["isLong"] and p["p"] > 5000 and abs(p["pid"]) != 11 for p in particles
            )

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
        prompt = [
            p
            for p in particles
            if not (p["fromBeautyDecay"] or p["fromCharmDecay"] or p["fromStrangeDecay"])
        ]
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
    @settings(max_examples=25, deadline=None)
    @given(
        seed=st.integers(0, 2**63),
        n_collisions=st.integers(0, 8),
        particles=st.floats(0, 80),
        beauty=st.integers(0, 3),
        noise=st.floats(0, 0.5),
        efficiency=st.floats(0, 1),
        faces=st.sampled_from([1, 2]),
        with_time=st.booleans(),
    )
    def test_any_knobs_give_a_consistent_event(
        self, seed, n_collisions, particles, beauty, noise, efficiency, faces, with_time
    ):
        event = generate_event(
            seed,
            n_collisions=n_collisions,
            particles_per_collision=particles,
            beauty_pairs=beauty,
            noise_fraction=noise,
            hit_efficiency=efficiency,
            sensor_faces=faces,
            with_time=with_time,
        )
        check_event(event)
        assert ("t" in event) == with_time
        prefix = event["module_prefix_sum"]
        assert all(b > a for a, b in pairwise(prefix))
        built = Event(event)
        assert built.number_of_hits == prefix[52]
        module = module_of_hits(event)
        listed = [h for p in mc_particles(event) for h in p["hits"]]
        assert len(set(listed)) == len(listed)
        assert all(0 <= h < prefix[52] for h in listed)
        for particle in mc_particles(event):
            assert particle["hasVelo"] == (len(particle["hits"]) >= 3)
            assert len(set(module[particle["hits"]])) == len(particle["hits"])
        for m, zs in enumerate(built.module_zs):
            assert 1 <= len(zs) <= faces
            assert all(abs(z - det.MODULE_Z[m]) <= det.FACE_OFFSET + 1e-9 for z in zs)

    def test_no_efficiency_leaves_one_noise_hit_per_module(self):
        event = generate_event(0, hit_efficiency=0.0)
        assert event["module_prefix_sum"] == list(range(53))
        assert all(not p["hits"] and not p["hasVelo"] for p in mc_particles(event))

    def test_noise_fraction(self):
        def unowned(event):
            owned = {h for p in mc_particles(event) for h in p["hits"]}
            return len(event["x"]) - len(owned)

        quiet = [unowned(generate_event(s, noise_fraction=0.0)) for s in range(4)]
        noisy = [
            (unowned(e), len(e["x"]))
            for e in (generate_event(s, noise_fraction=0.2) for s in range(4))
        ]
        assert all(n <= 52 for n in quiet)  # only fillers of otherwise empty modules
        fraction = sum(n for n, _ in noisy) / sum(t for _, t in noisy)
        assert 0.15 < fraction < 0.25

    def test_more_collisions_more_hits(self):
        few = sum(len(generate_event(s, n_collisions=1)["x"]) for s in range(4))
        many = sum(len(generate_event(s, n_collisions=10)["x"]) for s in range(4))
        assert many > 4 * few

    def test_beauty_pairs_knob(self):
        def from_b(**knobs):
            return sum(
                p["fromBeautyDecay"]
                for s in range(4)
                for p in mc_particles(generate_event(s, **knobs))
            )

        assert from_b(beauty_pairs=0) == 0
        assert from_b(beauty_pairs=3) > from_b(beauty_pairs=1) > 0

    def test_empty_event_still_has_a_hit_per_module(self):
        event = generate_event(0, n_collisions=0, beauty_pairs=2)
        assert event["module_prefix_sum"] == list(range(53))
        assert event["montecarlo"]["particles"] == []
        Event(event)

    @pytest.mark.parametrize(
        "knobs",
        [
            dict(n_collisions=-1),
            dict(n_collisions=2.5),
            dict(n_collisions=True),
            dict(noise_fraction=1.0),
            dict(noise_fraction=-0.1),
            dict(hit_efficiency=1.5),
            dict(hit_efficiency=float("nan")),
            dict(particles_per_collision=float("inf")),
            dict(sensor_faces=3),
            dict(beauty_pairs=-1),
        ],
    )
    def test_bad_knobs_are_refused(self, knobs):
        with pytest.raises(ValueError):
            generate_event(0, **knobs)

    @pytest.mark.parametrize(
        "seed, error",
        [
            (None, TypeError),
            (1.0, TypeError),
            ("3", TypeError),
            (True, TypeError),
            (-1, ValueError),
        ],
    )
    def test_seed_must_be_a_non_negative_integer(self, seed, error):
        with pytest.raises(error, match="seed"):
            generate_event(seed)
        with pytest.raises(error, match="seed"):
            generate_events(0, seed)

    def test_unknown_knob_is_a_type_error(self):
        with pytest.raises(TypeError):
            generate_event(0, collisions=3)


class TestCategories:
    @pytest.mark.parametrize(
        "label, flags, expected",
        [
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
        ],
    )
    def test_predicates(self, label, flags, expected):
        columns = ["key", "pid", "p", *flags.keys() - {"pid", "p"}]
        row = [
            1,
            flags.get("pid", 211),
            flags.get("p", 1000.0),
            *(int(flags[c]) for c in columns[3:]),
        ]
        (particle,) = mc_particles({"montecarlo": {"description": columns, "particles": [row]}})
        assert in_category(particle, label) is expected

    def test_table_reading_defaults(self):
        table = {
            "description": ["key", "p", "isLong", "hits", "isLong", "pid", "hasVelo"],
            "particles": [
                [7, 6000.0, 0, [0, 2, 3], 1],
                [8, 10.0, 1, [0, -1], 1.0, 2**31, 2**31],
                [9, "5", None, "012", 2, -(2**31), 0],
                [2**64, 1e300],
            ],
        }
        event = {"montecarlo": table, "x": [0.0] * 4, "y": [0.0] * 3, "z": [0.0] * 3}
        a, b, c, d = mc_particles(event)
        assert (a["key"], a["pid"], a["isLong"], a["hasVelo"]) == (7, 0, True, True)
        assert a["hits"] == [0, 2]  # 3 is past the 3 hits of the shortest coordinate list
        assert a["over5GeV"]
        # Last column wins, a float flag is no flag, out-of-range integers are defaults.
        assert not b["isLong"] and b["hasVelo"] and b["pid"] == 0
        assert b["hits"] == []  # one negative position spoils the list
        assert (c["p"], c["pid"], c["isLong"], c["hasVelo"], c["hits"]) == (
            0.0,
            -(2**31),
            True,
            False,
            [],
        )
        assert d["key"] == 0 and d["p"] == 1e300
        assert [label for label in CATEGORIES if in_category(a, label)] == [
            "velo",
            "long",
            "long>5GeV",
        ]
        assert mc_particles({"x": []}) == []


class TestDecays:
    """Decay kinematics, checked on the generator's own building blocks."""

    @staticmethod
    def parents(code, n, p=(300.0, -200.0, 20000.0), origin=(0.1, -0.2, 5.0)):
        from trelmon_tools.generate import _Particles

        full = lambda v: np.full(n, v)  # noqa: E731
        return _Particles(
            pid=np.full(n, code),
            px=full(p[0]),
            py=full(p[1]),
            pz=full(p[2]),
            ox=full(origin[0]),
            oy=full(origin[1]),
            oz=full(origin[2]),
            ot=full(0.0),
            flags=np.zeros(n, dtype=np.int64),
            event=np.zeros(n, dtype=np.int64),
        )

    @pytest.mark.parametrize("code", [310, -3122, 421, -411, 431, 4122, 443, 511, -521, 531, 5122])
    def test_four_momentum_is_conserved(self, code):
        from trelmon_tools.generate import _decay
        from trelmon_tools.particle_data import SPECIES

        rng = np.random.default_rng(abs(code))
        for _ in range(20):  # one parent at a time, so all daughters are its own
            daughters = _decay(rng, self.parents(code, 1))
            masses = np.array([SPECIES[abs(int(c))].mass for c in daughters.pid])
            energy = np.sqrt(daughters.px**2 + daughters.py**2 + daughters.pz**2 + masses**2)
            parent_energy = math.sqrt(
                300.0**2 + 200.0**2 + 20000.0**2 + SPECIES[abs(code)].mass ** 2
            )
            assert math.isclose(energy.sum(), parent_energy, rel_tol=1e-9)
            for axis, value in (("px", 300.0), ("py", -200.0), ("pz", 20000.0)):
                assert math.isclose(getattr(daughters, axis).sum(), value, abs_tol=1e-6)
            # Daughters start together, at the decay vertex.
            assert len(set(daughters.oz)) == 1
            assert sum(code_charge(int(c)) for c in daughters.pid) == code_charge(code)

    @pytest.mark.parametrize("code, flag", [(310, 4), (411, 2), (521, 1)])
    def test_flight_follows_the_lifetime_and_flags_the_origin(self, code, flag):
        from trelmon_tools.generate import _decay
        from trelmon_tools.particle_data import SPECIES

        n = 20000
        daughters = _decay(np.random.default_rng(5), self.parents(code, n, origin=(0, 0, 0)))
        species = SPECIES[code]
        p = math.sqrt(300.0**2 + 200.0**2 + 20000.0**2)
        flight = np.sqrt(daughters.ox**2 + daughters.oy**2 + daughters.oz**2)
        # Mean decay length p / m * c tau; each parent's daughters share one vertex.
        assert np.mean(flight) == pytest.approx(p / species.mass * species.ctau, rel=0.05)
        assert np.all(daughters.flags & flag)

    def test_antiparticles_decay_to_the_conjugate_modes(self):
        from trelmon_tools.generate import _decay

        rng = np.random.default_rng(1)
        codes = set(_decay(rng, self.parents(-3122, 2000)).pid.tolist())
        assert codes == {-2212, 211, -2112, 111}
