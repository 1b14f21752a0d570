"""GraphDFS: parameters, the places where the segment graph search is easy to get wrong, and
agreement with a straightforward rendering (tests/graph_dfs_reference.py) that enumerates every
chain below a root."""

import math
import random
from itertools import pairwise

import graph_dfs_reference as reference
import pytest
import trelmon
from conftest import event_dict
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from trelmon_tools import _gdfs_probe as gdfs_probe
from trelmon_tools.generate import generate_event

GraphDFS = trelmon.ReconstructionAlgorithms.GraphDFS
Event = trelmon.DetectorEvent.Event
# The parameters the probe takes; the others keep their defaults there.
PROBE_PARAMETERS = (
    "max_slopes",
    "max_tolerance",
    "max_scatter",
    "allowed_skip_modules",
    "allow_cross_track",
)

DEFAULTS = dict(
    max_slopes=(0.7, 0.7),
    max_tolerance=(0.4, 0.4),
    max_scatter=0.4,
    minimum_root_weight=1,
    weight_assignment_iterations=2,
    allowed_skip_modules=1,
    allow_cross_track=True,
    clone_ghost_killing=True,
)


def ids(tracks):
    return [[hit.id for hit in track.hits] for track in tracks]


def solve_ids(data, **params):
    return ids(GraphDFS(**params).solve(Event(data)))


def line(modules, x0=0.0, y0=0.0, tx=0.01, ty=-0.02, z_step=10.0):
    """One hit per module on a straight line; module m sits at z = 100 + m * z_step."""
    return {
        m: [(x0 + tx * (100 + m * z_step), y0 + ty * (100 + m * z_step), 100 + m * z_step)]
        for m in modules
    }


def merge(*layouts):
    out = {}
    for layout in layouts:
        for m, hits in layout.items():
            out.setdefault(m, []).extend(hits)
    return out


class TestParameters:
    def test_every_parameter_defaults_when_missing_or_none(self):
        data = generate_event(3, n_collisions=2, particles_per_collision=30.0)
        expected = reference.solve(data)
        assert len(expected) > 10
        assert solve_ids(data) == expected
        assert solve_ids(data, **DEFAULTS) == expected
        assert solve_ids(data, **{name: None for name in DEFAULTS}) == expected
        positional = GraphDFS(*DEFAULTS.values()).solve(Event(data))
        assert ids(positional) == expected

    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            ({"max_slopes": [0.7, 0.7]}, TypeError, "argument 'max_slopes': "),
            ({"max_tolerance": 0.4}, TypeError, "argument 'max_tolerance': "),
            (
                {"max_slopes": (0.7, 0.7, 0.7)},
                ValueError,
                "expected tuple of length 2, but got tuple of length 3",
            ),
            (
                {"max_tolerance": (0.4,)},
                ValueError,
                "expected tuple of length 2, but got tuple of length 1",
            ),
            ({"max_scatter": "0.4"}, TypeError, "argument 'max_scatter': "),
            ({"minimum_root_weight": 2**31}, OverflowError, None),
            ({"weight_assignment_iterations": -(2**31) - 1}, OverflowError, None),
            ({"allowed_skip_modules": 1.0}, TypeError, "argument 'allowed_skip_modules': "),
            ({"allow_cross_track": 1}, TypeError, "argument 'allow_cross_track': "),
            ({"clone_ghost_killing": "yes"}, TypeError, "argument 'clone_ghost_killing': "),
            ({"max_scatters": 0.4}, TypeError, "max_scatters"),
        ],
    )
    def test_conversion_errors(self, kwargs, error, message):
        with pytest.raises(error) as raised:
            GraphDFS(**kwargs)
        if message is not None:
            assert message in str(raised.value)

    def test_extreme_integers_and_numbers_are_accepted(self):
        GraphDFS(
            minimum_root_weight=-(2**31),
            weight_assignment_iterations=2**31 - 1,
            allowed_skip_modules=-(2**31),
            max_slopes=(1, True),
            max_scatter=math.inf,
        )

    def test_too_many_arguments(self):
        with pytest.raises(TypeError):
            GraphDFS(*DEFAULTS.values(), None)

    def test_docstrings(self):
        assert GraphDFS.__text_signature__ == (
            "(cls, max_slopes=None, max_tolerance=None, max_scatter=None, "
            "minimum_root_weight=None, weight_assignment_iterations=None, "
            "allowed_skip_modules=None, allow_cross_track=None, clone_ghost_killing=None)"
        )
        assert GraphDFS.solve.__text_signature__ == "($self, event)"
        assert GraphDFS.solve.__doc__ == (
            "Solves the event using the DFS strategy and returns a list of Tracks."
        )
        assert GraphDFS.solve_batch.__text_signature__ == "($self, events)"

    def test_solve_takes_only_an_event(self):
        with pytest.raises(TypeError, match="argument 'event'.*'int'.*'Event'"):
            GraphDFS().solve(42)
        with pytest.raises(TypeError):
            GraphDFS().solve()


class TestGraph:
    def test_four_hit_line_weights_and_single_root(self):
        # Segments 5->4, 4->3, 3->2 weigh 2, 1, 0; only 5->4 is a root.
        data = event_dict(line([2, 3, 4, 5]))
        params = dict(allowed_skip_modules=0)
        assert solve_ids(data, **params) == [[3, 2, 1, 0]]
        assert solve_ids(data, minimum_root_weight=2, **params) == [[3, 2, 1, 0]]
        assert solve_ids(data, minimum_root_weight=3, **params) == []
        # Passes update in place in ascending order, so one pass already reaches weight 2.
        assert solve_ids(data, weight_assignment_iterations=1, minimum_root_weight=2, **params) == [
            [3, 2, 1, 0]
        ]
        track = GraphDFS(**params).solve(Event(data))[0]
        assert [h.module_number for h in track.hits] == [5, 4, 3, 2]
        assert not track.missed_last_module and not track.missed_penultimate_module

    def test_without_weight_passes_roots_need_minimum_weight_zero(self):
        data = event_dict(line([2, 3, 4, 5]))
        assert solve_ids(data, allowed_skip_modules=0, weight_assignment_iterations=0) == []
        assert solve_ids(
            data, allowed_skip_modules=0, weight_assignment_iterations=0, minimum_root_weight=0
        ) == [[3, 2, 1, 0]]
        assert solve_ids(
            data, allowed_skip_modules=0, weight_assignment_iterations=-5, minimum_root_weight=0
        ) == [[3, 2, 1, 0]]

    def test_segments_without_successors_are_never_roots(self):
        data = event_dict(line([4, 5]))
        assert solve_ids(data, minimum_root_weight=-1) == []

    def test_without_cross_track_only_every_second_module_joins(self):
        data = event_dict(line(range(2, 8)))
        # Ids 0..5 are modules 2..7.
        assert solve_ids(data, allowed_skip_modules=0) == [[5, 4, 3, 2, 1, 0]]
        assert solve_ids(data, allowed_skip_modules=0, allow_cross_track=False) == [
            [4, 2, 0],
            [5, 3, 1],
        ]

    def test_root_takes_the_shorter_chain(self):
        # Root 5->4 continues by 4->3 (then 3->2) or by 4->2: the second is shorter although
        # it comes later in the successor list.
        data = event_dict(line([2, 3, 4, 5]))
        assert solve_ids(data, clone_ghost_killing=False) == [[3, 2, 0], [3, 1, 0]]
        assert reference.solve(data, clone_ghost_killing=False) == [[3, 2, 0], [3, 1, 0]]

    def test_equally_short_chains_go_to_the_first_successor_in_x_order(self):
        # Module 3 holds two hits near the line, listed with the larger x first (id 1): the
        # per-module sort by x puts id 2 first among the successors of 5->4.
        layout = line([2, 4, 5], tx=0.0, ty=0.0)
        z3 = 100 + 3 * 10.0
        layout[3] = [(0.1, 0.0, z3), (-0.1, 0.0, z3)]
        data = event_dict(layout)
        assert solve_ids(data, allowed_skip_modules=0) == [[4, 3, 2, 0]]
        assert reference.solve(data, allowed_skip_modules=0) == [[4, 3, 2, 0]]

    def test_short_tracks_sharing_a_hit_with_a_long_track_are_removed(self):
        # A four-hit line, and a second line that shares its module-3 hit (id 1) and bends
        # away before module 2, so its root yields a three-hit track.
        long_line = line([2, 3, 4, 5], tx=0.0, ty=0.0)
        z = {m: 100 + m * 10.0 for m in range(6)}
        short = {4: [(3.0, 0.0, z[4])], 5: [(6.0, 0.0, z[5])]}
        data = event_dict(merge(long_line, short))
        # Ids: module 2 -> 0, module 3 -> 1, module 4 -> 2 (x=0), 3 (x=3), module 5 -> 4, 5.
        params = dict(allowed_skip_modules=0)
        assert solve_ids(data, clone_ghost_killing=False, **params) == [[4, 2, 1, 0], [5, 3, 1]]
        assert solve_ids(data, **params) == [[4, 2, 1, 0]]
        for flag in (True, False):
            assert solve_ids(data, clone_ghost_killing=flag, **params) == reference.solve(
                data, clone_ghost_killing=flag, **params
            )

    def test_three_hit_tracks_sharing_hits_are_kept(self):
        data = event_dict(line([2, 3, 4, 5]))
        assert solve_ids(data) == [[3, 2, 0], [3, 1, 0]]

    def test_equal_z_gives_no_link(self):
        # Module 3's hit lies at module 4's z: 4->3 cannot be a segment or a link.
        layout = line([2, 4, 5], tx=0.0, ty=0.0)
        layout[3] = [(0.0, 0.0, 140.0)]
        data = event_dict(layout)
        found = solve_ids(data, clone_ghost_killing=False)
        assert found == reference.solve(data, clone_ghost_killing=False)
        assert found == [[3, 2, 0], [3, 1, 0]]
        assert all((2, 1) not in pairwise(track) for track in found)

    def test_nothing_to_find(self):
        assert solve_ids(event_dict({})) == []
        assert solve_ids(event_dict(line([0, 1]))) == []
        assert solve_ids(event_dict(line(range(52))), allowed_skip_modules=-1) == []


def crossing_lines(seed):
    """Three lines through modules 10..16 with a few stray hits: small enough for full
    enumeration even when the cuts let everything link."""
    import random

    rng = random.Random(seed)
    layout = {}
    for x0, tx in ((0.0, 0.01), (0.5, -0.02), (-1.0, 0.05)):
        for m in range(10, 17):
            z = 100 + 10.0 * m
            if rng.random() < 0.9:
                layout.setdefault(m, []).append((x0 + tx * z, 0.3 * tx * z, z))
    for _ in range(6):
        m = rng.randrange(10, 17)
        layout.setdefault(m, []).append((rng.uniform(-3, 3), rng.uniform(-3, 3), 100 + 10.0 * m))
    return event_dict(layout)


class TestOddInput:
    def test_huge_skip_counts_behave_like_reaching_every_module(self):
        data = generate_event(5, n_collisions=1, particles_per_collision=15.0)
        for cross in (True, False):
            expected = reference.solve(data, allowed_skip_modules=60, allow_cross_track=cross)
            assert (
                solve_ids(data, allowed_skip_modules=2**31 - 1, allow_cross_track=cross) == expected
            )
            assert solve_ids(data, allowed_skip_modules=60, allow_cross_track=cross) == expected

    @pytest.mark.parametrize(
        "params",
        [
            dict(max_tolerance=(math.nan, math.nan)),
            dict(max_tolerance=(math.inf, 0.4)),
            dict(max_slopes=(math.nan, 0.7)),
            dict(max_slopes=(-0.7, 0.7)),
            dict(max_scatter=math.nan),
            dict(max_scatter=math.inf, max_tolerance=(2.0, 2.0)),
            dict(max_tolerance=(-1.0, 0.4)),
        ],
    )
    def test_odd_parameters_match_the_straightforward_rendering(self, params):
        for seed in range(3):
            data = crossing_lines(seed)
            assert solve_ids(data, **params) == reference.solve(data, **params)

    def test_overflowing_predictions(self):
        # Slopes near the largest double: predictions overflow to infinity.
        layout = {
            5: [(0.0, 0.0, 150.0)],
            4: [(-1e308, 0.0, 140.0), (0.0, 1e308, 140.0)],
            3: [(-1.7e308, 0.0, 130.0), (0.0, 0.0, 130.0), (5.0, 5.0, 130.0)],
            2: [(math.inf, 0.0, 120.0), (0.0, 0.0, 120.0)],
        }
        data = event_dict(layout)
        for params in (
            {"max_slopes": (1e308, 1e308)},
            {
                "max_slopes": (math.inf, math.inf),
                "max_tolerance": (1e308, 1e308),
                "max_scatter": math.inf,
            },
        ):
            assert solve_ids(data, **params) == reference.solve(data, **params)

    def test_non_finite_coordinates(self):
        layout = line(range(2, 8), tx=0.0, ty=0.0)
        layout[4].append((math.nan, 0.0, 140.0))
        layout[5].append((0.0, math.inf, 150.0))
        layout[6].append((0.0, 0.0, math.nan))
        layout[3].append((0.05, 0.0, -math.inf))
        data = event_dict(layout)
        for params in ({}, {"allowed_skip_modules": 3}):
            assert solve_ids(data, **params) == reference.solve(data, **params)

    def test_modules_sharing_a_z(self):
        # A segment between two modules at one z has no slope: 0 / 0 when its hits coincide, an
        # infinite one beside it. The filters in front of the link test must take either.
        layout = line(range(2, 9), tx=0.0, ty=0.0)
        for m in (4, 6):
            layout[m - 1] = [(0.0, 0.0, 100 + m * 10.0), (0.3, -0.2, 100 + m * 10.0)]
            layout[m].append((0.3, -0.2, 100 + m * 10.0))
        layout[7].append((1.0, 1.0, 170.0))
        data = event_dict(layout)
        for params in ({}, {"allowed_skip_modules": 3}, {"max_slopes": (math.inf, math.inf)}):
            assert solve_ids(data, **params) == reference.solve(data, **params)

    @pytest.mark.parametrize("seed", range(4))
    def test_modules_full_of_equal_x(self, seed):
        # A module's hits are put in x order with ties (-0.0 and 0.0 among them, and NaN) in
        # event order, which decides between equally short chains; in more than 32 hits.
        rng = random.Random(seed)
        layout = line(range(2, 9), tx=0.0, ty=0.0)
        for m in (4, 5):
            z = layout[m][0][2]
            extra = [
                (rng.choice((0.0, -0.0, 0.1, math.nan)), rng.uniform(-0.3, 0.3), z)
                for _ in range(40)
            ]
            layout[m] = rng.sample(layout[m] + extra, 41)
        data = event_dict(layout)
        assert solve_ids(data) == reference.solve(data)


class TestDeterminism:
    def test_repeated_runs_and_batches_agree(self):
        events = [Event(generate_event(seed)) for seed in (11, 12, 13)]
        finder = GraphDFS()
        single = [ids(finder.solve(event)) for event in events]
        assert all(single)
        assert [ids(finder.solve(event)) for event in events] == single
        for _ in range(3):
            assert [ids(tracks) for tracks in finder.solve_batch(events)] == single
        assert [ids(t) for t in finder.solve_batch((events[0], events[0]))] == [single[0]] * 2

    def test_batch_edges(self):
        finder = GraphDFS()
        assert finder.solve_batch([]) == []
        with pytest.raises(TypeError, match="events"):
            finder.solve_batch([Event(event_dict({})), 42])
        with pytest.raises(TypeError):
            finder.solve_batch("events")


def dense_event(per_module=8, modules=52):
    """Every module holds `per_module` hits on nearly the same straight line, listed with x
    descending so that ids run against the x order."""
    layout = {}
    for m in range(modules):
        z = 100.0 + 10.0 * m
        layout[m] = [(0.001 * i, 0.002 * i, z) for i in reversed(range(per_module))]
    return layout


class TestDense:
    def test_dense_event_takes_the_first_shortest_chain(self):
        # Each root has astronomically many chains. Modules 0 and 1 start no segments, so a
        # chain ends on reaching either; the first shortest chain steps to the nearer module on
        # a tie (its segments come first in the successor list), and within a module takes the
        # smallest x.
        n = 8
        data = event_dict(dense_event(n))
        tracks = GraphDFS().solve(Event(data))
        hits_below, step = {0: 1, 1: 1}, {}
        for m in range(2, 52):
            near, far = hits_below[m - 1], hits_below[m - 2]
            step[m] = m - 1 if near <= far else m - 2
            hits_below[m] = 1 + min(near, far)

        def modules_below(m):
            path = []
            while m in step:
                m = step[m]
                path.append(m)
            return path

        smallest_x = {m: m * n + n - 1 for m in range(52)}  # hits are listed with x descending
        expected = []
        for top in reversed(range(n)):  # module 51's hits in x order
            for second_module in (50, 49):
                for second in reversed(range(n)):
                    expected.append(
                        [51 * n + top, second_module * n + second]
                        + [smallest_x[m] for m in modules_below(second_module)]
                    )
        assert len(tracks) == 2 * n * n
        assert ids(tracks) == expected


def small_events():
    """Hand-sized events: a few modules with a few hits on a coarse grid, so that ties in x,
    equal z, crossing chains and alternative successors are common."""
    coordinate = st.sampled_from([-0.3, -0.1, 0.0, 0.0, 0.1, 0.2, 0.5, 3.0, math.nan])
    hit = st.tuples(coordinate, coordinate, st.sampled_from([0.0, 0.0, 0.0, 0.5, 10.0]))

    @st.composite
    def build(draw):
        first = draw(st.integers(0, 44))
        count = draw(st.integers(3, 7))
        layout = {}
        for m in range(first, first + count):
            hits = draw(st.lists(hit, min_size=draw(st.sampled_from([0, 1, 1, 2])), max_size=5))
            layout[m] = [(x, y, 100.0 + 10.0 * m + dz) for x, y, dz in hits]
        return event_dict(layout)

    return build()


parameter_sets = st.fixed_dictionaries(
    {},
    optional={
        "max_slopes": st.tuples(st.sampled_from([0.7, 0.05, 2.0]), st.sampled_from([0.7, 2.0])),
        "max_tolerance": st.tuples(st.sampled_from([0.4, 0.15, 1.0]), st.sampled_from([0.4, 1.0])),
        "max_scatter": st.sampled_from([0.4, 0.0005, 5.0]),
        "minimum_root_weight": st.integers(-1, 3),
        "weight_assignment_iterations": st.integers(-1, 3),
        "allowed_skip_modules": st.integers(-1, 3),
        "allow_cross_track": st.booleans(),
        "clone_ghost_killing": st.booleans(),
    },
)


class TestAgainstEnumeration:
    @settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(small_events(), parameter_sets)
    def test_small_random_events(self, data, params):
        assert solve_ids(data, **params) == reference.solve(data, **params)

    @settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(small_events())
    def test_small_random_events_default_cuts(self, data):
        assert solve_ids(data) == reference.solve(data)

    @pytest.mark.parametrize("seed", range(4))
    def test_generated_events(self, seed):
        data = generate_event(seed, n_collisions=2, particles_per_collision=30.0)
        variants = [
            {},
            {"allow_cross_track": False},
            {"allowed_skip_modules": 2},
            {"clone_ghost_killing": False, "max_tolerance": (0.2, 0.3)},
        ]
        params = variants[seed]
        expected = reference.solve(data, **params)
        assert len(expected) > 10
        assert solve_ids(data, **params) == expected


def busy_events():
    """A few jittered straight tracks and some noise over several modules: enough hits per
    module that predictions land all over the search grids, near their cell edges included."""
    unit = st.floats(-1.0, 1.0, allow_nan=False)

    @st.composite
    def build(draw):
        first = draw(st.integers(0, 46))
        count = draw(st.integers(4, 6))
        tracks = [
            (8.0 * draw(unit), 0.3 * draw(unit), 8.0 * draw(unit), 0.3 * draw(unit))
            for _ in range(draw(st.integers(1, 6)))
        ]
        jitter = st.floats(-0.4, 0.4, allow_nan=False)
        layout = {}
        for m in range(first, first + count):
            z = 100.0 + 10.0 * m
            travelled = 10.0 * (m - first)
            hits = []
            for x0, tx, y0, ty in tracks:
                if draw(st.integers(0, 5)) == 0:
                    continue  # an inefficient module
                face = draw(st.sampled_from([0.0, 0.0, 0.9]))
                hits.append(
                    (
                        x0 + tx * travelled + draw(jitter),
                        y0 + ty * travelled + draw(jitter),
                        z + face,
                    )
                )
            noise = draw(st.lists(st.tuples(unit, unit), max_size=6))
            hits += [(12.0 * x, 12.0 * y, z) for x, y in noise]
            layout[m] = hits
        return event_dict(layout)

    return build()


class TestBusyEvents:
    @settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(busy_events(), parameter_sets)
    def test_busy_random_events(self, data, params):
        assert solve_ids(data, **params) == reference.solve(data, **params)

    @pytest.mark.parametrize(
        "seed, params",
        [(0, {}), (1, {"allowed_skip_modules": 2}), (2, {"allow_cross_track": False})],
    )
    def test_windows_of_more_than_64_hits(self, seed, params):
        # Crowded modules whose windows hold over 100 hits, half of them passing the y cut:
        # segment indices count passing hits across several 64-hit words, and the straight
        # tracks sit far right in x, so their segments rank beyond the first word.
        import random

        rng = random.Random(seed)
        layout = {}
        for m in range(20, 25):
            z = 100.0 + 10.0 * m + rng.choice([0.0, 0.7])
            layout[m] = [
                (rng.uniform(-3.0, 3.0), rng.uniform(-12.0, 12.0), z)
                for _ in range(110 if m < 24 else 4)
            ]
        for x0, tx, ty in [(3.5, 0.01, 0.0), (4.0, -0.005, 0.01), (4.6, 0.0, -0.01)]:
            for m in range(20, 25):
                z = 100.0 + 10.0 * m
                layout[m].append((x0 + tx * (z - 300.0), ty * (z - 300.0), z))
        data = event_dict(layout)
        expected = reference.solve(data, **params)
        assert any(len(track) >= 3 and track[-1] >= 64 for track in expected)
        assert solve_ids(data, **params) == expected


def probe_solve(data, baseline, **params):
    """Tracks from the test probe, on the baseline path or the four-lane one."""
    p = {**DEFAULTS, **params}
    columns = (data["module_prefix_sum"], data["x"], data["y"], data["z"])
    tracks = gdfs_probe.solve(
        columns,
        baseline,
        p["max_slopes"],
        p["max_tolerance"],
        p["max_scatter"],
        p["allowed_skip_modules"],
        p["allow_cross_track"],
    )
    return [list(track) for track in tracks]


def spoilt(data, seed):
    """The event with a few coordinates replaced by NaN or an infinity."""
    import random

    rng = random.Random(seed)
    out = {**data, "x": list(data["x"]), "y": list(data["y"]), "z": list(data["z"])}
    for key in ("x", "y", "z"):
        for i in rng.sample(range(len(out[key])), max(1, len(out[key]) // 60)):
            out[key][i] = rng.choice([math.nan, math.inf, -math.inf])
    return out


class TestVectorPaths:
    """The four-lane paths (where the CPU has them) and the baseline paths find the same tracks,
    and both agree with the finder as the module runs it and with the straightforward rendering."""

    @pytest.fixture(autouse=True)
    def _needs_two_paths(self):
        if not gdfs_probe.four_lanes():
            pytest.skip("this CPU has no four-lane path to compare with")

    @pytest.mark.parametrize(
        "seed, collisions, params",
        [
            (21, 5, {}),
            (22, 20, {}),
            (23, 20, {"allowed_skip_modules": 2}),
            (24, 5, {"allow_cross_track": False, "max_slopes": (0.3, 0.2)}),
            (25, 10, {"max_tolerance": (1.5, 0.1), "max_scatter": 2.0}),
        ],
    )
    def test_generated_events(self, seed, collisions, params):
        data = generate_event(seed, n_collisions=collisions)
        vector = probe_solve(data, False, **params)
        assert len(vector) > 20
        assert vector == probe_solve(data, True, **params)
        assert vector == solve_ids(data, **params)

    @pytest.mark.parametrize("seed", [11, 12])
    def test_non_finite_coordinates(self, seed):
        data = spoilt(generate_event(seed, n_collisions=2), seed)
        vector = probe_solve(data, False)
        assert vector == probe_solve(data, True)
        assert vector == reference.solve(data)

    @settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(busy_events(), parameter_sets)
    def test_busy_random_events(self, data, params):
        # Every window length modulo four, hits on both faces of a module and predictions at
        # the grids' cell edges; the probe takes the cuts, the rest keep their defaults.
        cuts = {k: v for k, v in params.items() if k in PROBE_PARAMETERS}
        expected = reference.solve(data, **cuts)
        assert probe_solve(data, False, **cuts) == expected
        assert probe_solve(data, True, **cuts) == expected


def crowded_faces_event(seed):
    """Four crowded modules (enough hits for a banded halo) whose hits lie on a few z planes or
    spread over a z range, crossed by steep tracks whose hits sit at any of those z, some up to
    the tolerance off their line: a halo that misjudges a band's z or reach drops links."""
    rng = random.Random(seed)
    planes = rng.choice([(0.0, 0.7), (0.0, 0.35, 0.7), None])

    def z_of(m):
        offset = rng.uniform(0.0, 1.2) if planes is None else rng.choice(planes)
        return 400.0 + 10.0 * m + offset

    layout = {}
    for m in range(30, 34):
        layout[m] = [
            (rng.uniform(-10.0, 10.0), rng.uniform(-10.0, 10.0), z_of(m))
            for _ in range(rng.randint(70, 100))
        ]
    for _ in range(rng.randint(3, 8)):
        tx, ty = rng.uniform(-0.65, 0.65), rng.uniform(-0.65, 0.65)
        x0, y0 = rng.uniform(-3.0, 3.0), rng.uniform(-3.0, 3.0)
        for m in range(30, 34):
            z = z_of(m)
            dx, dy = (rng.choice([0.0, 0.0, 0.3, -0.3, 0.39, -0.39]) for _ in range(2))
            layout[m].append((x0 + tx * (z - 715.0) + dx, y0 + ty * (z - 715.0) + dy, z))
    return event_dict(layout)


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 2**32 - 1))
def test_crowded_modules_on_several_planes(seed):
    data = crowded_faces_event(seed)
    expected = reference.solve(data)
    assert solve_ids(data) == expected
    assert probe_solve(data, True) == expected
