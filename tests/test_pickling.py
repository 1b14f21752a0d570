"""Pickling and copying of every class: the copy has the same text form and properties, and
solves to the same tracks; events travel with their Monte Carlo object, and a spawn pool of
processes solves like solve_batch."""

import copy
import math
import multiprocessing
import pickle
import subprocess
import sys

import pytest
import trelmon
from conftest import event_dict
from hypothesis import given
from hypothesis import strategies as st
from trelmon_tools.generate import generate_events

DE = trelmon.DetectorEvent
RA = trelmon.ReconstructionAlgorithms
Hit, Track, Module, Event = DE.Hit, DE.Track, DE.Module, DE.Event
FINDERS = [
    RA.TrackFollowing(),
    RA.TrackFollowing(max_slopes=(0.5, 0.6), max_tolerance=(0.3, 0.2), min_track_length=4),
    RA.GraphDFS(),
    RA.GraphDFS(max_scatter=0.3, allowed_skip_modules=2, allow_cross_track=False),
    RA.SearchByTripletTrie(),
    RA.SearchByTripletTrie(max_scatter=0.2, allowed_missed_modules=1),
]


def pickled(value):
    return pickle.loads(pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))


def old_protocol(value):
    return pickle.loads(pickle.dumps(value, protocol=2))


COPIES = [pickled, old_protocol, copy.copy, copy.deepcopy]


def tracks_of(tracks):
    return [
        (repr(t), [h.id for h in t.hits], t.missed_last_module, t.missed_penultimate_module)
        for t in tracks
    ]


def event_view(event):
    """Everything an Event shows, in comparable form (NaN compares by its text)."""
    return (
        event.description,
        event.module_prefix_sum,
        event.number_of_hits,
        repr(event.module_zs),
        repr(event.hits),
        [repr(m) for m in event.modules],
    )


@pytest.fixture(scope="module")
def generated():
    return generate_events(3, 11, n_collisions=6)


@pytest.mark.parametrize("make_copy", COPIES)
def test_hits_tracks_and_modules(make_copy):
    hits = [
        Hit(1.5, -2.0, 310.0, 17, 4, 0.25, True),
        Hit(0, 0, 0, 5),
        Hit(math.nan, -math.inf, 1e23, -(2**31), 2**31 - 1, -0.0),
    ]
    for hit in hits:
        other = make_copy(hit)
        assert type(other) is Hit and other is not hit
        assert repr(other) == repr(hit)
        for name in ("id", "x", "y", "z", "t", "module_number", "with_t"):
            assert repr(getattr(other, name)) == repr(getattr(hit, name))
    module = Module(7, 12.5, 1, 3, hits)
    assert repr(make_copy(module)) == repr(module)
    assert repr(make_copy(module).hits()) == repr(module.hits())
    assert make_copy(module).module_number == 7
    track = Track(hits)
    assert repr(make_copy(track)) == repr(track)


@pytest.mark.parametrize("make_copy", COPIES)
def test_tracks_keep_the_flags_a_finder_set(generated, make_copy):
    tracks = [t for d in generated for t in RA.SearchByTripletTrie().solve(Event(d))]
    assert any(t.missed_last_module for t in tracks)
    assert tracks_of(make_copy(t) for t in tracks) == tracks_of(tracks)
    # A copied track is a track of its own: adding to it leaves the original alone.
    track = tracks[0]
    other = make_copy(track)
    other.add_hit(Hit(0, 0, 0, 99))
    assert len(other.hits) == len(track.hits) + 1


@pytest.mark.parametrize("make_copy", COPIES)
def test_finders_solve_alike_after_a_copy(generated, make_copy):
    events = [Event(d) for d in generated]
    for finder in FINDERS:
        other = make_copy(finder)
        assert type(other) is type(finder)
        for event in events:
            assert tracks_of(other.solve(event)) == tracks_of(finder.solve(event))


@pytest.mark.parametrize("make_copy", COPIES)
def test_events_keep_hits_modules_and_montecarlo(generated, make_copy):
    for data in generated:
        event = Event(data)
        other = make_copy(event)
        assert type(other) is Event and event_view(other) == event_view(event)
        assert other.montecarlo == data["montecarlo"]
        if make_copy is copy.copy:
            assert other.montecarlo is event.montecarlo
        elif make_copy is copy.deepcopy:
            assert other.montecarlo is not event.montecarlo
        for finder in FINDERS[::2]:
            assert tracks_of(finder.solve(other)) == tracks_of(finder.solve(event))
        # The validator, reading the dictionary, agrees on the tracks of the copy.
        tracks = [RA.TrackFollowing().solve(other)]
        assert trelmon.Validator.export_validation_to_json(
            [data], tracks, False
        ) == trelmon.Validator.export_validation_to_json(
            [data], [RA.TrackFollowing().solve(event)], False
        )


def test_unusual_events_survive_a_round_trip():
    cases = [
        event_dict({}),  # no hits at all
        event_dict({0: [(1, 2, 3)], 51: [(4, 5, 6)]}, with_t=True, montecarlo={"a": [1, 2]}),
        event_dict({3: [(0, 0, math.nan), (1, 1, -0.0), (2, 2, 0.0)]}, description=""),
    ]
    # Coordinate lists longer than the ranges read.
    skipping = event_dict({})
    skipping["module_prefix_sum"] = [0, 2, 2, 4] + [4] * 49
    skipping["x"] = [float(i) for i in range(6)]
    skipping["y"] = [-float(i) for i in range(6)]
    skipping["z"] = [10.0 * i for i in range(6)]
    cases.append(skipping)
    for data in cases:
        event = Event(data)
        for make_copy in COPIES:
            assert event_view(make_copy(event)) == event_view(event)
            assert make_copy(event).montecarlo == event.montecarlo


@given(
    st.dictionaries(
        st.integers(0, 51),
        st.lists(
            st.tuples(st.floats(width=64), st.floats(width=64), st.sampled_from([0.0, 1.5, -2.0])),
            max_size=5,
        ),
        max_size=6,
    ),
    st.booleans(),
)
def test_any_event_round_trips(module_hits, with_t):
    event = Event(event_dict(module_hits, with_t=with_t))
    assert event_view(pickled(event)) == event_view(event)


def test_an_event_pickles_compactly(generated):
    data = generated[0]
    event = Event(data)
    size = len(pickle.dumps(event, protocol=pickle.HIGHEST_PROTOCOL))
    coordinates = 8 * 3 * event.number_of_hits
    montecarlo = len(pickle.dumps(data["montecarlo"], protocol=pickle.HIGHEST_PROTOCOL))
    assert size < 1.05 * (coordinates + montecarlo) + 2000
    assert size < len(pickle.dumps(data, protocol=pickle.HIGHEST_PROTOCOL))


def test_setstate_fills_only_an_event_being_unpickled(generated):
    event = Event(generated[0])
    state = event.__reduce__()[2]
    before = event_view(event)
    with pytest.raises(TypeError, match="only fills an event being unpickled"):
        event.__setstate__(state)
    empty = Event(event_dict({}, description=""))
    with pytest.raises(TypeError, match="only fills an event being unpickled"):
        empty.__setstate__(state)
    assert event_view(event) == before


@pytest.mark.parametrize(
    "state",
    [
        None,
        (),
        ("d", None, b"\0" * 8, b"", b"", b"", None),  # too few prefix sums
        ("d", None, b"\0" * 53 * 8, b"1", b"", b"", None),  # not whole doubles
        ("d", None, [0] * 53, [], [], [], None),
    ],
)
def test_a_damaged_state_is_refused(state):
    callable_, args, _ = Event(event_dict({})).__reduce__()
    placeholder = callable_(*args)
    with pytest.raises((TypeError, ValueError)):
        placeholder.__setstate__(state)


def test_a_spawn_pool_solves_like_solve_batch(generated):
    events = [Event(d) for d in generated]
    context = multiprocessing.get_context("spawn")
    with context.Pool(2) as pool:
        for finder in (RA.TrackFollowing(), RA.GraphDFS(), RA.SearchByTripletTrie()):
            by_pool = pool.map(finder.solve, events)
            assert tracks_of_all(by_pool) == tracks_of_all(finder.solve_batch(events))
        # Events made in the workers come back whole.
        returned = pool.map(copy.copy, events)
        assert [event_view(e) for e in returned] == [event_view(e) for e in events]
        assert [e.montecarlo for e in returned] == [d["montecarlo"] for d in generated]


def tracks_of_all(batch):
    return [tracks_of(tracks) for tracks in batch]


def test_instances_from_arrays_and_from_native_pickle_as_trelmons(generated):
    # Events built from numpy columns, and tracks that trelmon_tools._native rebuilds (on the
    # classes it adopts from trelmon), load as trelmon's own classes, here and in a fresh
    # process that never imported trelmon_tools.
    np = pytest.importorskip("numpy")
    from trelmon_tools import _native

    data = generated[0]
    columns = {k: np.asarray(data[k], dtype=float) for k in ("x", "y", "z")}
    event = Event({**data, **columns})
    tracks = RA.TrackFollowing().solve(event)
    rebuilt = _native.tracks_from_hit_ids(
        event,
        [h.id for t in tracks for h in t.hits],
        [len(t.hits) for t in tracks],
        [t.missed_last_module for t in tracks],
        [t.missed_penultimate_module for t in tracks],
    )
    for make_copy in COPIES:
        tracks_copy, event_copy = make_copy(rebuilt), make_copy(event)
        assert all(type(t) is Track for t in tracks_copy)
        assert tracks_of(tracks_copy) == tracks_of(tracks)
        assert type(event_copy) is Event and event_view(event_copy) == event_view(Event(data))
    code = (
        "import pickle, sys\n"
        "event, tracks = pickle.load(sys.stdin.buffer)\n"
        "import trelmon\n"
        "assert 'trelmon_tools' not in sys.modules\n"
        "assert type(event) is trelmon.DetectorEvent.Event\n"
        "assert all(type(t) is trelmon.DetectorEvent.Track for t in tracks)\n"
        "print(repr(trelmon.ReconstructionAlgorithms.TrackFollowing().solve(event)))\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code],
        input=pickle.dumps((event, rebuilt)),
        capture_output=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().strip() == repr(tracks)
