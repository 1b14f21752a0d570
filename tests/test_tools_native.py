"""trelmon_tools._native: works on trelmon's own classes, and rebuilds tracks from hit ids."""

import subprocess
import sys

import pytest
import trelmon
from trelmon import DetectorEvent, ReconstructionAlgorithms, Validator
from trelmon_tools import _native
from trelmon_tools.generate import generate_event

Track = DetectorEvent.Track


@pytest.fixture(scope="module")
def solved():
    data = generate_event(3, n_collisions=1, particles_per_collision=30.0)
    event = DetectorEvent.Event(data)
    return data, event, ReconstructionAlgorithms.TrackFollowing().solve(event)


def flat(tracks):
    ids = [h.id for t in tracks for h in t.hits]
    return ids, [len(t.hits) for t in tracks]


def test_rebuilt_tracks_are_trelmons_and_equal_the_originals(solved):
    data, event, tracks = solved
    ids, lengths = flat(tracks)
    rebuilt = _native.tracks_from_hit_ids(
        event,
        ids,
        lengths,
        [t.missed_last_module for t in tracks],
        [t.missed_penultimate_module for t in tracks],
    )
    assert all(type(t) is Track for t in rebuilt)
    assert all(isinstance(h, DetectorEvent.Hit) for t in rebuilt for h in t.hits)
    assert [repr(t) for t in rebuilt] == [repr(t) for t in tracks]
    # the validator takes them as its own
    assert Validator.export_detailed_metrics_json(
        [data], [rebuilt], False
    ) == Validator.export_detailed_metrics_json([data], [tracks], False)
    # and they stay usable: add_hit is trelmon's own method
    rebuilt[0].add_hit(event.hits[0])
    assert repr(rebuilt[0].hits[-1]) == repr(event.hits[0])


def test_flags_default_to_false_and_are_restored(solved):
    _, event, _ = solved
    a, b = _native.tracks_from_hit_ids(event, [0, 1, 0, 1], [2, 2], [False, True])
    assert not a.missed_last_module and b.missed_last_module
    assert [h.id for h in a.hits] == [h.id for h in b.hits] == [0, 1]
    (c,) = _native.tracks_from_hit_ids(event, [5, 9], [2])
    assert not c.missed_last_module and not c.missed_penultimate_module


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((object(), [], []), TypeError, "argument 'event': 'object' object cannot be converted"),
        (("event", [0, 1], [3]), ValueError, "lengths add up to 3 hits, but hit_ids holds 2"),
        (("event", [0, -1], [2]), ValueError, "hit id -1 is not a hit of the event"),
        (("event", [0, 10**6], [2]), ValueError, "hit id 1000000 is not a hit of the event"),
        (("event", [0, 1], [2], [True, False]), ValueError, "missed_last_module has 2 entries"),
        (("event", [0.5], [1]), TypeError, "argument 'hit_ids'"),
    ],
)
def test_refusals(solved, args, error, message):
    event = solved[1]
    args = tuple(event if a == "event" else a for a in args)
    with pytest.raises(error, match=message):
        _native.tracks_from_hit_ids(*args)


def test_imports_trelmon_itself_and_shares_its_classes():
    # In a fresh interpreter _native comes first: it must import trelmon and adopt its classes.
    code = (
        "from trelmon_tools import _native; import sys, trelmon; "
        "assert 'trelmon' in sys.modules; "
        "e = trelmon.DetectorEvent.Event({'description': '', 'montecarlo': None, "
        "'module_prefix_sum': [0] + [2] * 52, 'x': [0.0, 1.0], 'y': [0.0, 0.0], "
        "'z': [0.0, 1.0]}); "
        "(t,) = _native.tracks_from_hit_ids(e, [1, 0], [2]); "
        "assert type(t) is trelmon.DetectorEvent.Track; print([h.id for h in t.hits])"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[1, 0]"
    assert _native.__name__ == "trelmon_tools._native"
    assert trelmon.DetectorEvent.Track is Track


def test_refuses_classes_that_are_not_trelmons():
    # Instances are read through this build's layout, so a stand-in class must fail the import.
    code = (
        "import trelmon; trelmon.DetectorEvent.Track = dict\n"
        "try:\n"
        "    from trelmon_tools import _native\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == (
        "trelmon does not provide the class DetectorEvent.Track this build expects"
    )
