"""Event files and sample directories."""

import copy
import json

import pytest
from trelmon_tools.generate import generate_event, generate_events
from trelmon_tools.io import (
    EventFileError,
    check_event,
    event_files,
    iter_events,
    read_event,
    write_event,
    write_sample,
)


@pytest.fixture(scope="module")
def event():
    return generate_event(11, n_collisions=2, with_time=True)


def test_event_round_trips_exactly(tmp_path, event):
    path = tmp_path / "one.json"
    write_event(path, event)
    assert read_event(path) == event
    assert [p.name for p in tmp_path.iterdir()] == ["one.json"]  # no temporary left behind


def test_sample_reads_back_equal_and_in_order(tmp_path):
    events = generate_events(12, 30, n_collisions=1)
    paths = write_sample(tmp_path / "sample", iter(events))
    assert [p.name for p in paths] == [f"event_{i:06d}.json" for i in range(12)]
    assert list(iter_events(tmp_path / "sample")) == events


def test_iteration_order_is_by_file_name_not_creation(tmp_path):
    for name, seed in (("b.json", 2), ("a.json", 1), ("c.json", 3)):
        write_event(tmp_path / name, generate_event(seed, n_collisions=1))
    (tmp_path / "notes.txt").write_text("not an event")
    (tmp_path / "sub.json").mkdir()
    assert [p.name for p in event_files(tmp_path)] == ["a.json", "b.json", "c.json"]
    assert [e["description"] for e in iter_events(tmp_path)] == [
        generate_event(s, n_collisions=1)["description"] for s in (1, 2, 3)
    ]


def test_iteration_is_lazy(tmp_path):
    write_sample(tmp_path, generate_events(2, 0, n_collisions=1))
    (tmp_path / "event_000001.json").write_text("{broken")
    events = iter_events(tmp_path)
    # The broken second file is not read until its event is asked for.
    assert next(events)["description"].startswith("trelmon_tools")
    with pytest.raises(EventFileError, match="event_000001.json"):
        next(events)


def test_missing_directory_fails_at_once(tmp_path):
    with pytest.raises(NotADirectoryError, match="nowhere"):
        iter_events(tmp_path / "nowhere")


def mutations():
    """(name, change) pairs that each make a well-formed event ill-formed."""

    def set_(key, value):
        def change(e):
            e[key] = value

        return change

    def delete(key):
        def change(e):
            del e[key]

        return change

    def mc(key, value):
        def change(e):
            e["montecarlo"][key] = value

        return change

    def prefix(index, value):
        def change(e):
            e["module_prefix_sum"][index] = value

        return change

    return [
        ("no description", delete("description")),
        ("no montecarlo", delete("montecarlo")),
        ("no prefix sums", delete("module_prefix_sum")),
        ("no z", delete("z")),
        ("description not text", set_("description", 5)),
        ("short prefix sums", lambda e: e["module_prefix_sum"].pop()),
        ("prefix sums from 1", prefix(0, 1)),
        ("decreasing prefix sums", prefix(30, 0)),
        ("float prefix sum", prefix(52, 1.0)),
        ("bool prefix sum", prefix(1, True)),
        ("negative prefix sum", prefix(0, -1)),
        ("x too short", lambda e: e["x"].pop()),
        ("t too long", lambda e: e["t"].append(0.0)),
        ("y not a list", set_("y", "1,2,3")),
        ("string coordinate", lambda e: e["z"].__setitem__(0, "1.0")),
        ("null coordinate", lambda e: e["x"].__setitem__(3, None)),
        ("montecarlo not an object", set_("montecarlo", [])),
        ("no particles", lambda e: e["montecarlo"].pop("particles")),
        ("column name not text", mc("description", ["key", 3])),
        ("row not a list", mc("particles", [{"key": 1}])),
    ]


@pytest.mark.parametrize("name, change", mutations(), ids=[m[0] for m in mutations()])
def test_invalid_events_are_refused_naming_the_file(tmp_path, event, name, change):
    bad = copy.deepcopy(event)
    change(bad)
    with pytest.raises(ValueError):
        check_event(bad)
    with pytest.raises(ValueError):
        write_event(tmp_path / "bad.json", bad)
    assert not list(tmp_path.iterdir())  # nothing written
    path = tmp_path / "bad.json"
    path.write_text(json.dumps(bad))
    with pytest.raises(EventFileError) as info:
        read_event(path)
    assert str(path) in str(info.value) and info.value.path == str(path)


@pytest.mark.parametrize("content", [b"", b"{", b"[1, 2]", b"null", b"\xff\xfe{}", b"[" * 100000])
def test_files_that_are_not_events(tmp_path, content):
    path = tmp_path / "x.json"
    path.write_bytes(content)
    with pytest.raises(EventFileError, match="x.json: not a valid event file: "):
        read_event(path)


def test_event_file_error_is_a_value_error():
    error = EventFileError("a/b.json", "why")
    assert isinstance(error, ValueError)
    assert str(error) == "a/b.json: not a valid event file: why"
    assert (error.path, error.reason) == ("a/b.json", "why")


def test_bad_monte_carlo_cells_are_not_a_file_error(tmp_path, event):
    # Readers give unconvertible cells a default, so such a table is still an event.
    odd = copy.deepcopy(event)
    odd["montecarlo"]["particles"][0][1] = "pion"
    odd["montecarlo"]["particles"].append([])
    write_event(tmp_path / "odd.json", odd)
    assert read_event(tmp_path / "odd.json") == odd


def test_non_finite_coordinates_are_not_written(tmp_path, event):
    bad = copy.deepcopy(event)
    bad["x"][0] = float("nan")
    with pytest.raises(ValueError, match="finite"):
        write_event(tmp_path / "nan.json", bad)
    assert not list(tmp_path.iterdir())


def test_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        read_event(tmp_path / "absent.json")


class TestWriteSample:
    def test_refuses_a_directory_holding_events(self, tmp_path):
        write_sample(tmp_path, generate_events(3, 0, n_collisions=1))
        with pytest.raises(FileExistsError, match="already holds event files"):
            write_sample(tmp_path, generate_events(1, 5, n_collisions=1))
        assert len(event_files(tmp_path)) == 3

    def test_overwrite_replaces_the_whole_sample(self, tmp_path):
        write_sample(tmp_path, generate_events(3, 0, n_collisions=1))
        new = generate_events(2, 5, n_collisions=1)
        write_sample(tmp_path, new, overwrite=True)
        assert list(iter_events(tmp_path)) == new  # no stale third event

    def test_overwrite_leaves_foreign_files_alone(self, tmp_path):
        write_event(tmp_path / "mine.json", generate_event(0, n_collisions=1))
        with pytest.raises(FileExistsError, match="mine.json"):
            write_sample(tmp_path, [], overwrite=True)
        assert (tmp_path / "mine.json").exists()

    def test_creates_directories_and_refuses_a_file(self, tmp_path):
        write_sample(tmp_path / "a" / "b", generate_events(1, 0, n_collisions=1))
        assert len(event_files(tmp_path / "a" / "b")) == 1
        (tmp_path / "f").write_text("")
        with pytest.raises(NotADirectoryError, match="f: not a directory"):
            write_sample(tmp_path / "f", [])

    def test_stops_at_the_first_invalid_event(self, tmp_path):
        events = generate_events(2, 0, n_collisions=1)
        events.insert(1, {"description": "half an event"})
        with pytest.raises(ValueError, match="missing key"):
            write_sample(tmp_path, events)
        assert [p.name for p in event_files(tmp_path)] == ["event_000000.json"]
