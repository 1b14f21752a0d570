"""Validation terms read from a row group's columns equal those of its event dictionaries."""

import io as bytes_io

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import trelmon
from hypothesis import given, settings
from hypothesis import strategies as st
from trelmon_tools import _native, parquet, pipeline
from trelmon_tools.generate import generate_event

Event = trelmon.DetectorEvent.Event
Track = trelmon.DetectorEvent.Track
NAMES = list(parquet.MC_TYPES)

# Integers beyond 32 bits are cells the reader skips: the columns must skip them too.
wide = st.one_of(
    st.integers(-3, 3),
    st.sampled_from([2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**40, -(2**62)]),
    st.integers(-(2**63), 2**63 - 1),
)
cells = {
    "key": st.one_of(st.integers(0, 4), st.integers(0, 2**64 - 1)),
    **{name: st.floats() for name in ("p", "pt", "eta", "phi")},
}


@st.composite
def event_and_tracks(draw, columns_of_group):
    n_hits = draw(st.integers(0, 8))
    modules = sorted(draw(st.lists(st.integers(0, 51), min_size=n_hits, max_size=n_hits)))
    prefix = [0, *np.cumsum(np.bincount(modules, minlength=52)).tolist()]
    coordinate = st.floats(-100, 100, allow_nan=False)
    x, y, z = (draw(st.lists(coordinate, min_size=n_hits, max_size=n_hits)) for _ in "xyz")
    # Most events of a group name the same columns; some name others, in any order.
    names = columns_of_group if draw(st.booleans()) else draw(st.permutations(NAMES))
    names = names[: draw(st.integers(0, len(names)))]
    rows = draw(st.integers(0, 4)) if names else 0
    particles = []
    for _ in range(rows):
        row = []
        for name in names:
            if name == "hits":
                # Positions past the event's hits, repeated and negative ones included.
                row.append(draw(st.lists(st.integers(-1, n_hits + 1), max_size=5)))
            else:
                row.append(draw(cells.get(name, wide)))
        particles.append(row)
    event = {
        "description": "drawn",
        "montecarlo": {"description": list(names), "particles": particles},
        "module_prefix_sum": prefix,
        "x": x,
        "y": y,
        "z": z,
    }
    hits = Event(event).hits
    tracks = []
    if hits:
        for _ in range(draw(st.integers(0, 3))):
            chosen = draw(st.lists(st.integers(0, len(hits) - 1), min_size=1, max_size=5))
            tracks.append(Track([hits[i] for i in chosen]))
    return event, tracks


@st.composite
def row_groups(draw):
    common = draw(st.permutations(NAMES))
    pairs = draw(st.lists(event_and_tracks(common), max_size=5))
    return [p[0] for p in pairs], [p[1] for p in pairs]


def table_of(events, drop_unnamed=False):
    table = pa.Table.from_batches([parquet._record_batch(events)], schema=parquet.SCHEMA)
    if drop_unnamed:
        named = {n for e in events for n in e["montecarlo"]["description"]}
        for name in NAMES:
            if name not in named:
                table = table.drop_columns([f"mc_{name}"])
    return table


def columnar_terms(table, tracks):
    _, columns, _ = parquet.row_group_columns(table)
    return _native.validation_terms_columns(columns, tracks)


class TestSameTermsAsDictionaries:
    @settings(max_examples=150)
    @given(row_groups(), st.booleans(), st.data())
    def test_drawn_row_groups(self, group, drop_unnamed, data):
        events, tracks = group
        expected = _native.validation_terms(events, tracks)
        table = table_of(events, drop_unnamed)
        assert _native.validation_terms(parquet.row_group_events(table), tracks) == expected
        assert columnar_terms(table, tracks) == expected
        _, _, particles = parquet.row_group_columns(table)
        assert particles == sum(len(e["montecarlo"]["particles"]) for e in events)
        # A slice of the group: offsets that do not start at zero.
        if events:
            start = data.draw(st.integers(0, len(events) - 1))
            stop = data.draw(st.integers(start, len(events)))
            part = _native.validation_terms(events[start:stop], tracks[start:stop])
            assert columnar_terms(table.slice(start, stop - start), tracks[start:stop]) == part

    def test_generated_events_through_a_file(self):
        events = [generate_event(seed, n_collisions=1) for seed in range(6)]
        finder = trelmon.ReconstructionAlgorithms.TrackFollowing()
        tracks = [finder.solve(Event(e)) for e in events]
        sink = bytes_io.BytesIO()
        pq.write_table(table_of(events), sink, row_group_size=4)
        file = pq.ParquetFile(bytes_io.BytesIO(sink.getvalue()))
        got = {}
        for g, first in ((0, 0), (1, 4)):
            table = file.read_row_group(g)
            raw = columnar_terms(table, tracks[first : first + table.num_rows])
            for name, (dtype, data) in raw.items():
                got.setdefault(name, [dtype, b""])[1] += data
        expected = _native.validation_terms(events, tracks)
        assert {k: tuple(v) for k, v in got.items()} == expected
        assert np.frombuffer(expected["tracks"][1], dtype="<u8").sum() > 0


def plain_columns(events):
    _, columns, _ = parquet.row_group_columns(table_of(events))
    return dict(columns)


def two_events():
    a = generate_event(1, n_collisions=1, particles_per_collision=5.0)
    b = generate_event(2, n_collisions=1, particles_per_collision=5.0)
    return [a, b]


def replaced(columns, name, index, value):
    item = list(columns[name])
    item[index] = value
    return {**columns, name: tuple(item)}


class TestMalformedColumnsAreRefused:
    def refused(self, columns, message, tracks=None):
        with pytest.raises(ValueError, match=message):
            _native.validation_terms_columns(columns, tracks or [[], []])

    def test_lengths(self):
        columns = plain_columns(two_events())
        offsets, values = columns["y"]
        shorter = offsets.copy()
        shorter[2] -= 1
        self.refused({**columns, "y": (shorter, values)}, r'^event 1: "y" has \d+ values, "x"')
        self.refused({**columns, "z": (offsets[:2], values)}, '"z" has 1 entries, not 2')
        past = offsets.copy()
        past[2] = len(values) + 1
        self.refused({**columns, "x": (past, values)}, '"x" offsets run past')
        down = offsets.copy()
        down[1] = down[2] + 1
        self.refused({**columns, "x": (down, values)}, 'event 1: "x" offsets decrease')
        named, p_offsets, p = columns["mc_p"]
        fewer = p_offsets.copy()
        fewer[1] -= 1
        self.refused(
            replaced(columns, "mc_p", 1, fewer), r'^event 0: "mc_p" has \d+ values, "mc_key"'
        )
        _, _, hit_offsets, hit_values = columns["mc_hits"]
        beyond = hit_offsets.copy()
        beyond[-1] = len(hit_values) + 1
        self.refused(replaced(columns, "mc_hits", 2, beyond), "hit offsets run past")
        self.refused(replaced(columns, "mc_hits", 2, beyond[::-1].copy()), "hit offsets decrease")
        self.refused(replaced(columns, "mc_hits", 2, hit_offsets[:-1]), '"mc_hits" offsets run')
        self.refused(replaced(columns, "mc_hits", 3, hit_values[:-1]), "hit offsets run past")
        self.refused(replaced(columns, "mc_key", 0, named[:1]), "one byte per event")
        prefix_offsets, prefix = columns["module_prefix_sum"]
        negative = prefix.copy()
        negative[prefix_offsets[1] + 3] = -1
        self.refused(
            {**columns, "module_prefix_sum": (prefix_offsets, negative)},
            '^event 1: "module_prefix_sum" holds a negative value',
        )

    def test_dtypes_and_layouts(self):
        columns = plain_columns(two_events())
        offsets, x = columns["x"]
        floats = "values must be a contiguous float64 array"
        integers = "values must be a contiguous 64-bit integer array"
        self.refused({**columns, "x": (offsets, x.astype(np.float32))}, floats)
        self.refused({**columns, "x": (offsets, np.repeat(x, 2)[::2])}, floats)  # strided
        self.refused({**columns, "x": (offsets, x.tolist())}, floats)
        self.refused({**columns, "x": (offsets, "text")}, floats)
        _, _, pid = columns["mc_pid"]
        self.refused(replaced(columns, "mc_pid", 2, pid.astype(np.float64)), integers)
        self.refused(replaced(columns, "mc_pid", 2, pid.astype(np.int32)), integers)
        self.refused(replaced(columns, "mc_pid", 1, np.array([0.5, 1.0, 2.0])), "offsets must be")
        self.refused({**columns, "y": (offsets,)}, '"y" must be a tuple of 2 arrays')
        self.refused({k: v for k, v in columns.items() if k != "z"}, 'no column "z"')
        with pytest.raises(TypeError):
            _native.validation_terms_columns([columns], [[]])

    def test_nulls_and_missing_columns_name_the_event(self):
        events = two_events()
        table = table_of(events)
        at = table.schema.get_field_index("mc_p")
        p = table.column("mc_p").combine_chunks()
        with_null_row = pa.array([p[0].as_py(), None], type=p.type)
        bad = table.set_column(at, "mc_p", with_null_row)
        with pytest.raises(ValueError, match='^event 1: "mc_p" is null but "mc_description"'):
            parquet.row_group_columns(bad)
        cells = p.values.to_pylist()
        cells[1] = None
        with_null_cell = pa.ListArray.from_arrays(p.offsets, pa.array(cells, type=pa.float64()))
        with pytest.raises(ValueError, match='^"mc_p" holds a null'):
            parquet.row_group_columns(table.set_column(at, "mc_p", with_null_cell))
        with pytest.raises(ValueError, match='^event 0: no column "mc_eta"'):
            parquet.row_group_columns(table.drop_columns(["mc_eta"]))
        names = table.column("mc_description").combine_chunks().to_pylist()
        names[1] = [*names[1], "colour"]
        renamed = table.set_column(
            table.schema.get_field_index("mc_description"),
            "mc_description",
            pa.array(names, type=pa.list_(pa.string())),
        )
        with pytest.raises(ValueError, match='^event 1: no column "mc_colour"'):
            parquet.row_group_columns(renamed)
        # The dictionary reader says the same.
        with pytest.raises(ValueError, match='^event 1: no column "mc_colour"'):
            parquet.row_group_events(renamed)


def test_summary_runs_use_columns_and_agree(tmp_path):
    path = tmp_path / "s.parquet"
    events = [generate_event(seed, n_collisions=1) for seed in range(5)]
    parquet.write_events(path, events, row_group_events=2)
    plan = pipeline.plan_files(path, partition_size=3)
    finders = pipeline_finders()
    for partition in plan.partitions:
        columns = pipeline.McColumns()
        dicts, _ = pipeline.read_partition(partition, columns)
        assert all(d["montecarlo"] is None for d in dicts)
        assert len(columns.groups) == len(partition.row_groups)
        summary = pipeline.process_partition(partition, finders)
        # Keeping an event needs the dictionaries: the other path, the same figures.
        dictionary = pipeline.process_partition(partition, finders, keep_event=0)
        assert dictionary.event["montecarlo"] is not None
        assert summary.n_particles == dictionary.n_particles > 0
        for a, b in zip(summary.finders, dictionary.finders, strict=True):
            assert a.terms.keys() == b.terms.keys()
            for name in a.terms:
                assert a.terms[name].tobytes() == b.terms[name].tobytes()


def pipeline_finders():
    from trelmon_tools import run

    return run.configure_finders(["TrackFollowing"])


def test_validity_from_the_bitmap_matches_arrow():
    mixed = pa.array([[1.0], None, [2.0], None, None, [3.0], [4.0], None, [5.0], None] * 2)
    for array in (mixed, pa.nulls(11, type=mixed.type), pa.array([[1.0]] * 9)):
        for start in range(len(array)):
            for length in range(len(array) - start + 1):
                part = array.slice(start, length)
                want = part.is_valid().to_numpy(zero_copy_only=False)
                assert parquet._valid(part).tolist() == want.tolist(), (start, length)


def test_offsets_whose_conversion_empties_the_columns():
    events = two_events()
    columns = plain_columns(events)
    expected = _native.validation_terms_columns(dict(columns), [[], []])

    class Emptying:
        def __init__(self, value):
            self.value = int(value)

        def __index__(self):
            columns.clear()  # drops the only other reference to every tuple
            return self.value

    # The last column read: nothing is looked up after it.
    named, offsets, values = columns["mc_fromStrangeDecay"]
    columns["mc_fromStrangeDecay"] = (named, [Emptying(o) for o in offsets], values.copy())
    assert _native.validation_terms_columns(columns, [[], []]) == expected
