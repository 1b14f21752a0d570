"""trelmon_tools._native.finder_work, the work measure the bench sets beside each finder's time:
hits, candidate pairs and segments, against counts made here from the event dictionary and
the literal segment search; and the bench's working-memory probe against known allocations."""

import math

import graph_dfs_reference as gref
import pytest
import trelmon
from trelmon_tools import _native
from trelmon_tools.bench import working_memory
from trelmon_tools.generate import generate_event

Event = trelmon.DetectorEvent.Event


def station_pairs(data):
    """Pairs of a hit on station s and one on station s - 1, for the stations with a trie
    (2 to 25); station s is modules 2s and 2s + 1."""
    prefix = data["module_prefix_sum"]
    on = [prefix[2 * s + 2] - prefix[2 * s] for s in range(26)]
    return sum(on[s] * on[s - 1] for s in range(2, 26))


def reference_segments(data, max_slopes=(0.7, 0.7), allowed_skip_modules=1, cross=True):
    prefix = data["module_prefix_sum"]
    n = prefix[52]
    hits = [(i, (data["x"][i], data["y"][i], data["z"][i])) for i in range(n)]
    ranges = [(prefix[m], prefix[m + 1]) for m in range(52)]
    for begin, end in ranges:
        hits[begin:end] = sorted(hits[begin:end], key=gref._x_key)
    windows = gref._windows(hits, ranges, n, max_slopes, allowed_skip_modules, cross)
    segments, _ = gref._segments(hits, windows, n, max_slopes[1])
    return len(segments)


def spoilt(data):
    """The event with a few coordinates made NaN or infinite."""
    out = {**data, "x": list(data["x"]), "y": list(data["y"]), "z": list(data["z"])}
    for k, i in enumerate(range(0, len(out["x"]), 37)):
        out["xyz"[k % 3]][i] = [math.nan, math.inf, -math.inf][k % 3]
    return out


EVENTS = [
    generate_event(11, n_collisions=1),
    generate_event(12, n_collisions=2),
    spoilt(generate_event(13, n_collisions=1)),
]


class TestFinderWork:
    @pytest.mark.parametrize("data", EVENTS)
    def test_hits_and_candidate_pairs(self, data):
        event = Event(data)
        assert _native.finder_work("TrackFollowing", event) == len(data["x"])
        assert _native.finder_work("SearchByTripletTrie", event) == station_pairs(data)
        assert _native.finder_work("SearchByTripletTrie", event, max_scatter=0.5) == (
            station_pairs(data)
        )

    @pytest.mark.parametrize("data", EVENTS)
    def test_segments_match_the_literal_search(self, data):
        event = Event(data)
        assert _native.finder_work("GraphDFS", event) == reference_segments(data)
        for params in (
            {"allowed_skip_modules": 0},
            {"allowed_skip_modules": 2, "allow_cross_track": False},
            {"max_slopes": (0.2, 0.3)},
        ):
            expected = reference_segments(
                data,
                params.get("max_slopes", (0.7, 0.7)),
                params.get("allowed_skip_modules", 1),
                params.get("allow_cross_track", True),
            )
            assert _native.finder_work("GraphDFS", event, **params) == expected, params

    def test_refusals(self):
        event = Event(EVENTS[0])
        with pytest.raises(ValueError, match="no finder 'Nope'"):
            _native.finder_work("Nope", event)
        with pytest.raises(TypeError, match="nope"):
            _native.finder_work("GraphDFS", event, nope=1)
        with pytest.raises(TypeError, match="'event'"):
            _native.finder_work("GraphDFS", 42)
        with pytest.raises(TypeError):
            _native.finder_work(event)


class TestWorkingMemory:
    def test_sees_what_a_solve_allocates_and_not_what_it_does_not(self):
        size = 32 * 1024 * 1024
        grown = working_memory(lambda _: b"\x01" * size, [None, None])
        idle = working_memory(lambda _: None, [None])
        if grown is None:
            pytest.skip("this system does not show a process's peak resident size")
        # The growth, not the process's whole size. (A sanitizer's quarantine may keep the
        # first result's pages resident while the second is built, hence not 1.5.)
        assert 0.9 * size <= grown < 2.5 * size
        assert idle < 0.1 * size
