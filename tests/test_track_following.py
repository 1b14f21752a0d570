"""TrackFollowing: parameters, the seed and extension tests at their exact limits, and solve,
both on hand-built events whose outcome is worked out by hand and against the step-by-step
rendering in track_following_reference on generated and random events."""

import math
from collections import namedtuple

import numpy as np
import pytest
import track_following_reference as ref
import trelmon
from conftest import event_dict
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from trelmon_tools import _tf_probe as probe
from trelmon_tools.generate import generate_events

TrackFollowing = trelmon.ReconstructionAlgorithms.TrackFollowing
Hit = trelmon.DetectorEvent.Hit
Event = trelmon.DetectorEvent.Event

PARAM_NAMES = (
    "max_slopes",
    "max_tolerance",
    "max_scatter",
    "min_track_length",
    "min_strong_track_length",
)

_Point = namedtuple("_Point", "id x y z")


def ids(tracks):
    return [[hit.id for hit in track.hits] for track in tracks]


def reference_ids(event, **params):
    modules = [[_Point(h.id, h.x, h.y, h.z) for h in m.hits()] for m in event.modules]
    return [[hit.id for hit in track] for track in ref.solve(ref.Params(**params), modules)]


def every_path(data, **params):
    """Tracks (hit ids) with the seed filter on each of its paths: the widest vector path the
    CPU has, two seed partners at a time, one at a time."""
    values = {
        "max_slopes": (0.7, 0.7),
        "max_tolerance": (0.4, 0.4),
        "max_scatter": 0.4,
        "min_track_length": 3,
        "min_strong_track_length": 4,
        **params,
    }
    columns = (data["module_prefix_sum"], data["x"], data["y"], data["z"])
    arguments = tuple(values[name] for name in PARAM_NAMES)
    return [probe.solve(columns, lanes, arguments) for lanes in (0, 2, 1)]


def make_event(module_hits):
    """{module: [(x, y, z), ...]} -> Event; hit ids run module by module in listed order."""
    return Event(event_dict(module_hits))


def line(points, *, x0=0.0, y0=0.0, tx=0.01, ty=0.02):
    """Points of a straight line through (x0, y0) at z = 0, at the given (module, z) places."""
    return {m: (x0 + tx * z, y0 + ty * z, z) for m, z in points}


def merge(*layouts):
    merged = {}
    for layout in layouts:
        for module, point in layout.items():
            merged.setdefault(module, []).append(point)
    return merged


def z_of(module):
    return 10.0 * module


# --- parameters -------------------------------------------------------------------------


class TestParameters:
    def test_documented_signatures(self):
        assert TrackFollowing.__text_signature__ == (
            "(cls, max_slopes=None, max_tolerance=None, max_scatter=None, "
            "min_track_length=None, min_strong_track_length=None)"
        )
        assert TrackFollowing.are_compatible.__text_signature__ == "($self, hit0, hit1)"
        assert TrackFollowing.check_tolerance.__text_signature__ == "($self, hit0, hit1, hit2)"
        assert TrackFollowing.solve.__text_signature__ == "($self, event)"
        assert TrackFollowing.solve_batch.__text_signature__ == "($self, events)"
        assert trelmon.ReconstructionAlgorithms.__all__[0] == "TrackFollowing"

    def test_parameters_are_not_exposed(self):
        algorithm = TrackFollowing()
        for name in PARAM_NAMES:
            assert not hasattr(algorithm, name)

    def test_none_positional_and_keyword_give_the_same_defaults(self):
        event = Event(generate_events(1, 11, n_collisions=2)[0])
        expected = ids(TrackFollowing().solve(event))
        assert expected  # a generated event has tracks to find
        variants = [
            TrackFollowing(None, None, None, None, None),
            TrackFollowing((0.7, 0.7), (0.4, 0.4), 0.4, 3, 4),
            TrackFollowing(
                **dict(zip(PARAM_NAMES, ((0.7, 0.7), (0.4, 0.4), 0.4, 3, 4), strict=True))
            ),
            TrackFollowing(max_scatter=None, min_track_length=3),
        ]
        for algorithm in variants:
            assert ids(algorithm.solve(event)) == expected
        assert expected == reference_ids(event)

    def test_defaults_sit_at_the_documented_limits(self):
        algorithm = TrackFollowing()
        h0 = Hit(0, 0, 100, 1)
        # slopes 0.7: a slope just under passes, exactly 0.7 does not
        assert algorithm.are_compatible(h0, Hit(math.nextafter(0.7, 0), 0, 99, 2))
        assert not algorithm.are_compatible(h0, Hit(0.7, 0, 99, 2))
        assert algorithm.are_compatible(h0, Hit(0, math.nextafter(0.7, 0), 99, 2))
        assert not algorithm.are_compatible(h0, Hit(0, 0.7, 99, 2))
        # tolerance 0.4 on a straight line along z, with no scatter from x alone
        h1 = Hit(0, 0, 90, 2)
        assert algorithm.check_tolerance(h0, h1, Hit(math.nextafter(0.4, 0), 0, 80, 3))
        assert not algorithm.check_tolerance(h0, h1, Hit(0.4, 0, 80, 3))
        # y tolerance: scatter of dy = 0.3 over dz = 10 is 0.0009, far below 0.4
        assert algorithm.check_tolerance(h0, h1, Hit(0, 0.3, 80, 3))
        assert not algorithm.check_tolerance(h0, h1, Hit(0, 0.4, 80, 3))
        # scatter 0.4: dy = 0.5 over dz = 1 with a tolerance wide enough
        wide = TrackFollowing(max_tolerance=(10.0, 10.0))
        h1 = Hit(0, 0, 99, 2)
        assert wide.check_tolerance(h0, h1, Hit(0, 0.6, 98, 3))  # 0.36
        assert not wide.check_tolerance(h0, h1, Hit(0, 0.7, 98, 3))  # 0.49

    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            ({"max_slopes": "ab"}, TypeError, "argument 'max_slopes': "),
            ({"max_slopes": 0.5}, TypeError, "argument 'max_slopes': "),
            ({"max_slopes": [0.5, 0.5]}, TypeError, "argument 'max_slopes': "),
            ({"max_tolerance": ("a", 1.0)}, TypeError, "argument 'max_tolerance': "),
            ({"max_scatter": "0.4"}, TypeError, "argument 'max_scatter': "),
            ({"min_track_length": 3.0}, TypeError, "argument 'min_track_length': "),
            ({"min_strong_track_length": "4"}, TypeError, "argument 'min_strong_track_length': "),
            (
                {"max_slopes": (1.0, 2.0, 3.0)},
                ValueError,
                "expected tuple of length 2, but got tuple of length 3",
            ),
            (
                {"max_tolerance": (1.0,)},
                ValueError,
                "expected tuple of length 2, but got tuple of length 1",
            ),
            ({"min_track_length": 256}, OverflowError, None),
            ({"min_strong_track_length": -1}, OverflowError, None),
        ],
    )
    def test_conversion_errors(self, kwargs, error, message):
        with pytest.raises(error) as info:
            TrackFollowing(**kwargs)
        if message is not None:
            assert str(info.value).startswith(message)
            if error is ValueError:
                assert str(info.value) == message

    def test_numbers_of_every_kind_are_accepted(self):
        class Floaty:
            def __float__(self):
                return 0.4

        class Indexy:
            def __index__(self):
                return 1

        TrackFollowing(
            max_slopes=(1, True),
            max_tolerance=(Floaty(), Indexy()),
            max_scatter=Indexy(),
            min_track_length=0,
            min_strong_track_length=255,
        )

    def test_argument_errors(self):
        with pytest.raises(TypeError):
            TrackFollowing(max_slope=(1.0, 1.0))
        with pytest.raises(TypeError):
            TrackFollowing(None, None, None, None, None, None)
        with pytest.raises(TypeError):
            TrackFollowing(None, max_slopes=None)
        algorithm = TrackFollowing()
        with pytest.raises(TypeError, match="argument 'hit1'"):
            algorithm.are_compatible(Hit(0, 0, 0, 1), 5)
        with pytest.raises(TypeError, match="argument 'hit2'"):
            algorithm.check_tolerance(Hit(0, 0, 0, 1), Hit(0, 0, 1, 2), "hit")
        with pytest.raises(TypeError):
            algorithm.check_tolerance(Hit(0, 0, 0, 1), Hit(0, 0, 1, 2))
        with pytest.raises(TypeError) as info:
            algorithm.solve(42)
        assert str(info.value) == "argument 'event': 'int' object cannot be converted to 'Event'"
        assert algorithm.are_compatible(hit1=Hit(0.1, 0, 1, 2), hit0=Hit(0, 0, 0, 1))


# --- the seed and extension tests ---------------------------------------------------------

finite = st.floats(min_value=-1e3, max_value=1e3, allow_nan=False)
any_float = st.one_of(
    finite,
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 0.4, 0.7, 1.0, math.inf, -math.inf, math.nan]),
)
# Coordinates on a coarse lattice make equal z values and exact limits common.
lattice = st.integers(-8, 8).map(lambda k: k * 0.1)
coordinate = st.one_of(lattice, any_float)
pair = st.tuples(coordinate, coordinate)


@st.composite
def hits(draw, n):
    return [Hit(draw(coordinate), draw(coordinate), draw(coordinate), i) for i in range(n)]


@st.composite
def parameters(draw):
    return {
        "max_slopes": draw(pair),
        "max_tolerance": draw(pair),
        "max_scatter": draw(coordinate),
    }


class TestSeedAndExtensionTests:
    def test_are_compatible_examples(self):
        algorithm = TrackFollowing()
        h0 = Hit(0, 0, 100, 1)
        assert algorithm.are_compatible(h0, Hit(0.6, 0, 99, 2))
        assert not algorithm.are_compatible(h0, Hit(0.7, 0, 99, 2))
        assert algorithm.are_compatible(Hit(0.6, 0, 99, 2), h0)  # symmetric in dz
        assert algorithm.are_compatible(h0, Hit(-0.6, -0.6, 101, 2))
        assert not algorithm.are_compatible(h0, Hit(0, 0, 100, 2))  # same z
        assert not TrackFollowing(max_slopes=(math.inf, math.inf)).are_compatible(
            h0, Hit(0, 0, 100, 2)
        )
        assert not algorithm.are_compatible(h0, Hit(math.nan, 0, 99, 2))
        assert not algorithm.are_compatible(h0, Hit(0, 0, math.nan, 2))
        assert not TrackFollowing(max_slopes=(math.nan, 1.0)).are_compatible(h0, h0)

    def test_check_tolerance_examples(self):
        algorithm = TrackFollowing()
        h0, h1 = Hit(0, 0, 100, 1), Hit(0, 0, 90, 2)
        assert algorithm.check_tolerance(h0, h1, Hit(0, 0, 80, 3))
        assert not algorithm.check_tolerance(h0, h1, Hit(0.4, 0, 80, 3))
        assert algorithm.check_tolerance(h0, h1, Hit(0.3, 0, 80, 3))
        # a residual in x alone adds nothing to the scatter
        assert TrackFollowing(max_scatter=1e-300).check_tolerance(h0, h1, Hit(0.3, 0, 80, 3))
        assert not TrackFollowing(max_scatter=1e-300).check_tolerance(h0, h1, Hit(0, 1e-100, 80, 3))
        # dy * dy + dx * dy, not dx * dx + dy * dy: dx = 0.3, dy = 0.1, dz = 1 gives 0.04
        assert TrackFollowing(max_scatter=0.05).check_tolerance(
            Hit(0, 0, 3, 1), Hit(0, 0, 2, 2), Hit(0.3, 0.1, 1, 3)
        )
        assert not TrackFollowing(max_scatter=0.035).check_tolerance(
            Hit(0, 0, 3, 1), Hit(0, 0, 2, 2), Hit(0.3, 0.1, 1, 3)
        )

    def test_equal_z_refuses_whatever_the_limits(self):
        open_limits = TrackFollowing(max_tolerance=(math.inf, math.inf), max_scatter=math.inf)
        for algorithm in (TrackFollowing(), open_limits):
            assert not algorithm.check_tolerance(Hit(0, 0, 5, 1), Hit(0, 0, 5, 2), Hit(0, 0, 4, 3))
            assert not algorithm.check_tolerance(Hit(0, 0, 6, 1), Hit(0, 0, 5, 2), Hit(0, 0, 5, 3))
            assert not algorithm.check_tolerance(
                Hit(0, 0, 6, 1), Hit(0, 0, -0.0, 2), Hit(0, 0, 0.0, 3)
            )
        assert open_limits.check_tolerance(Hit(0, 0, 6, 1), Hit(0, 0, 5, 2), Hit(9, 9, 6, 3))

    def test_nan_anywhere_refuses(self):
        algorithm = TrackFollowing(max_tolerance=(math.inf, math.inf), max_scatter=math.inf)
        good = [Hit(0, 0, 3, 1), Hit(0, 0, 2, 2), Hit(0, 0, 1, 3)]
        assert algorithm.check_tolerance(*good)
        for k in range(3):
            for field in ("x", "y", "z"):
                coords = {"x": good[k].x, "y": good[k].y, "z": good[k].z, field: math.nan}
                broken = list(good)
                broken[k] = Hit(coords["x"], coords["y"], coords["z"], k + 1)
                assert not algorithm.check_tolerance(*broken), (k, field)
        for kwargs in (
            {"max_tolerance": (math.nan, 1.0)},
            {"max_tolerance": (1.0, math.nan)},
            {"max_scatter": math.nan},
        ):
            assert not TrackFollowing(**kwargs).check_tolerance(*good)

    @staticmethod
    def _search_for(quantity, alternatives, seed):
        """Random triples where `quantity` computed in the documented order differs from each
        alternative order of operations, so that a limit placed exactly at it separates them."""
        import random

        rng = random.Random(seed)
        while True:
            z0 = rng.uniform(50, 100)
            h = [
                _Point(1, rng.uniform(-5, 5), rng.uniform(-5, 5), z0),
                _Point(2, rng.uniform(-5, 5), rng.uniform(-5, 5), z0 - rng.uniform(1, 30)),
                _Point(3, rng.uniform(-5, 5), rng.uniform(-5, 5), z0 - rng.uniform(31, 60)),
            ]
            value = quantity(*h)
            if value > 0 and all(alt(*h) != value for alt in alternatives):
                return h, value

    def _terms(self, h0, h1, h2):
        r = 1.0 / (h1.z - h0.z)
        px = (h2.z - h0.z) * (r * (h1.x - h0.x)) + h0.x
        py = (h2.z - h0.z) * (r * (h1.y - h0.y)) + h0.y
        dx, dy = abs(px - h2.x), abs(py - h2.y)
        r2 = 1.0 / (h2.z - h1.z)
        return dx, dy, ((dy * dy + dx * dy) * r2) * r2

    def test_limits_at_exactly_the_computed_values(self):
        """A limit equal to the residual (or scatter) refuses, the next float up accepts; the
        triples are chosen so that any other order of operations lands on another float."""

        def dx_by_division(h0, h1, h2):
            return abs((h2.z - h0.z) * ((h1.x - h0.x) / (h1.z - h0.z)) + h0.x - h2.x)

        def dx_by_ratio(h0, h1, h2):
            return abs((h2.z - h0.z) / (h1.z - h0.z) * (h1.x - h0.x) + h0.x - h2.x)

        def dy_by_division(h0, h1, h2):
            return abs((h2.z - h0.z) * ((h1.y - h0.y) / (h1.z - h0.z)) + h0.y - h2.y)

        def scatter_by_division(h0, h1, h2):
            dx, dy, _ = self._terms(h0, h1, h2)
            return (dy * dy + dx * dy) / ((h2.z - h1.z) * (h2.z - h1.z))

        def scatter_factored(h0, h1, h2):
            dx, dy, _ = self._terms(h0, h1, h2)
            r2 = 1.0 / (h2.z - h1.z)
            return dy * (dy + dx) * r2 * r2

        cases = [
            (lambda *h: self._terms(*h)[0], [dx_by_division, dx_by_ratio], "x"),
            (lambda *h: self._terms(*h)[1], [dy_by_division], "y"),
            (lambda *h: self._terms(*h)[2], [scatter_by_division, scatter_factored], "scatter"),
        ]
        for seed in range(5):
            for quantity, alternatives, which in cases:
                points, value = self._search_for(quantity, alternatives, seed)
                hit_args = [Hit(p.x, p.y, p.z, p.id) for p in points]
                for limit, expected in ((value, False), (math.nextafter(value, math.inf), True)):
                    kwargs = {"max_tolerance": (math.inf, math.inf), "max_scatter": math.inf}
                    if which == "x":
                        kwargs["max_tolerance"] = (limit, math.inf)
                    elif which == "y":
                        kwargs["max_tolerance"] = (math.inf, limit)
                    else:
                        kwargs["max_scatter"] = limit
                    got = TrackFollowing(**kwargs).check_tolerance(*hit_args)
                    assert got is expected, (which, seed, limit)
                    assert ref.check_tolerance(ref.Params(**kwargs), *points) is expected

    def test_slope_limit_at_exactly_the_computed_value(self):
        h0, h1 = Hit(0.1, 0.2, 7.3, 1), Hit(0.4, -0.35, 3.1, 2)
        for k, limit in ((0, 0.3 / 4.2), (1, 0.55 / 4.2)):
            dz = abs(h0.z - h1.z)
            diff = abs((h1.x - h0.x) if k == 0 else (h1.y - h0.y))
            # the smallest slope limit whose product with dz exceeds the difference
            slope = limit
            while slope * dz > diff:
                slope = math.nextafter(slope, 0)
            while not slope * dz > diff:
                slope = math.nextafter(slope, math.inf)
            below = math.nextafter(slope, 0)
            for s, expected in ((slope, True), (below, False)):
                slopes = (s, 10.0) if k == 0 else (10.0, s)
                assert TrackFollowing(max_slopes=slopes).are_compatible(h0, h1) is expected

    @settings(max_examples=400, deadline=None)
    @given(parameters(), hits(3))
    def test_tests_agree_with_the_reference(self, params, triple):
        algorithm = TrackFollowing(**params)
        p = ref.Params(**params)
        h0, h1, h2 = triple
        assert algorithm.are_compatible(h0, h1) is ref.are_compatible(p, h0, h1)
        assert algorithm.check_tolerance(h0, h1, h2) is ref.check_tolerance(p, h0, h1, h2)


# --- solve on hand-built events ----------------------------------------------------------


class TestSolve:
    def test_seed_modules_alone_give_nothing(self):
        event = make_event({40: [(0, 0, 400)], 38: [(0, 0, 380)]})
        assert TrackFollowing().solve(event) == []

    def test_three_hits_make_a_weak_track(self):
        event = make_event(merge(line([(10, z_of(10)), (8, z_of(8)), (7, z_of(7))])))
        tracks = TrackFollowing().solve(event)
        assert ids(tracks) == [[2, 1, 0]]  # from the seed module towards module 0
        track = tracks[0]
        assert not track.missed_last_module and not track.missed_penultimate_module
        assert [h.module_number for h in track.hits] == [10, 8, 7]
        assert TrackFollowing(min_track_length=4).solve(event) == []
        assert ids(TrackFollowing(min_track_length=2).solve(event)) == []
        assert ids(TrackFollowing(min_track_length=2, min_strong_track_length=3).solve(event)) == [
            [2, 1, 0]
        ]

    def test_third_hit_only_within_three_modules_below_the_pair(self):
        for gap, found in ((1, True), (2, True), (3, True), (4, False)):
            j = 20
            event = make_event(
                merge(line([(j + 2, z_of(j + 2)), (j, z_of(j)), (j - gap, z_of(j - gap))]))
            )
            assert bool(TrackFollowing().solve(event)) is found, gap

    def test_third_hit_from_the_nearest_module_that_has_one(self):
        # candidates in j - 1 (off the line) and j - 2 and j - 3 (on it): j - 2 wins
        layout = merge(line([(30, 300.0), (28, 280.0), (26, 260.0), (25, 250.0)]))
        layout[27] = [(5.0, 5.0, 270.0)]
        event = make_event(layout)
        modules = [[h.module_number for h in t.hits] for t in TrackFollowing().solve(event)]
        assert modules == [[30, 28, 26, 25]]

    def test_first_passing_hit_in_stored_order(self):
        on_line = line([(30, 300.0), (28, 280.0), (27, 270.0)])
        near = (on_line[27][0] + 0.05, on_line[27][1], 270.0)
        for order in ([on_line[27], near], [near, on_line[27]]):
            layout = {30: [on_line[30]], 28: [on_line[28]], 27: list(order)}
            tracks = TrackFollowing().solve(make_event(layout))
            assert len(tracks) == 1
            third = tracks[0].hits[2]
            assert (third.x, third.y, third.z) == order[0]

    def test_forwarding_stops_after_three_empty_modules(self):
        modules = [40, 38, 37, 36, 33, 29, 28]  # gaps of 2 (34, 35) and 3 (30, 31, 32)
        event = make_event(merge(line([(m, z_of(m)) for m in modules])))
        tracks = TrackFollowing().solve(event)
        assert [[h.module_number for h in t.hits] for t in tracks] == [[40, 38, 37, 36, 33]]
        assert ids(tracks) == reference_ids(event)

    def test_forwarding_runs_down_to_module_zero(self):
        modules = [6, 4, 3, 1, 0]
        event = make_event(merge(line([(m, z_of(m) + 1.0) for m in modules])))
        tracks = TrackFollowing().solve(event)
        assert [[h.module_number for h in t.hits] for t in tracks] == [modules]

    def test_weak_tracks_wait_for_the_final_pass(self):
        # Two lines cross at hit S (module 36). The weak track W = (40, 38, S) is found first;
        # the strong track T = (39, 37, S, 35, 34) later. Accepted at once, W would be in the
        # result; set aside, it meets S used by T in the final pass and is dropped.
        s_hit = (1.0, 0.0, 360.0)
        layout = {
            40: [(3.0, 0.0, 400.0)],
            38: [(2.0, 0.0, 380.0)],
            36: [s_hit],
            39: [(-0.5, 0.0, 390.0)],
            37: [(0.5, 0.0, 370.0)],
            35: [(1.5, 0.0, 350.0)],
            34: [(2.0, 0.0, 340.0)],
        }
        event = make_event(layout)
        tracks = TrackFollowing().solve(event)
        assert [[h.module_number for h in t.hits] for t in tracks] == [[39, 37, 36, 35, 34]]
        assert ids(tracks) == reference_ids(event)
        # without T, W is accepted
        del layout[39], layout[37]
        assert [
            [h.module_number for h in t.hits] for t in TrackFollowing().solve(make_event(layout))
        ] == [[40, 38, 36]]

    def test_strong_tracks_come_before_weak_tracks(self):
        early_weak = line([(45, 450.0), (43, 430.0), (42, 420.0)], x0=-3.0, tx=0.0, ty=0.0)
        late_strong = line(
            [(20, 200.0), (18, 180.0), (17, 170.0), (16, 160.0)], x0=3.0, tx=0.0, ty=0.0
        )
        event = make_event(merge(early_weak, late_strong))
        tracks = TrackFollowing().solve(event)
        assert [[h.module_number for h in t.hits] for t in tracks] == [
            [20, 18, 17, 16],
            [45, 43, 42],
        ]

    def test_weak_tracks_clash_among_themselves_in_found_order(self):
        # W1 = (44, 42, S) and W2 = (43, S, 40) are both weak and share S: the first found
        # is accepted in the final pass, the second then meets S used and is dropped.
        layout = {
            44: [(1.5, 0.0, 440.0)],
            42: [(0.5, 0.0, 420.0)],
            41: [(0.0, 0.0, 410.0)],
            43: [(-1.0, 0.0, 430.0)],
            40: [(0.5, 0.0, 400.0)],
        }
        event = make_event(layout)
        tracks = TrackFollowing().solve(event)
        assert [[h.module_number for h in t.hits] for t in tracks] == [[44, 42, 41]]
        assert ids(tracks) == reference_ids(event)
        del layout[44]
        assert [
            [h.module_number for h in t.hits] for t in TrackFollowing().solve(make_event(layout))
        ] == [[43, 41, 40]]

    def test_hits_shared_as_third_hits(self):
        # two strong tracks crossing at S in module 26 both take S as their third hit
        layout = {
            31: [(-2.5, 0.0, 310.0)],
            29: [(-1.5, 0.0, 290.0)],
            24: [(1.0, 0.0, 240.0)],
            30: [(2.0, 0.0, 300.0)],
            28: [(1.0, 0.0, 280.0)],
            25: [(-0.5, 0.0, 250.0)],
            26: [(0.0, 0.0, 260.0)],
        }
        event = make_event(layout)
        tracks = TrackFollowing().solve(event)
        modules = [[h.module_number for h in t.hits] for t in tracks]
        assert modules == [[31, 29, 26, 24], [30, 28, 26, 25]]
        assert tracks[0].hits[2].id == tracks[1].hits[2].id
        assert ids(tracks) == reference_ids(event)

    def test_one_first_hit_may_begin_several_tracks(self):
        # h0 in module 30; two second hits in 28, each continuing on its own line
        h0 = (0.0, 0.0, 300.0)
        layout = {30: [h0], 28: [(0.4, 0.0, 280.0), (-0.4, 0.0, 280.0)]}
        for sign in (1, -1):
            for m in (27, 26, 25):
                layout.setdefault(m, []).append((sign * 0.02 * (300.0 - z_of(m)), 0.0, z_of(m)))
        event = make_event(layout)
        tracks = TrackFollowing().solve(event)
        assert [[h.module_number for h in t.hits] for t in tracks] == [[30, 28, 27, 26, 25]] * 2
        assert tracks[0].hits[0].id == tracks[1].hits[0].id
        assert tracks[0].hits[1].x == 0.4 and tracks[1].hits[1].x == -0.4
        assert ids(tracks) == reference_ids(event)

    def test_used_second_hit_is_skipped_at_that_moment(self):
        # The strong track M = (30, 28, c, 25, 24) uses c. Later h0' in module 28 pairs with
        # the hits of module 26 in stored order: c first (used, skipped), then d. Both lines
        # (h0', c) and (h0', d) continue over 25 and 24, so pairing with c would add a track.
        c, d = (0.8, 0.0, 260.0), (3.0, 0.0, 260.0)
        layout = {
            30: [(0.0, 0.0, 300.0)],
            28: [(0.4, 0.0, 280.0), (0.8, 2.0, 280.0)],
            26: [c, d],
            25: [(1.0, 0.0, 250.0), (0.8, -1.0, 250.0), (4.1, -1.0, 250.0)],
            24: [(1.2, 0.0, 240.0), (0.8, -2.0, 240.0), (5.2, -2.0, 240.0)],
        }
        event = make_event(layout)
        tracks = TrackFollowing().solve(event)
        assert [[(h.module_number, h.x) for h in t.hits] for t in tracks] == [
            [(30, 0.0), (28, 0.4), (26, 0.8), (25, 1.0), (24, 1.2)],
            [(28, 0.8), (26, 3.0), (25, 4.1), (24, 5.2)],
        ]
        assert ids(tracks) == reference_ids(event)

    def test_min_track_length_equal_to_strong_length_makes_them_weak(self):
        four = line([(45, 450.0), (43, 430.0), (42, 420.0), (41, 410.0)], x0=-3.0, tx=0, ty=0)
        five = line(
            [(20, 200.0), (18, 180.0), (17, 170.0), (16, 160.0), (15, 150.0)], x0=3.0, tx=0, ty=0
        )
        event = make_event(merge(four, five))

        def modules(**params):
            return [
                [h.module_number for h in t.hits] for t in TrackFollowing(**params).solve(event)
            ]

        assert modules() == [[45, 43, 42, 41], [20, 18, 17, 16, 15]]
        assert modules(min_track_length=4, min_strong_track_length=4) == [
            [20, 18, 17, 16, 15],
            [45, 43, 42, 41],
        ]
        assert modules(min_track_length=5, min_strong_track_length=5) == [[20, 18, 17, 16, 15]]
        assert modules(min_track_length=3, min_strong_track_length=5) == [[20, 18, 17, 16, 15]]
        assert modules(min_track_length=0, min_strong_track_length=0) == modules()

    def test_solve_leaves_event_and_algorithm_unchanged(self):
        data = generate_events(1, 5, n_collisions=1)[0]
        event = Event(data)
        algorithm = TrackFollowing()
        before = [(h.id, h.x, h.y, h.z) for h in event.hits]
        first = algorithm.solve(event)
        assert ids(algorithm.solve(event)) == ids(first)
        assert [(h.id, h.x, h.y, h.z) for h in event.hits] == before
        hits = {h.id: (h.x, h.y, h.z, h.module_number) for h in event.hits}
        for track in first:
            for hit in track.hits:
                assert (hit.x, hit.y, hit.z, hit.module_number) == hits[hit.id]


class TestSolveAtTheLimits:
    """solve applies both tests exactly as the methods do: a limit equal to the computed value
    refuses, the next float up accepts, for the third hit and for a later one."""

    # Awkward coordinates, so that residuals and scatter are not round numbers.
    SEED = [(0.37, -0.81, 300.0), (0.52, -0.66, 280.0)]  # modules 30 and 28
    THIRD = (0.5983, -0.5869, 270.0)  # module 27
    FOURTH = (0.7659, -0.4311, 260.0)  # module 26

    @staticmethod
    def quantities(h0, h1, h2):
        p = [_Point(k, *h) for k, h in enumerate((h0, h1, h2))]
        r = 1.0 / (p[1].z - p[0].z)
        px = (p[2].z - p[0].z) * (r * (p[1].x - p[0].x)) + p[0].x
        py = (p[2].z - p[0].z) * (r * (p[1].y - p[0].y)) + p[0].y
        dx, dy = abs(px - p[2].x), abs(py - p[2].y)
        r2 = 1.0 / (p[2].z - p[1].z)
        return {"x": dx, "y": dy, "scatter": ((dy * dy + dx * dy) * r2) * r2}

    @staticmethod
    def limits(which, value):
        kwargs = {"max_tolerance": (1.0, 1.0), "max_scatter": 1.0}
        if which == "x":
            kwargs["max_tolerance"] = (value, 1.0)
        elif which == "y":
            kwargs["max_tolerance"] = (1.0, value)
        else:
            kwargs["max_scatter"] = value
        return kwargs

    @pytest.mark.parametrize("which", ["x", "y", "scatter"])
    def test_third_hit(self, which):
        event = make_event({30: [self.SEED[0]], 28: [self.SEED[1]], 27: [self.THIRD]})
        value = self.quantities(*self.SEED, self.THIRD)[which]
        assert 0 < value < 1.0
        at = TrackFollowing(**self.limits(which, value))
        above = TrackFollowing(**self.limits(which, math.nextafter(value, math.inf)))
        assert at.solve(event) == []
        assert ids(above.solve(event)) == [[2, 1, 0]]
        assert not at.check_tolerance(*(Hit(*h, k) for k, h in enumerate((*self.SEED, self.THIRD))))

    @pytest.mark.parametrize("which", ["x", "y", "scatter"])
    def test_later_hit(self, which):
        event = make_event(
            {30: [self.SEED[0]], 28: [self.SEED[1]], 27: [self.THIRD], 26: [self.FOURTH]}
        )
        value = self.quantities(self.SEED[1], self.THIRD, self.FOURTH)[which]
        assert self.quantities(*self.SEED, self.THIRD)[which] < value < 1.0
        at = TrackFollowing(**self.limits(which, value))
        above = TrackFollowing(**self.limits(which, math.nextafter(value, math.inf)))
        assert ids(at.solve(event)) == [[3, 2, 1]]
        assert ids(above.solve(event)) == [[3, 2, 1, 0]]

    @pytest.mark.parametrize("axis", [0, 1])
    @pytest.mark.parametrize("position", [0, 1, 2])
    def test_seed_slope(self, axis, position):
        # the second hit at each place of its module's stored order, among hits far away
        second = [(30.0, 30.0, 280.0), (-30.0, 30.0, 280.0)]
        second.insert(position, self.SEED[1])
        event = make_event({30: [self.SEED[0]], 28: second, 27: [self.THIRD]})
        h0, h1 = self.SEED
        diff, dz = abs(h1[axis] - h0[axis]), abs(h0[2] - h1[2])
        slope = diff / dz  # then the smallest slope whose product with dz exceeds diff
        while slope * dz > diff:
            slope = math.nextafter(slope, 0)
        while not slope * dz > diff:
            slope = math.nextafter(slope, math.inf)
        for s, found in ((slope, True), (math.nextafter(slope, 0), False)):
            slopes = (s, 0.7) if axis == 0 else (0.7, s)
            assert bool(TrackFollowing(max_slopes=slopes).solve(event)) is found


# --- agreement with the step-by-step rendering -------------------------------------------

VARIANTS = [
    {},
    {"min_track_length": 4, "min_strong_track_length": 4},
    {"min_track_length": 3, "min_strong_track_length": 3},
    {"min_track_length": 5, "min_strong_track_length": 3},
    {"max_slopes": (0.2, 0.3), "max_tolerance": (0.05, 0.08), "max_scatter": 0.001},
    {"max_tolerance": (1.5, 1.5), "max_scatter": 2.0},
]


class TestAgainstReference:
    @pytest.mark.parametrize("seed", range(6))
    def test_small_generated_events(self, seed):
        data = generate_events(1, 100 + seed, n_collisions=1 + seed % 2)[0]
        event = Event(data)
        for params in VARIANTS:
            assert ids(TrackFollowing(**params).solve(event)) == reference_ids(event, **params)

    @pytest.mark.parametrize("seed", [1, 2])
    def test_default_generated_events(self, seed):
        event = Event(generate_events(1, seed)[0])
        tracks = TrackFollowing().solve(event)
        assert len(tracks) > 100
        assert ids(tracks) == reference_ids(event)

    def test_single_face_events_with_times(self):
        data = generate_events(1, 77, n_collisions=2, sensor_faces=1, with_time=True)[0]
        event = Event(data)
        tracks = TrackFollowing().solve(event)
        assert ids(tracks) == reference_ids(event)
        assert all(h.with_t for t in tracks for h in t.hits)

    @settings(
        max_examples=150,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )
    @given(st.data())
    def test_random_events(self, data):
        # a few neighbouring modules, hits on a coarse lattice in x, y and z so that equal z,
        # repeated positions and exact limits all occur; sometimes a non-finite coordinate
        first = data.draw(st.integers(0, 48))
        span = data.draw(st.integers(3, 8))
        value = st.one_of(
            lattice, lattice, lattice, st.sampled_from([math.nan, math.inf, -math.inf, 1e300, -0.0])
        )
        layout = {}
        for m in range(first, min(52, first + span)):
            n = data.draw(st.integers(0, 5))
            layout[m] = [
                (
                    data.draw(value),
                    data.draw(value),
                    data.draw(
                        st.one_of(st.just(float(m)), st.sampled_from([m + 0.5, m - 0.5]), value)
                    ),
                )
                for _ in range(n)
            ]
        params = data.draw(
            st.one_of(
                st.just({}),
                st.fixed_dictionaries(
                    {
                        "max_slopes": pair,
                        "max_tolerance": pair,
                        "max_scatter": coordinate,
                        "min_track_length": st.integers(0, 6),
                        "min_strong_track_length": st.integers(0, 6),
                    }
                ),
            )
        )
        event = make_event(layout)
        expected = reference_ids(event, **params)
        assert ids(TrackFollowing(**params).solve(event)) == expected
        assert every_path(event_dict(layout), **params) == [expected] * 3


def busy_layout(seed, lines, modules=12):
    """Many straight lines of small slope over a wide area, each missing a module now and then,
    the hits of a module in shuffled order on two z planes: modules of well over 64 hits whose
    first hit ids fall anywhere within a word of the used-hit bitmap."""
    rng = np.random.default_rng(seed)
    layout = {}
    for _ in range(lines):
        x0, y0 = rng.uniform(-100.0, 100.0, 2)
        tx, ty = rng.uniform(-0.05, 0.05, 2)
        face = rng.integers(2) * 1.5
        for m in range(modules):
            if rng.random() < 0.9:
                z = z_of(m) + face
                layout.setdefault(m, []).append((x0 + tx * z, y0 + ty * z, z))
    for hits in layout.values():
        rng.shuffle(hits)
    return layout


class TestSeedFilterPaths:
    # The seed filter screens seed partners several at a time; every path must give the tracks
    # of the step-by-step rendering, whatever the CPU picks.

    @pytest.mark.parametrize("seed, lines", [(1, 150), (2, 70), (3, 200)])
    def test_busy_modules_against_reference(self, seed, lines):
        layout = busy_layout(seed, lines)
        assert max(len(hits) for hits in layout.values()) > 64
        event = make_event(layout)
        expected = reference_ids(event)
        assert len(expected) > lines // 2
        assert ids(TrackFollowing().solve(event)) == expected
        assert every_path(event_dict(layout)) == [expected] * 3

    @pytest.mark.parametrize("collisions", [5, 20])
    def test_generated_events_every_path(self, collisions):
        data = generate_events(1, 40 + collisions, n_collisions=collisions)[0]
        event = Event(data)
        for params in VARIANTS:
            expected = ids(TrackFollowing(**params).solve(event))
            assert expected
            assert every_path(data, **params) == [expected] * 3

    def test_non_finite_coordinates_every_path(self):
        data = generate_events(1, 12, n_collisions=2)[0]
        rng = np.random.default_rng(12)
        for key in ("x", "y", "z"):
            values = list(data[key])
            for i in rng.choice(len(values), size=len(values) // 40, replace=False):
                values[int(i)] = [math.nan, math.inf, -math.inf][int(i) % 3]
            data[key] = values
        event = Event(data)
        expected = reference_ids(event)
        assert ids(TrackFollowing().solve(event)) == expected
        assert every_path(data) == [expected] * 3


def layered_layout(seed, lines, planes, modules=10):
    """Straight lines whose hits in each module lie on one of `planes` z planes, the planes
    first met in a shuffled order and the hits of a module shuffled."""
    rng = np.random.default_rng(seed)
    layout = {}
    for _ in range(lines):
        x0, y0 = rng.uniform(-60.0, 60.0, 2)
        tx, ty = rng.uniform(-0.04, 0.04, 2)
        for m in range(modules):
            if rng.random() < 0.9:
                z = z_of(m) + 0.25 * int(rng.integers(planes))
                layout.setdefault(m, []).append((x0 + tx * z, y0 + ty * z, z))
    for hits in layout.values():
        rng.shuffle(hits)
    return layout


class TestModulePlanes:
    # A module's index groups its hits by z plane: a short scan serves the usual few planes,
    # the general grouping takes over when a module turns out to hold many.

    @pytest.mark.parametrize("planes", [1, 2, 8, 9, 40])
    def test_planes_per_module_against_reference(self, planes):
        layout = layered_layout(planes, 120, planes)
        seen = {len({z for _, _, z in hits}) for hits in layout.values()}
        assert min(planes, 17) <= max(seen) <= planes
        event = make_event(layout)
        expected = reference_ids(event)
        assert len(expected) > 30
        assert ids(TrackFollowing().solve(event)) == expected
        assert every_path(event_dict(layout)) == [expected] * 3

    @pytest.mark.parametrize("planes", [1, 2, 9])
    def test_modules_without_planes_among_the_tracks(self, planes):
        # A module with no hits, or with only hits that have a non-finite coordinate, holds no
        # plane: the third-hit search and the forwarding pass over it as over a miss.
        layout = layered_layout(20 + planes, 80, planes)
        del layout[4]
        layout[6] = [(math.nan, y, z) for _, y, z in layout[6]]
        layout[6][::2] = [(x, y, math.inf) for x, y, _ in layout[6][::2]]
        event = make_event(layout)
        assert len(event.modules[4].hits()) == 0 and len(event.modules[6].hits()) > 10
        expected = reference_ids(event)
        assert len(expected) > 20
        assert ids(TrackFollowing().solve(event)) == expected
        assert every_path(event_dict(layout)) == [expected] * 3

    @pytest.mark.parametrize("planes", [3, 12])
    def test_signed_zero_and_non_finite_hits_among_the_planes(self, planes):
        # z = -0.0 is its own plane beside 0.0; hits with a non-finite coordinate stay out of
        # every plane, wherever they fall in the stored order.
        layout = layered_layout(10 + planes, 80, planes)
        rng = np.random.default_rng(planes)
        module0 = layout[0]
        for k, (x, y, z) in enumerate(module0):
            if z == 0.0 and k % 2:
                module0[k] = (x, y, -0.0)
        for hits in layout.values():
            for _ in range(3):
                at = int(rng.integers(len(hits) + 1))
                bad = [math.nan, math.inf, -math.inf][at % 3]
                x, y, z = hits[int(rng.integers(len(hits)))]
                hits.insert(at, [(bad, y, z), (x, bad, z), (x, y, bad)][int(rng.integers(3))])
        assert any(math.copysign(1.0, z) < 0 for _, _, z in module0 if z == 0.0)
        event = make_event(layout)
        expected = reference_ids(event)
        assert len(expected) > 20
        assert ids(TrackFollowing().solve(event)) == expected
        assert every_path(event_dict(layout)) == [expected] * 3
