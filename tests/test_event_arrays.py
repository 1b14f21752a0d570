"""Events built from numpy arrays and other buffers read exactly what the same lists give."""

import array
import operator
import warnings

import numpy as np
import pytest
import trelmon
from hypothesis import given, settings
from hypothesis import strategies as st

Event = trelmon.DetectorEvent.Event
Validator = trelmon.Validator


def base_event(seed=3, hits_per_module=3, with_t=True):
    rng = np.random.default_rng(seed)
    counts = np.full(52, hits_per_module)
    n = int(counts.sum())
    event = {
        "description": "arrays",
        "montecarlo": {
            "description": ["key", "hits", "isLong", "p"],
            "particles": [[1, [0, 3, 6], 1, 6000.0], [2, [1, 4], 0, 100.0]],
        },
        "module_prefix_sum": np.concatenate([[0], np.cumsum(counts)]).tolist(),
        "x": rng.uniform(-30, 30, n).tolist(),
        "y": rng.uniform(-30, 30, n).tolist(),
        "z": np.repeat(np.linspace(-200, 700, 52), counts).tolist(),
    }
    if with_t:
        event["t"] = rng.normal(0, 1, n).tolist()
    return event


def as_lists(event):
    return {k: v.tolist() if isinstance(v, np.ndarray) else v for k, v in event.items()}


def hit_fields(event):
    return [(h.id, h.x, h.y, h.z, h.t, h.module_number, h.with_t) for h in event.hits]


def outcome(data):
    """What building ``data`` gives: the hits, or the exception's type."""
    try:
        return hit_fields(Event(data))
    except Exception as e:  # noqa: BLE001 - the type is the result
        return type(e)


def same_bits(a, b):
    return np.array_equal(
        np.asarray(a, dtype=np.float64).view(np.int64),
        np.asarray(b, dtype=np.float64).view(np.int64),
    )


class TestContiguous:
    def test_float64_columns_and_int64_prefix_read_like_lists(self):
        data = base_event()
        arrays = {
            k: np.asarray(v) if k in ("x", "y", "z", "t", "module_prefix_sum") else v
            for k, v in data.items()
        }
        assert arrays["module_prefix_sum"].dtype == np.int64
        built = Event(arrays)
        assert hit_fields(built) == hit_fields(Event(data))
        assert built.module_prefix_sum == data["module_prefix_sum"]
        assert built.montecarlo is arrays["montecarlo"]

    def test_special_values_keep_their_bits(self):
        data = base_event(with_t=False)
        x = np.asarray(data["x"])
        x[:4] = [np.nan, np.inf, -np.inf, -0.0]
        data["x"] = x
        built = Event(data)
        assert same_bits([h.x for h in built.hits], x)
        assert not any(h.with_t for h in built.hits)

    def test_validator_reads_arrays_as_lists(self):
        data = base_event()
        arrays = dict(
            data, **{k: np.asarray(data[k]) for k in ("x", "y", "z", "module_prefix_sum")}
        )
        track = trelmon.DetectorEvent.Track([Event(data).hits[i] for i in (0, 3, 6)])
        for export in (Validator.export_validation_to_json, Validator.export_detailed_metrics_json):
            assert export([arrays], [[track]], False) == export([data], [[track]], False)

    def test_other_buffers(self):
        data = base_event(with_t=False)
        expected = hit_fields(Event(data))
        for key in ("x", "y", "z"):
            data[key] = memoryview(array.array("d", data[key]))
        data["module_prefix_sum"] = array.array("q", data["module_prefix_sum"])
        assert hit_fields(Event(data)) == expected

    def test_empty_modules_and_extra_entries(self):
        data = base_event(hits_per_module=0, with_t=False)
        data["module_prefix_sum"] = np.zeros(60, dtype=np.uint32)  # entries past 52 unread
        for key in ("x", "y", "z"):
            data[key] = np.array([1.0, 2.0])  # longer than the prefix sums need
        built = Event(data)
        assert built.number_of_hits == 0 and built.hits == []
        assert built.module_prefix_sum == [0] * 60


def read_only(a):
    a = a.copy()
    a.setflags(write=False)
    return a


# Each gives an array holding the values of ``a`` in order.
LAYOUTS = {
    "contiguous": lambda a: a,
    "every other": lambda a: np.repeat(a, 2)[::2],
    "negative stride": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "fortran column": lambda a: np.asfortranarray(np.stack([a, a], axis=1))[:, 0],
    "read only": read_only,
}
FLOAT_TYPES = ["<f8", ">f8", "<f4", ">f4", "<f2", "<i8", "<u2", "?", "O"]
PREFIX_TYPES = ["<i8", ">i8", "<i4", "<i2", "<i1", "<u8", "<u4", "<u2", "<u1", "<f8", "?", "O"]


def numpy_bool_index_refusal():
    """What numpy raises when one of its bools is taken as an integer, warnings being errors:
    a TypeError from numpy 2.3 on, the DeprecationWarning before."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            operator.index(np.bool_(True))
        except (TypeError, DeprecationWarning) as refusal:
            return type(refusal)
    raise AssertionError("numpy took its bool as an integer without a word")


class TestLayoutsAndTypes:
    @pytest.mark.parametrize("layout", LAYOUTS, ids=list(LAYOUTS))
    @pytest.mark.parametrize("dtype", FLOAT_TYPES)
    def test_coordinates_are_converted_never_misread(self, layout, dtype):
        data = base_event(hits_per_module=2)
        # Values every type can hold exactly, so a converted read must match the lists.
        for key in ("x", "y", "z", "t"):
            values = np.round(np.asarray(data[key]) % 8, 0) if dtype != "?" else np.ones(104)
            data[key] = LAYOUTS[layout](np.asarray(values).astype(dtype))
        assert outcome(data) == outcome(as_lists(data))

    @pytest.mark.parametrize("layout", LAYOUTS, ids=list(LAYOUTS))
    @pytest.mark.parametrize("dtype", PREFIX_TYPES)
    def test_prefix_sums_are_converted_or_refused_like_lists(self, layout, dtype):
        data = base_event(hits_per_module=2)
        data["module_prefix_sum"] = LAYOUTS[layout](
            np.asarray(data["module_prefix_sum"]).astype(dtype)
        )
        if dtype == "?":  # numpy's bools are not integers, Python's are
            with pytest.raises(numpy_bool_index_refusal()):
                Event(data)
        else:
            assert outcome(data) == outcome(as_lists(data))

    @pytest.mark.parametrize("dtype", ["<i8", "<i4", "<i1", ">i8"])
    def test_negative_prefix_entries_overflow_like_lists(self, dtype):
        data = base_event(hits_per_module=1)
        prefix = np.asarray(data["module_prefix_sum"], dtype=dtype)
        prefix[5] = -1
        data["module_prefix_sum"] = prefix
        with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
            Event(data)
        with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
            Event(as_lists(data))

    @pytest.mark.parametrize(
        "value",
        [np.zeros((52, 2)), np.float64(3.0), np.array(1.0), np.array(["a", "b"])],
        ids=["2-d", "scalar", "0-d", "strings"],
    )
    def test_arrays_that_are_not_columns_are_refused(self, value):
        data = base_event(hits_per_module=0)
        data["x"] = value
        with pytest.raises((TypeError, ValueError)):
            Event(data)

    def test_short_array_is_the_length_error_of_a_short_list(self):
        data = base_event(hits_per_module=1)
        data["y"] = np.asarray(data["y"][:-1])
        with pytest.raises(ValueError) as from_array:
            Event(data)
        with pytest.raises(ValueError) as from_list:
            Event(as_lists(data))
        assert str(from_array.value) == str(from_list.value)


@settings(max_examples=60, deadline=None)
@given(
    hits=st.lists(st.integers(0, 4), min_size=52, max_size=52),
    dtype=st.sampled_from(["<f8", "<f4", ">f8"]),
    step=st.integers(-3, 3).filter(bool),
    prefix_dtype=st.sampled_from(["<i8", "<u4", "<i2", ">u8"]),
    seed=st.integers(0, 2**32 - 1),
)
def test_any_layout_builds_the_event_of_its_lists(hits, dtype, step, prefix_dtype, seed):
    rng = np.random.default_rng(seed)
    n = sum(hits)
    data = {
        "description": "",
        "montecarlo": None,
        "module_prefix_sum": np.concatenate([[0], np.cumsum(hits)]).astype(prefix_dtype),
    }
    for key in ("x", "y", "z"):
        wide = np.repeat(rng.normal(0, 50, n).astype(dtype), abs(step))
        data[key] = wide[:: abs(step)] if step > 0 else wide[::-1][:: abs(step)][::-1]
    assert outcome(data) == outcome(as_lists(data))
