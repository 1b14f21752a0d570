"""The generator's native loops against whole-array numpy: flights bit for bit, hit layouts
entry for entry."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from trelmon_tools import _native
from trelmon_tools import detector as det

NMOD = det.NUMBER_OF_MODULES


def geometry(faces):
    return (faces, det.INNER_RADIUS**2, det.OUTER_RADIUS**2, det.OVERLAP, det.FACE_OFFSET)


def numpy_lines(ox, oy, oz, tx, ty, pz, faces):
    """Every particle's straight line at every module, as (module step, particle) matrices."""
    forward = pz >= 0.0
    steps = np.arange(NMOD)[:, None]
    module = np.where(forward, steps, NMOD - 1 - steps)
    zp = det.MODULE_Z[module]
    if faces == 2:
        zp += np.where(oy + ty * (zp - oz) >= 0.0, -det.FACE_OFFSET, det.FACE_OFFSET)
    dz = zp - oz
    ahead = np.where(forward, dz > 0.0, dz < 0.0)
    return module, zp, dz, ahead, ox + tx * dz, oy + ty * dz


def numpy_inside(x, y, module, ahead):
    r2 = x * x + y * y
    side = np.where(module % 2 == 0, x < det.OVERLAP, x > -det.OVERLAP)
    inside = (r2 >= det.INNER_RADIUS**2) & (r2 <= det.OUTER_RADIUS**2) & side & ahead
    return np.nonzero(inside.T)  # (particle, step) in particle order


def numpy_hits(lines, faces, part, step, kick_x, kick_y):
    ox, oy, oz, tx, ty, pz = lines
    module, zp, dz, ahead, x, y = numpy_lines(*lines, faces)
    kicks = np.zeros((2, NMOD, len(ox)))
    kicks[0, step, part] = kick_x
    kicks[1, step, part] = kick_y
    before = np.zeros_like(kicks)  # kicks met before each step, and their kick * z
    before_z = np.zeros_like(kicks)
    for j in range(1, NMOD):
        before[:, j] = before[:, j - 1] + kicks[:, j - 1]
        before_z[:, j] = before_z[:, j - 1] + kicks[:, j - 1] * zp[j - 1]
    total = before[:, -1] + kicks[:, -1]
    x = x + (before[0] * zp - before_z[0])
    y = y + (before[1] * zp - before_z[1])
    p, s = numpy_inside(x, y, module, ahead)
    last = ahead[-1]
    state = (
        np.where(last, x[-1], ox),
        np.where(last, y[-1], oy),
        np.where(last, zp[-1], oz),
        tx + total[0],
        ty + total[1],
    )
    slope2, inv_speed, ot = timing(lines)
    path = np.abs(dz[s, p]) * np.sqrt(slope2[p])
    t = ot[p] + path * inv_speed[p]
    return (p, s, module[s, p], x[s, p], y[s, p], zp[s, p], t), state


def native_hits(lines, faces, part, step, kick_x, kick_y):
    out = _native.flight_hits(
        *lines, det.MODULE_Z, geometry(faces), part, step, kick_x, kick_y, *timing(lines)
    )
    p, s, m = (np.frombuffer(b, dtype=np.int64) for b in out[:3])
    x, y, z, t, *state = (np.frombuffer(b, dtype=np.float64) for b in out[3:])
    return (p, s, m, x, y, z, t), tuple(state)


def timing(lines):
    """slope2, inv_speed and the origin time of each particle, made up from its line."""
    ox, oy, oz, tx, ty, pz = lines
    return 1.0 + tx * tx + ty * ty, 1.0 / (300.0 - np.abs(ox)), oy * 7.0


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.astype(b.dtype).tobytes() == b.tobytes()


@st.composite
def particles(draw):
    n = draw(st.integers(0, 60))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    # Mostly from the luminous region, some decays far along the beam and off it.
    ox = rng.normal(0.0, 0.05, n) + np.where(rng.random(n) < 0.2, rng.normal(0, 10, n), 0.0)
    oy = rng.normal(0.0, 0.05, n) + np.where(rng.random(n) < 0.2, rng.normal(0, 10, n), 0.0)
    oz = rng.normal(0.0, 40.0, n) + np.where(rng.random(n) < 0.2, rng.uniform(-400, 900, n), 0.0)
    eta = rng.uniform(1.2, 6.0, n) * np.where(rng.random(n) < 0.3, -1.0, 1.0)
    phi = rng.uniform(-np.pi, np.pi, n)
    t = 1.0 / np.sinh(np.abs(eta))
    tx, ty = t * np.cos(phi), t * np.sin(phi)
    pz = np.sign(eta) * rng.uniform(1.0, 1e5, n)
    return tuple(np.ascontiguousarray(a) for a in (ox, oy, oz, tx, ty, pz))


class TestFlights:
    @settings(max_examples=60, deadline=None)
    @given(particles(), st.sampled_from([1, 2]), st.floats(0.0, 0.05))
    def test_crossings_and_bent_lines_match_numpy(self, lines, faces, scatter):
        module, zp, dz, ahead, x, y = numpy_lines(*lines, faces)
        part, step = numpy_inside(x, y, module, ahead)
        got = _native.flight_crossings(*lines, det.MODULE_Z, geometry(faces))
        assert same(part, np.frombuffer(got[0], dtype=np.int64))
        assert same(step, np.frombuffer(got[1], dtype=np.int64))

        # Kicks at the crossings, large enough to bend lines into and out of the sensors.
        rng = np.random.default_rng(len(part))
        kick_x, kick_y = rng.normal(0.0, scatter, (2, len(part)))
        expected, expected_state = numpy_hits(lines, faces, part, step, kick_x, kick_y)
        crossings, state = native_hits(lines, faces, part, step, kick_x, kick_y)
        for a, b in zip(expected, crossings, strict=True):
            assert same(a, b)
        for a, b in zip(expected_state, state, strict=True):
            assert same(a, b)

    def test_a_kick_bends_a_line_out_of_the_sensors(self):
        # Straight, the line crosses the x > 0 half modules from z = 265 on; a steep kick in y at
        # the first crossing takes it beyond the outer radius before the next one.
        lines = tuple(np.array([v]) for v in (0.0, 0.0, 0.0, 0.02, 0.0, 1.0))
        straight = _native.flight_crossings(*lines, det.MODULE_Z, geometry(1))
        part, step = (np.frombuffer(b, dtype=np.int64) for b in straight)
        assert len(part) > 3
        kick_y = np.zeros(len(part))
        kick_y[0] = 1.0
        crossings, state = native_hits(lines, 1, part, step, np.zeros(len(part)), kick_y)
        assert list(crossings[1]) == [step[0]]
        assert state[4][0] == 1.0  # the slope after the detector carries the kick

    def test_columns_in_any_layout_give_the_same_flights(self):
        rng = np.random.default_rng(5)
        n = 40
        lines = (
            rng.normal(0, 0.05, n),
            rng.normal(0, 0.05, n),
            rng.normal(0, 40, n),
            rng.normal(0, 0.05, n),
            rng.normal(0, 0.05, n),
            rng.normal(0, 1e3, n),
        )
        crossings = _native.flight_crossings(*lines, det.MODULE_Z, geometry(2))
        part, step = (np.frombuffer(b, dtype=np.int64) for b in crossings)
        kick_x, kick_y = rng.normal(0, 0.01, (2, len(part)))
        slope2, inv_speed, ot = timing(lines)
        expected = _native.flight_hits(
            *lines, det.MODULE_Z, geometry(2), part, step, kick_x, kick_y, slope2, inv_speed, ot
        )
        # Read in place (contiguous float64, int64), through strides, or converted.
        layouts = [
            (tuple(np.repeat(a, 2)[::2] for a in lines), part.astype(np.int32), list(step)),
            (tuple(a.tolist() for a in lines), list(part), step.astype(np.uint64)),
            (tuple(np.asfortranarray(a) for a in lines), part.astype(np.uint8), step[::1]),
        ]
        for other_lines, other_part, other_step in layouts:
            again = _native.flight_crossings(*other_lines, det.MODULE_Z, geometry(2))
            assert again == crossings
            got = _native.flight_hits(
                *other_lines,
                det.MODULE_Z,
                geometry(2),
                other_part,
                other_step,
                list(kick_x),
                np.repeat(kick_y, 3)[::3],
                slope2.tolist(),
                inv_speed,
                ot[::-1][::-1],
            )
            assert got == expected
        assert len(part) > 10

    @pytest.mark.parametrize(
        "part, step, message",
        [
            ([1, 0], [3, 4], "particle order"),
            ([0, 0], [4, 4], "particle order"),
            ([0], [52], "within range"),
            ([2], [3], "within range"),
            (np.array([-1], dtype=np.int64), [3], "within range"),
        ],
    )
    def test_kicks_out_of_order_or_range_are_refused(self, part, step, message):
        lines = tuple(np.zeros(2) for _ in range(6))
        kicks = np.zeros(len(part))
        with pytest.raises(ValueError, match=message):
            _native.flight_hits(
                *lines, det.MODULE_Z, geometry(2), part, step, kicks, kicks, *timing(lines)
            )

    def test_mismatched_columns_are_refused(self):
        lines = [np.zeros(2) for _ in range(6)]
        times = timing(lines)
        with pytest.raises(ValueError, match="one entry per kick"):
            _native.flight_hits(
                *lines, det.MODULE_Z, geometry(2), [0], [1, 2], [0.0], [0.0], *times
            )
        with pytest.raises(ValueError, match="slope2, inv_speed and ot"):
            _native.flight_hits(*lines, det.MODULE_Z, geometry(2), [], [], [], [], *times[:2], [])
        lines[3] = np.zeros(3)
        with pytest.raises(ValueError, match="one entry per particle"):
            _native.flight_crossings(*lines, det.MODULE_Z, geometry(2))
        with pytest.raises(ValueError, match="module_z"):
            _native.flight_crossings(*[np.zeros(2)] * 6, det.MODULE_Z[:5], geometry(2))
        with pytest.raises(ValueError, match="faces"):
            _native.flight_crossings(*[np.zeros(2)] * 6, det.MODULE_Z, geometry(3))


def numpy_layout(event, module, key, offsets):
    """Hits listed by (event, key), then stably sorted by (event, module)."""
    grouped = np.argsort(event, kind="stable")
    by_key = np.empty(len(event), dtype=np.int64)
    by_key[offsets[event[grouped]] + key] = grouped
    order = by_key[np.argsort((event * NMOD + module)[by_key], kind="stable")]
    position = np.empty(len(event), dtype=np.int64)
    position[order] = np.arange(len(event)) - offsets[event[order]]
    return order, position


@st.composite
def hit_sets(draw):
    counts = draw(st.lists(st.integers(0, 40), max_size=6))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    event = np.repeat(np.arange(len(counts)), counts)
    rng.shuffle(event)  # hits of an event need not be next to each other
    module = rng.integers(0, draw(st.integers(1, NMOD)), len(event))
    key = np.concatenate([rng.permutation(c) for c in counts] or [np.zeros(0, dtype=np.int64)])
    offsets = np.concatenate([[0], np.cumsum(counts, dtype=np.int64)])
    return event, module, key.astype(np.int64), offsets


class TestHitLayout:
    @given(hit_sets())
    def test_layout_matches_numpy_stable_sorts(self, hits):
        expected = numpy_layout(*hits)
        got = [np.frombuffer(b, dtype=np.int64) for b in _native.hit_layout(*hits)]
        assert same(got[0], expected[0])
        assert same(got[1], expected[1])

    @pytest.mark.parametrize(
        "event, module, key, offsets, message",
        [
            ([0, 0], [1, 2], [0, 0], [0, 2], "permutation"),
            ([0, 0], [1, 2], [0, 2], [0, 2], "permutation"),
            ([0, 1], [1, 2], [0, 0], [0, 2, 2], "more hits than"),
            ([0, 1], [1, 52], [0, 0], [0, 1, 2], "out of range"),
            ([0, 2], [1, 2], [0, 0], [0, 1, 2], "out of range"),
            ([0, 0], [1, 2], [0, 1], [0, 3], "from 0 to the number of hits"),
            ([0, 0], [1, 2], [0, 1], [0, 3, 2], "must not decrease"),
            ([0, 0], [1], [0, 1], [0, 2], "one entry per hit"),
        ],
    )
    def test_inconsistent_hits_are_refused(self, event, module, key, offsets, message):
        with pytest.raises(ValueError, match=message):
            _native.hit_layout(event, module, key, offsets)
