"""Parquet event files: round trips, refusals, damaged files and native events from row groups."""

import copy
import math

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import trelmon
from trelmon_tools import io, parquet
from trelmon_tools.generate import generate_columns, generate_events

Event = trelmon.DetectorEvent.Event


def plain(event):
    """An event read from Parquet with its arrays as lists, to compare with JSON events."""
    return {k: v.tolist() if isinstance(v, np.ndarray) else v for k, v in event.items()}


def read_back(path):
    return [plain(e) for e in io.iter_events(path)]


def hits_of(event):
    return [(h.id, h.x, h.y, h.z, h.t, h.module_number, h.with_t) for h in event.hits]


@pytest.fixture(scope="module")
def events():
    timed = generate_events(4, 21, n_collisions=1, with_time=True)
    untimed = generate_events(3, 22, n_collisions=2)
    return timed + untimed


def hand_made(with_t=False):
    """Two modules with three hits, the other 50 empty."""
    prefix = [0, 2, 2, 3] + [3] * 50
    event = {
        "description": "hand made",
        "montecarlo": {"description": ["hits", "p", "key"], "particles": [[[0, 2], 5.5, 7]]},
        "module_prefix_sum": prefix,
        "x": [1.0, -2.0, 3.5],
        "y": [0.5, 0.25, -1.0],
        "z": [10.0, 10.0, 20.0],
    }
    if with_t:
        event["t"] = [0.1, 0.2, 0.3]
    return event


class TestRoundTrip:
    @pytest.mark.parametrize("group", [1, 3, 64])
    def test_dictionaries_come_back_equal(self, tmp_path, events, group):
        path = tmp_path / "s.parquet"
        assert parquet.write_events(path, events, row_group_events=group) == len(events)
        assert read_back(path) == events
        groups = pq.ParquetFile(path).num_row_groups
        assert groups == math.ceil(len(events) / group)
        assert [p.name for p in tmp_path.iterdir()] == ["s.parquet"]  # no temporary left

    def test_generator_columns_write_the_same_events(self, tmp_path):
        path = tmp_path / "c.parquet"
        parquet.write_events(path, generate_columns(5, 3, batch=2, with_time=True))
        assert read_back(path) == generate_events(5, 3, with_time=True)

    def test_empty_modules_special_values_and_optional_columns(self, tmp_path):
        a, b, c = hand_made(), hand_made(with_t=True), hand_made()
        b["x"] = [math.nan, math.inf, -math.inf]
        b["t"] = [-0.0, math.nan, 1e308]
        b["montecarlo"] = {"description": ["fromStrangeDecay", "key"], "particles": [[1, 9]]}
        c["montecarlo"] = {"description": [], "particles": []}
        path = tmp_path / "odd.parquet"
        parquet.write_events(path, [a, b, c], row_group_events=2)
        back = list(io.iter_events(path))
        assert [plain(e)["montecarlo"] for e in back] == [e["montecarlo"] for e in (a, b, c)]
        assert "t" not in back[0] and "t" not in back[2]
        for got, want in zip(back, (a, b, c), strict=True):
            for key in ("x", "y", "z", "t", "module_prefix_sum"):
                if key in want:
                    expected = np.asarray(want[key], dtype=got[key].dtype)
                    assert got[key].tobytes() == expected.tobytes()  # bit for bit, NaN too
            assert repr(hits_of(Event(got))) == repr(hits_of(Event(want)))

    def test_arrays_read_back_write_again(self, tmp_path, events):
        first, second = tmp_path / "1.parquet", tmp_path / "2.parquet"
        parquet.write_events(first, events)
        parquet.write_events(second, io.iter_events(first))
        assert read_back(second) == events
        io.write_event(tmp_path / "e.json", next(io.iter_events(first)))
        assert io.read_event(tmp_path / "e.json") == events[0]

    def test_native_events_of_a_row_group(self, tmp_path, events):
        path = tmp_path / "s.parquet"
        parquet.write_events(path, events, row_group_events=4)
        built = []
        for _, table in parquet.iter_row_groups(path):
            built.extend(parquet.native_events(table))
        assert [hits_of(e) for e in built] == [hits_of(Event(d)) for d in events]
        assert [e.montecarlo for e in built] == [d["montecarlo"] for d in events]

    def test_directory_of_parquet_files_in_name_order(self, tmp_path, events):
        parquet.write_events(tmp_path / "b.parquet", events[3:])
        parquet.write_events(tmp_path / "a.parquet", events[:3])
        assert [p.name for p in io.sample_files(tmp_path)] == ["a.parquet", "b.parquet"]
        assert read_back(tmp_path) == events
        io.write_event(tmp_path / "c.json", events[0])
        with pytest.raises(ValueError, match="holds both JSON and Parquet"):
            io.sample_files(tmp_path)


def refusals():
    def mc(description, particles):
        def change(e):
            e["montecarlo"] = {"description": description, "particles": particles}

        return change

    return [
        ("unknown column", mc(["key", "colour"], [[1, "red"]]), "colour"),
        ("column twice", mc(["key", "key"], [[1, 2]]), "named twice"),
        ("short row", mc(["key", "p"], [[1]]), "one cell per column"),
        ("float key", mc(["key"], [[1.5]]), '"key" holds a float'),
        ("bool flag", mc(["isLong"], [[True]]), '"isLong" holds a bool'),
        ("text momentum", mc(["p"], [["fast"]]), '"p" holds a str'),
        ("hits not a list", mc(["hits"], [[3]]), '"hits" holds a int'),
        ("negative key", mc(["key"], [[-1]]), "mc_key"),
        ("ill-formed event", lambda e: e.pop("z"), 'missing key "z"'),
    ]


class TestWriterRefusals:
    @pytest.mark.parametrize("name, change, message", refusals(), ids=[r[0] for r in refusals()])
    def test_nothing_is_written(self, tmp_path, events, name, change, message):
        bad = hand_made()
        change(bad)
        path = tmp_path / "s.parquet"
        parquet.write_events(path, events[:2])
        before = path.read_bytes()
        with pytest.raises(ValueError, match=message):
            parquet.write_events(path, [*events, bad])
        assert path.read_bytes() == before  # the earlier file stands
        assert [p.name for p in tmp_path.iterdir()] == ["s.parquet"]

    def test_a_failing_source_leaves_no_file(self, tmp_path, events):
        def source():
            yield from events
            raise RuntimeError("source broke")

        with pytest.raises(RuntimeError):
            parquet.write_events(tmp_path / "s.parquet", source(), row_group_events=2)
        assert not list(tmp_path.iterdir())


def write_table(path, events, **replace):
    """A Parquet file of ``events`` with some columns replaced by raw Arrow arrays."""
    batch = parquet._record_batch(events)
    table = pa.Table.from_batches([batch])
    for name, array in replace.items():
        index = table.schema.get_field_index(name)
        if array is None:
            table = table.remove_column(index)
        else:
            table = table.set_column(index, name, array)
    pq.write_table(table, path)


class TestDamagedFiles:
    def test_truncated_and_garbled_files_name_the_file(self, tmp_path, events):
        good = tmp_path / "good.parquet"
        parquet.write_events(good, events, row_group_events=2)
        data = good.read_bytes()
        cases = {
            "empty": b"",
            "text": b"not parquet at all",
            "head": data[: len(data) // 2],
            "tail cut": data[:-9],
            "middle garbled": data[:200] + bytes(64) + data[264:],
        }
        for name, content in cases.items():
            path = tmp_path / f"{name}.parquet"
            path.write_bytes(content)
            with pytest.raises(io.EventFileError) as info:
                list(io.iter_events(path))
            assert info.value.path == str(path)
            assert "\n" not in str(info.value)

    def test_damaged_row_group_is_named(self, tmp_path, events):
        path = tmp_path / "s.parquet"
        parquet.write_events(path, events, row_group_events=2)
        meta = pq.ParquetFile(path).metadata
        column = meta.row_group(2).column(2)  # "x" of the third row group
        start = column.data_page_offset
        data = bytearray(path.read_bytes())
        data[start : start + column.total_compressed_size] = bytes(column.total_compressed_size)
        path.write_bytes(bytes(data))
        read = io.iter_events(path)
        assert len([next(read) for _ in range(4)]) == 4  # the groups before it still read
        with pytest.raises(io.EventFileError, match="row group 2"):
            next(read)

    @pytest.mark.parametrize(
        "replace, message",
        [
            ({"x": None}, 'no column "x"'),
            ({"y": pa.array([["a"]] * 3, pa.list_(pa.string()))}, 'column "y" is list<'),
            ({"module_prefix_sum": pa.array([[1] * 53] * 3)}, "event 0: .* start at 0"),
            ({"module_prefix_sum": pa.array([[0] * 52] * 3)}, "must be a list of 53"),
            (
                {"module_prefix_sum": pa.array([[0, 3] + [2] * 51] * 3)},
                "event 0: .* must not decrease",
            ),
            (
                {"module_prefix_sum": pa.array([[0, -1] + [3] * 51] * 3)},
                "event 0: .* non-negative",
            ),
            ({"z": pa.array([[1.0, 2.0]] * 3)}, 'event 0: "z" has 2 entries'),
            ({"t": pa.array([None, [1.0], None], pa.list_(pa.float64()))}, 'event 1: "t" has 1'),
            ({"x": pa.array([[1.0, None, 2.0]] * 3)}, '"x" holds a null'),
            (
                {"mc_p": pa.array([None] * 3, pa.list_(pa.float64()))},
                '"mc_p" is null but "mc_description" names it',
            ),
            ({"mc_key": pa.array([[1, 2]] * 3, pa.list_(pa.uint64()))}, "different number"),
        ],
    )
    def test_bad_content_names_file_row_group_and_event(self, tmp_path, replace, message):
        path = tmp_path / "bad.parquet"
        write_table(path, [hand_made()] * 3, **replace)
        with pytest.raises(io.EventFileError, match=message) as info:
            list(io.iter_events(path))
        assert str(info.value).startswith(f"{path}: not a valid event file: ")

    def test_missing_file(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            list(io.iter_events(tmp_path / "absent.parquet"))


class TestJsonChecks:
    def test_numpy_numbers_and_arrays_pass_bools_do_not(self, tmp_path):
        event = hand_made(with_t=True)
        event["x"] = [np.float64(1.0), 2, np.float32(3.5)]
        event["module_prefix_sum"] = np.asarray(event["module_prefix_sum"], dtype=np.uint16)
        io.check_event(event)
        io.write_event(tmp_path / "e.json", event)
        assert io.read_event(tmp_path / "e.json")["x"] == [1.0, 2, 3.5]
        event["y"] = [True, 1.0, 2.0]
        with pytest.raises(ValueError, match="non-number: True"):
            io.check_event(event)
        event["y"] = np.zeros((3, 1))
        with pytest.raises(ValueError, match="one-dimensional"):
            io.check_event(event)

    def test_prefix_array_checks_match_list_checks(self):
        for prefix in ([1] + [2] * 52, [0, 3] + [2] * 51, [0] * 52, [0, -1] + [3] * 51):
            as_list, as_array = hand_made(), hand_made()
            as_list["module_prefix_sum"] = prefix
            as_array["module_prefix_sum"] = np.asarray(prefix)
            with pytest.raises(ValueError) as from_list:
                io.check_event(copy.deepcopy(as_list))
            with pytest.raises(ValueError) as from_array:
                io.check_event(as_array)
            assert str(from_list.value) == str(from_array.value)
