"""The finders with other Python threads around: the interpreter lock is released while they
run, a signal handler's exception (Ctrl-C) stops a solve or a batch, and the pool keeps
working afterwards."""

import signal
import threading
import time

import pytest
import trelmon
from conftest import event_dict
from trelmon_tools.generate import generate_events

RA = trelmon.ReconstructionAlgorithms
Event = trelmon.DetectorEvent.Event


def summary(batch):
    return [[[h.id for h in t.hits] for t in tracks] for tracks in batch]


@pytest.fixture(scope="module")
def events():
    return [Event(d) for d in generate_events(4, 21, n_collisions=12)]


def long_batch(finder, events, seconds):
    """The events repeated until solving them all takes about `seconds` on this machine."""
    start = time.perf_counter()
    finder.solve_batch(events)
    per_event = max(time.perf_counter() - start, 1e-4) / len(events)
    return events * max(1, int(seconds / per_event) // len(events)), per_event


class Interrupt:
    """Sends SIGINT to the main thread after `delay` seconds, from a timer thread."""

    def __init__(self, delay):
        self.timer = threading.Timer(delay, self.fire)
        self.sent_at = None

    def fire(self):
        self.sent_at = time.perf_counter()
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    def __enter__(self):
        self.previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        self.timer.start()
        return self

    def __exit__(self, *exc):
        self.timer.cancel()
        self.timer.join()
        signal.signal(signal.SIGINT, self.previous)


def test_another_thread_runs_during_a_batch(events):
    finder = RA.GraphDFS()
    batch, _ = long_batch(finder, events, 2.0)
    running = threading.Event()
    seen = []

    def ticker():
        running.wait()
        for _ in range(20):
            seen.append(running.is_set())
            time.sleep(0.002)

    thread = threading.Thread(target=ticker)
    thread.start()
    running.set()
    result = finder.solve_batch(batch)
    running.clear()
    thread.join()
    # With the lock held for the whole call, the ticker could run once at most before the
    # batch starts; with it released, it ticks all along.
    assert seen.count(True) >= 15
    assert summary(result) == summary([finder.solve(e) for e in events]) * (len(batch) // 4)


@pytest.mark.parametrize("finder", [RA.TrackFollowing(), RA.GraphDFS(), RA.SearchByTripletTrie()])
def test_threads_solving_at_once_get_the_usual_results(events, finder):
    expected = summary(finder.solve_batch(events))
    results = {}

    def solve(k):
        if k % 2:
            results[k] = summary(finder.solve_batch(events * 3))
        else:
            results[k] = summary([finder.solve(e) for e in events * 3])

    threads = [threading.Thread(target=solve, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {k: expected * 3 for k in range(4)}


def test_ctrl_c_stops_a_batch_and_the_pool_stays_usable(events):
    finder = RA.GraphDFS()
    expected = summary(finder.solve_batch(events))
    batch, per_event = long_batch(finder, events, 20.0)
    with Interrupt(0.3) as interrupt, pytest.raises(KeyboardInterrupt):
        finder.solve_batch(batch)
    stopped = time.perf_counter()
    # The whole batch takes about 20 s on this machine: the interrupt arrived well before.
    assert interrupt.sent_at is not None and stopped - interrupt.sent_at < 5.0
    assert summary(finder.solve_batch(events)) == expected
    assert summary([finder.solve(e) for e in events]) == expected


def flat_event(per_module):
    """`per_module` hits on every module, all on the beam line: the slowest input of
    SearchByTripletTrie, whose work grows as the cube of the hits per module."""
    return Event(event_dict({m: [(0.0, 0.0, 10.0 * m)] * per_module for m in range(52)}))


# Events of minutes of work for each finder: SearchByTripletTrie's grows as the cube of the hits
# per module, TrackFollowing's as the square.
@pytest.mark.parametrize(
    ("finder", "per_module"), [(RA.SearchByTripletTrie(), 1500), (RA.TrackFollowing(), 20000)]
)
def test_ctrl_c_stops_a_single_long_solve(finder, per_module):
    small = flat_event(20)
    expected = summary([finder.solve(small)])
    huge = flat_event(per_module)
    with Interrupt(0.3) as interrupt, pytest.raises(KeyboardInterrupt):
        finder.solve(huge)
    assert interrupt.sent_at is not None and time.perf_counter() - interrupt.sent_at < 20.0
    assert summary([finder.solve(small)]) == expected


def test_an_exception_from_any_signal_handler_stops_a_solve():
    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop("from the handler")

    previous = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(
        0.3, lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
    )
    try:
        timer.start()
        with pytest.raises(Stop, match="from the handler"):
            RA.SearchByTripletTrie().solve(flat_event(1500))
    finally:
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGUSR1, previous)


def test_a_handler_that_returns_lets_the_batch_finish(events):
    calls = []
    previous = signal.signal(signal.SIGUSR1, lambda signum, frame: calls.append(signum))
    finder = RA.GraphDFS()
    batch, _ = long_batch(finder, events, 1.0)
    timer = threading.Timer(
        0.1, lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
    )
    try:
        timer.start()
        result = finder.solve_batch(batch)
    finally:
        timer.join()
        signal.signal(signal.SIGUSR1, previous)
    assert calls == [signal.SIGUSR1]
    assert summary(result) == summary(finder.solve_batch(events)) * (len(batch) // 4)
