"""Event files and sample directories."""

import copy
import json
import re
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from trelmon_tools.generate import generate_event, generate_events
from trelmon_tools.io import (
    EventFileError,
    _fast_decode,
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


def _typed(value):
    """A decoded document with every float's bits and every value's type made visible, so
    that 1 and 1.0, or 0.0 and -0.0, or two NaNs, compare as json.loads tells them apart."""
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if isinstance(value, list):
        return [_typed(v) for v in value]
    if isinstance(value, dict):
        return {k: _typed(v) for k, v in value.items()}
    return (type(value).__name__, value)


_NUMBER_TEXTS = st.one_of(
    st.integers(min_value=-(2**70), max_value=2**70).map(str),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.floats(allow_nan=False, allow_infinity=False).map(lambda f: f"{f:.20e}"),
    st.sampled_from(["NaN", "Infinity", "-Infinity", "1e400", "-0", "-0.0", "1E-0", "0e0"]),
    st.from_regex(r"-?[1-9][0-9]{0,24}(\.[0-9]{1,25})?([eE][+-]?[0-9]{1,3})?", fullmatch=True),
)
_STRING_TEXTS = st.one_of(
    st.text(max_size=8).map(lambda s: json.dumps(s, ensure_ascii=False)),
    st.sampled_from(['"\\ud800"', '"\\udc00x"', '"\\u0000"', '"1234567890123456789012"']),
)
_DOCUMENTS = st.recursive(
    st.one_of(_NUMBER_TEXTS, _STRING_TEXTS, st.sampled_from(["true", "null", "[]", "{}"])),
    lambda inner: st.one_of(
        st.lists(inner, max_size=5).map(lambda xs: "[" + ",".join(xs) + "]"),
        st.lists(st.tuples(_STRING_TEXTS, inner), max_size=4).map(
            lambda kv: "{" + ",".join(f"{k}:{v}" for k, v in kv) + "}"
        ),
    ),
    max_leaves=12,
)


@settings(max_examples=400, deadline=None)
@given(_DOCUMENTS, st.sampled_from(["", " ", "\n", "\r\n", "\t"]))
def test_fast_decoding_gives_what_json_gives_or_declines(document, space):
    # The fast decoder may decline (None), never answer differently from json.loads.
    text = space + document + space
    data = text.encode("utf-8", "surrogatepass")
    fast = _fast_decode(data)
    if fast is not None:
        assert _typed(fast) == _typed(json.loads(text))


@pytest.mark.parametrize("text", ["[1, 2", '{"a": 1}\r\n\r\n x', "\ufeff{}", '{"x": [1e5, 1.]}'])
def test_undecodable_files_keep_the_standard_messages(tmp_path, text):
    path = tmp_path / "bad.json"
    path.write_text(text, encoding="utf-8", newline="")
    with pytest.raises(json.JSONDecodeError) as standard:
        json.loads(path.read_text(encoding="utf-8"))
    with pytest.raises(EventFileError) as caught:
        read_event(path)
    assert caught.value.reason == f"invalid JSON: {standard.value}"


def test_documents_only_json_reads_come_back_as_json_reads_them(tmp_path, event):
    # NaN coordinates, a lone surrogate in the description and an integer beyond 64 bits in a
    # Monte Carlo cell: each outside what the fast decoder takes.
    base = json.dumps(event)
    edits = [
        base.replace('"x": [', '"x": [NaN, ', 1).replace('"y": [', '"y": [-Infinity, ', 1),
        base.replace('"description": "', '"description": "\\ud800', 1),
        base.replace('"particles": [[', '"particles": [[123456789012345678901234567890, ', 1),
    ]
    for k, text in enumerate(edits):
        path = tmp_path / f"e{k}.json"
        path.write_text(text, encoding="utf-8")
        try:
            expected = json.loads(text)
            check_event(expected)
        except ValueError as e:
            with pytest.raises(EventFileError, match=re.escape(str(e))):
                read_event(path)
            continue
        assert _typed(read_event(path)) == _typed(expected)
