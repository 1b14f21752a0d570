"""solve_batch of TrackFollowing: one result per event in input order, equal to solve event by
event whatever the number of worker threads, and the whole batch converted before any solving."""

import os
import subprocess
import sys
import textwrap

import pytest
import trelmon
from conftest import event_dict
from trelmon_tools.generate import generate_events

TrackFollowing = trelmon.ReconstructionAlgorithms.TrackFollowing
Event = trelmon.DetectorEvent.Event


def summary(tracks):
    return [
        ([h.id for h in t.hits], t.missed_last_module, t.missed_penultimate_module) for t in tracks
    ]


# Events of very different sizes, so that workers finish out of order.
_CHECK_SCRIPT = textwrap.dedent(
    """
    import sys
    import trelmon
    from trelmon_tools.generate import generate_events

    TF = trelmon.ReconstructionAlgorithms.TrackFollowing
    Event = trelmon.DetectorEvent.Event

    def summary(tracks):
        return [([h.id for h in t.hits], t.missed_last_module, t.missed_penultimate_module)
                for t in tracks]

    dicts = []
    for i in range(24):
        dicts += generate_events(1, 500 + i, n_collisions=[0, 1, 6, 2][i % 4])
    events = [Event(d) for d in dicts]
    events.append(events[5])
    for params in ({}, {"min_track_length": 4, "min_strong_track_length": 4}):
        algorithm = TF(**params)
        expected = [summary(algorithm.solve(e)) for e in events]
        assert any(expected), "no tracks at all"
        for repeat in range(3):
            got = [summary(tracks) for tracks in algorithm.solve_batch(events)]
            assert got == expected, (params, repeat)
        assert [summary(t) for t in algorithm.solve_batch(tuple(events[:3]))] == expected[:3]
    print("ok", len(events))
    """
)


@pytest.mark.parametrize("threads", ["1", "2", "3", "8"])
def test_batch_equals_solve_for_every_thread_count(threads):
    env = dict(os.environ, TRELMON_NUM_THREADS=threads)
    out = subprocess.run(
        [sys.executable, "-c", _CHECK_SCRIPT], env=env, capture_output=True, text=True, timeout=600
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["ok", "25"]


def test_empty_batch():
    assert TrackFollowing().solve_batch([]) == []
    assert TrackFollowing().solve_batch(()) == []


def test_results_are_lists_of_new_tracks_in_input_order():
    events = [Event(d) for d in generate_events(3, 40, n_collisions=1)]
    algorithm = TrackFollowing()
    results = algorithm.solve_batch(events)
    assert type(results) is list and len(results) == 3
    assert all(type(tracks) is list for tracks in results)
    assert [summary(t) for t in results] == [summary(algorithm.solve(e)) for e in events]
    assert [summary(t) for t in algorithm.solve_batch(events[::-1])] == [
        summary(t) for t in results[::-1]
    ]
    assert all(isinstance(t, trelmon.DetectorEvent.Track) for tracks in results for t in tracks)
    # the same Event twice gives two equal, separate lists
    twice = algorithm.solve_batch([events[0], events[0]])
    assert summary(twice[0]) == summary(twice[1]) == summary(results[0])
    assert twice[0] is not twice[1]
    assert all(a is not b for a, b in zip(twice[0], twice[1], strict=True))


def test_batch_leaves_events_usable():
    data = generate_events(1, 41, n_collisions=1)[0]
    event = Event(data)
    algorithm = TrackFollowing()
    first = summary(algorithm.solve_batch([event])[0])
    assert first == summary(algorithm.solve(event))
    assert event.montecarlo is data["montecarlo"]
    assert event.number_of_hits == len(data["x"])


@pytest.mark.parametrize(
    "events, target",
    [
        ("bad", "Sequence"),
        (42, "Sequence"),
        ([None], "Event"),
        ("event", "Sequence"),
    ],
)
def test_bad_batches_raise_type_error_naming_events(events, target):
    with pytest.raises(TypeError) as info:
        TrackFollowing().solve_batch(events)
    message = str(info.value)
    assert message.startswith("argument 'events': ")
    assert f"cannot be converted to '{target}'" in message


def test_bad_element_anywhere_fails_the_whole_batch():
    good = Event(event_dict({10: [(0, 0, 100)], 8: [(0, 0, 80)], 7: [(0, 0, 70)]}))
    for batch in ([42, good], [good, good, 42], [good] * 500 + [42], (good, "not an event")):
        with pytest.raises(TypeError) as info:
            TrackFollowing().solve_batch(batch)
        assert str(info.value).startswith("argument 'events': ")
        assert "cannot be converted to 'Event'" in str(info.value)

    class Broken:
        """A sequence that fails while its second element is read."""

        def __len__(self):
            return 3

        def __getitem__(self, index):
            if index == 1:
                raise KeyError("broken")
            if index > 2:
                raise IndexError
            return good

    with pytest.raises(KeyError):
        TrackFollowing().solve_batch(Broken())


def test_solve_argument_errors():
    algorithm = TrackFollowing()
    with pytest.raises(TypeError):
        algorithm.solve_batch()
    with pytest.raises(TypeError):
        algorithm.solve_batch([], [])
    assert algorithm.solve_batch(events=[]) == []
