"""SearchByTripletTrie: the class surface, agreement with a literal rendering of the finder on
generated and random events, the indexed trie building against a full scan, and the places
where this finder is easy to get wrong (bounds, misses and their flags, claimed hits, id -1)."""

import math

import pytest
import search_by_triplet_reference as ref
import trelmon
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from trelmon_tools import _sbt_probe as probe
from trelmon_tools.generate import generate_event

SBT = trelmon.ReconstructionAlgorithms.SearchByTripletTrie
Event = trelmon.DetectorEvent.Event


def outcome(tracks):
    """What Python sees of a track list: ids in order and the two flags."""
    return [
        (tuple(h.id for h in t.hits), t.missed_last_module, t.missed_penultimate_module)
        for t in tracks
    ]


def visible(results):
    """Reference or probe results without the hidden missed_count."""
    return [r[:3] for r in results]


def columns(data):
    """What the probe reads of an event dictionary."""
    return (data["module_prefix_sum"], data["x"], data["y"], data["z"])


def probe_solve(data, max_scatter=0.1, strong=4, allowed=2):
    """The finder's tracks on the event with the count of misses each track ended on."""
    return probe.solve(columns(data), max_scatter, strong, allowed)


def station_event(make_event_dict, hits):
    """An event from {station: [(x, y), ...]}: hits on the station's first module, at z = 10 *
    station, in the order given."""
    return make_event_dict(
        {2 * s: [(x, y, 10.0 * s) for x, y in points] for s, points in hits.items()}
    )


# --------------------------------------------------------------------------------------------
# The Python class


class TestClass:
    def test_parameters_and_defaults(self):
        default = SBT()
        explicit = SBT(0.1, 4, 2)
        by_keyword = SBT(
            max_scatter=None, min_strong_track_length=None, allowed_missed_modules=None
        )
        event = Event(generate_event(3))
        expected = outcome(default.solve(event))
        assert expected
        assert outcome(explicit.solve(event)) == expected
        assert outcome(by_keyword.solve(event)) == expected
        assert outcome(SBT(max_scatter=1).solve(event)) == outcome(SBT(1.0).solve(event))
        assert outcome(SBT(0.2).solve(event)) != expected

    def test_refused_arguments(self):
        with pytest.raises(TypeError, match="min_track_length"):
            SBT(min_track_length=3)
        with pytest.raises(TypeError):
            SBT(0.1, 4, 2, 7)
        with pytest.raises(TypeError, match="argument 'max_scatter'"):
            SBT(max_scatter="0.1")
        with pytest.raises(OverflowError):
            SBT(min_strong_track_length=-1)
        with pytest.raises(OverflowError):
            SBT(allowed_missed_modules=-1)
        with pytest.raises(TypeError, match="argument 'event'.*'int'.*'Event'"):
            SBT().solve(42)
        with pytest.raises(TypeError, match="events"):
            SBT().solve_batch([Event(generate_event(1)), 42])

    def test_docstrings_and_no_readable_parameters(self):
        assert SBT.__text_signature__ == (
            "(cls, max_scatter=None, min_track_length=None, min_strong_track_length=None, "
            "allowed_missed_modules=None)"
        )
        assert SBT.solve.__doc__ == "Processes the event to assemble tracks."
        assert SBT.solve.__text_signature__ == "($self, event)"
        assert SBT.solve_batch.__text_signature__ == "($self, events)"
        assert not hasattr(SBT(), "max_scatter")
        assert "SearchByTripletTrie" in trelmon.ReconstructionAlgorithms.__all__
        assert SBT.__module__ == "ReconstructionAlgorithms"


# --------------------------------------------------------------------------------------------
# Agreement with the literal rendering


PARAMETER_SETS = [(0.1, 4, 2), (1.0, 3, 1), (0.02, 5, 0), (10.0, 0, 3), (0.3, 1, 255)]


class TestAgainstReference:
    @pytest.mark.parametrize("seed", range(6))
    def test_small_generated_events_with_several_parameter_sets(self, seed):
        data = generate_event(100 + seed, n_collisions=1)
        event = Event(data)
        modules = ref.modules_from_event_dict(data)
        for params in PARAMETER_SETS:
            expected = ref.solve(modules, *params)
            assert outcome(SBT(*params).solve(event)) == visible(expected), params
            assert probe_solve(data, *params) == expected, params

    @pytest.mark.parametrize("seed", range(8))
    def test_default_generated_events(self, seed):
        # The reference walk runs on tries from the full scan (verified below against the
        # pure-Python trie building), which keeps default-size events affordable.
        data = generate_event(seed)
        event = Event(data)
        modules = ref.modules_from_event_dict(data)
        hits_by_id = {h.id: h for h in modules[0].hits}
        for params in [(0.1, 4, 2), (0.5, 3, 1)]:
            rows = probe.full_scan_tries(columns(data), params[0])
            tries = ref.tries_from_rows(rows, hits_by_id)
            expected = ref.solve(modules, *params, tries=tries)
            assert outcome(SBT(*params).solve(event)) == visible(expected)

    def test_hit_records_are_copied_whole(self, make_event_dict):
        data = make_event_dict(
            {2 * s: [(0.5 * s, -0.25 * s, 10.0 * s)] for s in range(6)}, with_t=True
        )
        event = Event(data)
        tracks = SBT().solve(event)
        assert len(tracks) == 1
        by_id = {h.id: h for h in event.hits}
        for hit in tracks[0].hits:
            original = by_id[hit.id]
            assert (hit.x, hit.y, hit.z, hit.t, hit.module_number, hit.with_t) == (
                original.x,
                original.y,
                original.z,
                original.t,
                original.module_number,
                original.with_t,
            )


# Coordinates on a coarse grid make straight lines, equal scatters and equal z common; NaN and
# infinities reach every comparison now and then.
near_line = st.sampled_from([0.0, 0.0, 0.5, -0.5, 0.25])
coordinate = st.one_of(
    near_line,
    near_line,
    near_line,
    st.sampled_from([-1.0, 1.0, 2.0, -0.0, 1e300, math.nan, math.inf, -math.inf]),
)
odd_z = st.sampled_from([0.0, 10.0, -0.0, math.nan, math.inf])
scatter_bound = st.sampled_from([0.1, 0.3, 1.0, 4.0, 0.0, -1.0, math.inf, math.nan, 1e-300])
strong_length = st.integers(0, 6)
allowed_misses = st.sampled_from([0, 1, 2, 3, 255, 256, 257])


def columns_event(prefix, xs, ys, zs):
    return {
        "description": "",
        "montecarlo": None,
        "module_prefix_sum": prefix,
        "x": xs,
        "y": ys,
        "z": zs,
    }


@st.composite
def dense_station_events(draw):
    """Events on the five lowest stations with up to a dozen hits per module, one or two z
    planes per module: many second hits share a plane, some lie on one line with hits above
    and below, some are spread far apart or not finite."""
    spread = st.floats(-40.0, 40.0, allow_nan=False).map(lambda v: round(v, 1))
    value = st.one_of(near_line, near_line, spread, coordinate)
    prefix, xs, ys, zs = [0], [], [], []
    for m in range(52):
        count = draw(st.integers(0, 12)) if m < 10 else 0
        planes = [5.0 * m, draw(st.sampled_from([5.0 * m + 1.0, 5.0 * m, math.nan]))]
        for _ in range(count):
            slope = draw(st.sampled_from([0.0, 0.1, -0.2]))
            xs.append(draw(value) + slope * m)
            ys.append(draw(value) - slope * m)
            zs.append(draw(st.sampled_from(planes)))
        prefix.append(len(xs))
    return columns_event(prefix, xs, ys, zs)


def z_of_module(draw, m):
    return draw(st.one_of(st.just(5.0 * m), st.just(5.0 * m), odd_z))


@st.composite
def event_dicts(draw):
    """Events of few hits on a few stations, through the Python Event."""
    prefix, xs, ys, zs = [0], [], [], []
    for m in range(52):
        count = draw(st.integers(0, 3)) if m < 16 else 0
        for _ in range(count):
            xs.append(draw(coordinate))
            ys.append(draw(coordinate))
            zs.append(z_of_module(draw, m))
        prefix.append(len(xs))
    return columns_event(prefix, xs, ys, zs)


class TestRandomEvents:
    @settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(
        data=event_dicts(), max_scatter=scatter_bound, strong=strong_length, allowed=allowed_misses
    )
    def test_events_match_the_reference(self, data, max_scatter, strong, allowed):
        expected = ref.solve(ref.modules_from_event_dict(data), max_scatter, strong, allowed)
        got = SBT(max_scatter, strong, allowed).solve(Event(data))
        assert outcome(got) == visible(expected)
        assert probe_solve(data, max_scatter, strong, allowed) == expected

    @settings(max_examples=150, deadline=None)
    @given(data=event_dicts(), max_scatter=scatter_bound)
    def test_tries_match_the_full_scan(self, data, max_scatter):
        literal = ref.trie_rows(ref.build_tries(ref.modules_from_event_dict(data), max_scatter))
        assert probe.full_scan_tries(columns(data), max_scatter) == literal
        assert probe.tries(columns(data), max_scatter) == literal
        assert probe.tries(columns(data), max_scatter, True) == literal


# --------------------------------------------------------------------------------------------
# Trie building: indexed search against a full scan


class TestTrieBuilding:
    @pytest.mark.parametrize("seed", range(4))
    def test_pure_python_tries_match_the_full_scan(self, seed):
        # Pins the native full scan that the faster comparisons below rely on.
        data = generate_event(200 + seed, n_collisions=1)
        modules = ref.modules_from_event_dict(data)
        for max_scatter in (0.1, 2.0):
            literal = ref.trie_rows(ref.build_tries(modules, max_scatter))
            assert probe.full_scan_tries(columns(data), max_scatter) == literal

    def test_generated_events(self):
        for seed in range(16):
            event = columns(generate_event(300 + seed))
            for max_scatter in (0.1, 0.01, 1.0):
                full = probe.full_scan_tries(event, max_scatter)
                assert probe.tries(event, max_scatter) == full
                assert probe.tries(event, max_scatter, True) == full
                assert sum(len(t) for t in full if t) > 0

    def test_unbounded_and_empty_bounds(self):
        event = columns(generate_event(7, n_collisions=1))
        for max_scatter in (math.inf, 1e300, 0.0, -1.0, math.nan):
            full = probe.full_scan_tries(event, max_scatter)
            assert probe.tries(event, max_scatter) == full
            assert probe.tries(event, max_scatter, True) == full

    @pytest.mark.parametrize("flip", [2, 3])
    def test_crowded_planes_with_stations_out_of_z_order(self, flip):
        # Planes of a hundred second hits are listed by x and searched by bisection; with every
        # flip-th station moved 1000 above the rest, some first hits lie between their second
        # and third hits in z, and the predictions run both ways along the list.
        data = generate_event(12, n_collisions=20)
        prefix, zs = data["module_prefix_sum"], list(data["z"])
        for m in range(0, 52, 2 * flip):
            for i in range(prefix[m], prefix[m + 2]):
                zs[i] += 1000.0
        event = (prefix, data["x"], data["y"], zs)
        for max_scatter in (0.1, 2.0):
            full = probe.full_scan_tries(event, max_scatter)
            assert sum(len(t) for t in full if t) > 100
            assert probe.tries(event, max_scatter) == full
            assert probe.tries(event, max_scatter, True) == full

    @pytest.mark.parametrize("scale", [1e149, 1e299, 1e306, 1e307])
    def test_predictions_near_and_past_the_largest_double(self, scale):
        # Second-hit planes whose extreme predictions on the third planes come close to
        # overflow, or overflow, on one side: the box test must still pass every plane a
        # prediction can reach.
        prefix, xs, ys, zs = [0], [], [], []
        for m in range(52):
            if m < 6:
                for k, (x, y) in enumerate([(0.0, 0.0), (scale, -scale), (0.5, 0.25)]):
                    xs.append(x * (1 + m % 2) if k != 1 else x / (m + 1))
                    ys.append(y * (1 + m % 2) if k != 1 else y / (m + 1))
                    zs.append(5.0 * m)
            prefix.append(len(xs))
        event = columns(columns_event(prefix, xs, ys, zs))
        for max_scatter in (0.1, 1e300):
            full = probe.full_scan_tries(event, max_scatter)
            assert sum(len(t) for t in full if t) > 0
            assert probe.tries(event, max_scatter) == full
            assert probe.tries(event, max_scatter, True) == full

    @settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(data=dense_station_events(), max_scatter=st.sampled_from([0.1, 0.3, 1.0, 25.0]))
    def test_dense_planes_match_the_full_scan(self, data, max_scatter):
        # Planes of up to a dozen second hits run the screen's wide steps and its tail, with
        # non-finite slopes and predictions landing on either side of the boxes, in both the
        # dispatched and the baseline screen.
        event = columns(data)
        full = probe.full_scan_tries(event, max_scatter)
        assert probe.tries(event, max_scatter) == full
        assert probe.tries(event, max_scatter, True) == full

    @pytest.mark.parametrize("n_collisions", [20, 40])
    def test_busy_events_with_non_finite_coordinates(self, n_collisions):
        data = generate_event(11, n_collisions=n_collisions)
        xs, ys, zs = list(data["x"]), list(data["y"]), list(data["z"])
        # Every 37th hit loses a coordinate, cycling through x, y and z and NaN, inf, -inf.
        spoilt = [math.nan, math.inf, -math.inf]
        for k, i in enumerate(range(5, len(xs), 37)):
            (xs, ys, zs)[k % 3][i] = spoilt[(k // 3) % 3]
        event = (data["module_prefix_sum"], xs, ys, zs)
        for max_scatter in (0.1, 0.02):
            full = probe.full_scan_tries(event, max_scatter)
            assert sum(len(t) for t in full if t) > 100
            assert probe.tries(event, max_scatter) == full
            assert probe.tries(event, max_scatter, True) == full


# --------------------------------------------------------------------------------------------
# Places that are easy to get wrong


class TestBounds:
    def test_scatter_equal_to_the_bound_is_rejected(self, make_event_dict):
        # One line through stations 2, 1, 0; the third hit is 0.5 off in y, a scatter of
        # exactly 0.25 (the prediction is exact: the line has zero slope).
        def solve(third_y, max_scatter):
            event = Event(
                station_event(
                    make_event_dict, {2: [(0.0, 0.0)], 1: [(0.0, 0.0)], 0: [(0.0, third_y)]}
                )
            )
            return outcome(SBT(max_scatter=max_scatter).solve(event))

        assert solve(0.5, 0.25) == []
        assert solve(0.5, math.nextafter(0.25, 1.0)) == [((2, 1, 0), False, False)]
        assert solve(math.nextafter(0.5, 0.0), 0.25) == [((2, 1, 0), False, False)]

    def test_equal_scatters_go_to_the_earlier_third_hit(self, make_event_dict):
        # The line (0, 0) along z predicts (0, 0) on every plane; third hits at x = -0.1 and
        # x = 0.1 score exactly the same. Same plane, or the later hit on the plane visited first.
        for later_z in (0.0, -1.0):
            data = make_event_dict(
                {
                    4: [(0.0, 0.0, 20.0)],
                    2: [(0.0, 0.0, 10.0)],
                    0: [(-0.1, 0.0, 0.0)],
                    1: [(0.1, 0.0, later_z)],
                }
            )
            assert outcome(SBT().solve(Event(data))) == [((3, 2, 0), False, False)]
            data = make_event_dict(
                {
                    4: [(0.0, 0.0, 20.0)],
                    2: [(0.0, 0.0, 10.0)],
                    0: [(0.1, 0.0, 0.0)],
                    1: [(-0.1, 0.0, later_z)],
                }
            )
            assert outcome(SBT().solve(Event(data))) == [((3, 2, 0), False, False)]

    def test_equal_scatters_in_a_trie_extension_go_to_the_earlier_hit(self, make_event_dict):
        # Seeded at station 3, extended at station 2 through the trie into station 0.
        for first_x in (-0.1, 0.1):
            data = make_event_dict(
                {
                    6: [(0.0, 0.0, 30.0)],
                    4: [(0.0, 0.0, 20.0)],
                    2: [(0.0, 0.0, 10.0)],
                    0: [(first_x, 0.0, 0.0)],
                    1: [(-first_x, 0.0, -1.0)],
                }
            )
            assert outcome(SBT().solve(Event(data))) == [((4, 3, 2, 0), False, False)]

    def test_equal_scatters_in_the_module_search_go_to_the_earlier_hit(self, make_event_dict):
        # Two hits in module 0 equally far off the line: the one stored first is taken.
        for first_x in (-0.1, 0.1):
            data = resume_scenario(make_event_dict, [(first_x, 0.0), (-first_x, 0.0)])
            ((ids, *_),) = probe_solve(data)
            assert ids[:4] == (4, 3, 2, 0)
            assert probe_solve(data) == ref.solve(ref.modules_from_event_dict(data), 0.1, 4, 2)

    def test_module_search_keeps_to_its_module(self, make_event_dict):
        # After two misses, station 4 searches module 1; module 0, on the same station, holds a
        # hit right on the line that only its own search, at station 3, may take.
        data = station_event(make_event_dict, {s: [(0.0, 0.0)] for s in (4, 5, 6)})
        data = add_hit(add_hit(data, 0, (0.0, 0.0, 0.0)), 1, (0.2, 0.0, 5.0))
        expected = ref.solve(ref.modules_from_event_dict(data), 0.1, 4, 2)
        assert [ids for ids, *_ in expected] == [(4, 3, 2, 1, 0)]
        assert probe_solve(data) == expected

    def test_module_search_bound_is_exclusive(self, make_event_dict):
        for offset, found in [(0.5, False), (math.nextafter(0.5, 0.0), True)]:
            data = resume_scenario(make_event_dict, [(offset, 0.0)])
            ((ids, *_),) = probe_solve(data, max_scatter=0.25)
            assert (ids == (3, 2, 1, 0)) is found


def resume_scenario(make_event_dict, module_0_points):
    """A line along z through stations 6, 5 and 4 (on their first modules, z = 10 * station)
    and the given (x, y) points on module 0 at z = 0. Walking down: the seed of station 6 finds
    no third hit through the tries at stations 5 and 4, nor in the modules searched there
    (2 and 1): two misses. At station 3 the module search looks in module 0."""
    data = station_event(make_event_dict, {s: [(0.0, 0.0)] for s in (4, 5, 6)})
    for point in module_0_points:
        data = add_hit(data, 0, (*point, 0.0))
    return data


class TestMisses:
    @staticmethod
    def four_hit_track(make_event_dict, as_dict=False):
        # Stations 25..22 on one line, nothing below: the track is extended once through the
        # trie (at station 24), then misses every station from 23 on (the module searches look
        # in modules 21, 20, ..., which are empty).
        data = station_event(make_event_dict, {s: [(0.01 * s, 0.02 * s)] for s in (25, 24, 23, 22)})
        return data if as_dict else Event(data)

    def test_allowed_missed_modules(self, make_event_dict):
        event = self.four_hit_track(make_event_dict)
        ids = (0, 1, 2, 3)[::-1]  # ids follow module order; the track runs downwards
        one_miss = [(ids, True, False)]
        two_or_more_misses = [(ids, True, True)]
        assert outcome(SBT(allowed_missed_modules=0).solve(event)) == one_miss
        assert outcome(SBT(allowed_missed_modules=256).solve(event)) == one_miss
        assert outcome(SBT(allowed_missed_modules=1).solve(event)) == two_or_more_misses
        assert outcome(SBT(allowed_missed_modules=257).solve(event)) == two_or_more_misses
        assert outcome(SBT().solve(event)) == two_or_more_misses
        # Never closed by misses: it stays open to the end of the walk.
        assert outcome(SBT(allowed_missed_modules=255).solve(event)) == two_or_more_misses

    def test_missed_count_is_kept(self, make_event_dict):
        # The same track through the probe, which shows missed_count: closed at the miss that
        # exceeds the allowance, or left open to the end (22 misses, stations 23 down to 2).
        data = self.four_hit_track(make_event_dict, as_dict=True)
        assert probe_solve(data, allowed=0) == [((3, 2, 1, 0), True, False, 1)]
        assert probe_solve(data, allowed=256) == [((3, 2, 1, 0), True, False, 1)]
        assert probe_solve(data, allowed=2) == [((3, 2, 1, 0), True, True, 3)]
        assert probe_solve(data, allowed=255) == [((3, 2, 1, 0), True, True, 22)]

    def test_flags_after_misses_and_a_following_extension(self, make_event_dict):
        # Two misses, the module search's hit at station 3 (which clears the count and moves the
        # miss flag to the penultimate one), then one more miss at station 2, where module 0 is
        # searched again and holds nothing unused.
        assert probe_solve(resume_scenario(make_event_dict, [(0.0, 0.0)])) == [
            ((3, 2, 1, 0), True, True, 1)
        ]
        # Without a hit there, the third miss closes the three-hit track.
        assert probe_solve(resume_scenario(make_event_dict, [(5.0, 0.0)])) == [
            ((3, 2, 1), True, True, 3)
        ]


class TestClaims:
    @staticmethod
    def two_lines(make_event_dict, through_trie):
        # Two lines on stations 6, 5, 4 crossing at z = 30 (station 3) or, when the crossing
        # should be reached by module search, at z = 10 (module 2, searched from station 5).
        cross = 30.0 if through_trie else 10.0
        hits = {}
        for s in (6, 5, 4):
            hits[s] = [(0.1 * (10.0 * s - cross), 0.0), (-0.1 * (10.0 * s - cross), 0.0)]
        if through_trie:
            hits[3] = [(0.0, 0.0)]
            return Event(station_event(make_event_dict, hits))
        data = station_event(make_event_dict, hits)
        # The crossing hit sits on module 2 (station 1's first module) at z = 10.
        return Event(add_hit(data, 2, (0.0, 0.0, 10.0)))

    def test_trie_extension_takes_a_claimed_hit(self, make_event_dict):
        event = self.two_lines(make_event_dict, through_trie=True)
        crossing = 0  # the first hit in module order
        tracks = outcome(SBT().solve(event))
        assert len(tracks) == 2
        assert all(len(ids) == 4 and ids[-1] == crossing for ids, *_ in tracks)

    def test_module_search_skips_a_claimed_hit(self, make_event_dict):
        event = self.two_lines(make_event_dict, through_trie=False)
        tracks = outcome(SBT().solve(event))
        crossing = 0  # module 2's hit comes first in module order
        assert [len(ids) for ids, *_ in tracks] == [4, 3]
        assert tracks[0][0][-1] == crossing and crossing not in tracks[1][0]

    def test_weak_track_dropped_when_a_first_hit_is_claimed(self, make_event_dict):
        # W = (a5, b4, c3) is seeded at station 5 and closes weak. T = (a4', c3, e2) is seeded
        # at station 4 sharing c3, grows to four hits through f1 and claims its first three.
        w = [(2.0, 0.0), (1.0, 0.0), (0.0, 0.0)]
        data = station_event(
            make_event_dict,
            {5: [w[0]], 4: [w[1], (0.0, 1.0)], 3: [w[2]], 2: [(0.0, -1.0)], 1: [(0.0, -2.0)]},
        )
        event = Event(data)
        ids = {(h.x, h.y, h.z): h.id for h in event.hits}
        a5, b4, a4, c3 = (
            ids[(2.0, 0.0, 50.0)],
            ids[(1.0, 0.0, 40.0)],
            ids[(0.0, 1.0, 40.0)],
            ids[(0.0, 0.0, 30.0)],
        )
        e2, f1 = ids[(0.0, -1.0, 20.0)], ids[(0.0, -2.0, 10.0)]
        strong_t = ((a4, c3, e2, f1), True, False)
        assert outcome(SBT().solve(event)) == [strong_t]
        # With five hits needed, T stays weak and claims nothing: both are returned.
        assert outcome(SBT(min_strong_track_length=5).solve(event)) == [
            ((a5, b4, c3), True, True),
            strong_t,
        ]


def add_hit(data, module, point):
    """The event dictionary with one more hit at the end of a module."""
    prefix = data["module_prefix_sum"]
    at = prefix[module + 1]
    out = dict(data)
    for key, value in zip("xyz", point, strict=True):
        out[key] = data[key][:at] + [value] + data[key][at:]
    out["module_prefix_sum"] = prefix[: module + 1] + [p + 1 for p in prefix[module + 1 :]]
    return out


class TestLowestStations:
    def test_lines_through_the_three_lowest_stations_give_weak_tracks(self, make_event_dict):
        # The last trie (station 2's, third hits from station 0) still seeds; the seeds are
        # weak, unclaimed, and kept.
        data = station_event(
            make_event_dict,
            {k: [(5.0 * j, -3.0 * j) for j in range(3)] for k in range(3)},
        )
        expected = [((6 + j, 3 + j, j), False, False, 0) for j in range(3)]
        assert probe_solve(data) == expected
        assert outcome(SBT().solve(Event(data))) == visible(expected)


class TestDeterminism:
    def test_repeated_runs_and_batches_agree(self):
        events = [Event(generate_event(seed)) for seed in range(6)]
        algorithm = SBT()
        single = [outcome(algorithm.solve(e)) for e in events]
        assert all(single)
        for _ in range(3):
            assert [outcome(algorithm.solve(e)) for e in events] == single
            assert [outcome(t) for t in algorithm.solve_batch(events)] == single
        assert [outcome(t) for t in algorithm.solve_batch(events[::-1])] == single[::-1]
        assert [
            outcome(t) for t in algorithm.solve_batch(tuple(events + events))
        ] == single + single
        assert algorithm.solve_batch([]) == []

    def test_one_thread_alternating_events_and_bounds(self):
        # A thread keeps its buffers from solve to solve (the probe solves on the caller's
        # thread): a busy event with non-finite coordinates and a small one, under bounds of very
        # different reach, in turn, each give the reference's tracks and the full scan's tries.
        busy = generate_event(11, n_collisions=8)
        for k, i in enumerate(range(5, len(busy["x"]), 37)):
            busy["xyz"[k % 3]][i] = [math.nan, math.inf][k % 2]
        small = generate_event(5, n_collisions=1)

        def expected(data, params):
            modules = ref.modules_from_event_dict(data)
            hits_by_id = {h.id: h for h in modules[0].hits}
            rows = probe.full_scan_tries(columns(data), params[0])
            return ref.solve(modules, *params, tries=ref.tries_from_rows(rows, hits_by_id))

        cases = [(busy, (0.1, 4, 2)), (small, (1.0, 3, 1)), (busy, (0.02, 5, 0))]
        cases += [(small, (0.1, 4, 2)), (busy, (1.0, 3, 1))]
        answers = [expected(data, params) for data, params in cases]
        assert all(answers)
        for _ in range(2):
            for (data, params), answer in zip(cases, answers, strict=True):
                assert probe_solve(data, *params) == answer, params
                full = probe.full_scan_tries(columns(data), params[0])
                assert probe.tries(columns(data), params[0]) == full


@pytest.mark.parametrize("per_point", [1, 3, 7])
def test_hits_piled_on_few_points_match_the_reference(per_point):
    # Second hits at one point share their best third hit; ties between the piled-up third
    # hits go to the lowest position, as in the full scan.
    prefix, xs, ys, zs = [0], [], [], []
    for m in range(20):
        z = 10.0 * m
        for point in ((0.0, 0.0), (0.01 * z, -0.02 * z), (1.0, 1.0)):
            for _ in range(per_point):
                xs.append(point[0])
                ys.append(point[1])
                zs.append(z)
        prefix.append(len(xs))
    prefix += [len(xs)] * (53 - len(prefix))
    data = columns_event(prefix, xs, ys, zs)
    expected = visible(ref.solve(ref.modules_from_event_dict(data), 0.1, 4, 2))
    assert len(expected) >= 3 * per_point
    assert outcome(SBT().solve(Event(data))) == expected
