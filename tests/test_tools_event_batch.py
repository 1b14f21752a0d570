"""Events built as a batch from columns on the worker pool equal, one by one, the Events of the
same cells as dictionaries, and are refused exactly when one of those is."""

import numpy as np
import pytest
import trelmon
from hypothesis import given, settings
from hypothesis import strategies as st
from trelmon_tools import _native, parquet
from trelmon_tools.generate import generate_events

Event = trelmon.DetectorEvent.Event


def fields(event):
    """Everything an Event shows, floats by their bits (NaN included)."""
    hits = [(h.id, h.module_number, h.with_t) for h in event.hits]
    bits = np.array([(h.x, h.y, h.z, h.t) for h in event.hits], dtype=np.float64).view(np.int64)
    zs = np.array([z for zs in event.module_zs for z in zs], dtype=np.float64).view(np.int64)
    return (
        event.description,
        event.module_prefix_sum,
        event.number_of_hits,
        hits,
        bits.tolist(),
        [len(zs) for zs in event.module_zs],
        zs.tolist(),
        [(m.module_number, [h.id for h in m.hits()]) for m in event.modules],
    )


def columns_of(dicts):
    """The columns of events given as dictionaries, as row_group_columns lays them out."""
    offsets = {}
    for name in ("module_prefix_sum", "x", "y", "z", "t"):
        lengths = [len(d.get(name, ())) for d in dicts]
        offsets[name] = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int32)
    values = {
        name: np.concatenate([np.asarray(d.get(name, []), np.float64) for d in dicts])
        for name in ("x", "y", "z", "t")
    }
    prefix = np.concatenate([np.asarray(d["module_prefix_sum"], np.int64) for d in dicts])
    columns = {name: (offsets[name], values[name]) for name in ("x", "y", "z")}
    columns["module_prefix_sum"] = (offsets["module_prefix_sum"], prefix)
    columns["description"] = [d["description"] for d in dicts]
    present = np.array(["t" in d for d in dicts], np.uint8)
    columns["t"] = (present, offsets["t"], values["t"])
    return columns


def test_generated_row_groups_build_the_events_of_their_dictionaries(tmp_path):
    dicts = generate_events(3, 5, with_time=True) + generate_events(2, 6)
    dicts[1]["x"][::7] = [float("nan")] * len(dicts[1]["x"][::7])
    dicts[2]["y"][:5] = [float("inf"), float("-inf"), -0.0, 1e300, -1e-300]
    path = tmp_path / "s.parquet"
    parquet.write_events(path, dicts, row_group_events=3)
    built, expected = [], []
    for _, table in parquet.iter_row_groups(path):
        events, columns, _ = parquet.row_group_columns(table)
        built.extend(_native.events_from_columns(columns))
        expected.extend(Event(d) for d in events)
    assert [fields(e) for e in built] == [fields(e) for e in expected]
    assert all(e.montecarlo is None for e in built)
    # with the tables held, as native_events gives them
    native = [e for _, table in parquet.iter_row_groups(path) for e in parquet.native_events(table)]
    assert [fields(e) for e in native] == [fields(Event(d)) for d in dicts]
    assert [e.montecarlo for e in native] == [d["montecarlo"] for d in dicts]


@st.composite
def small_events(draw):
    """Events of a few hits whose prefix sums and lists may be anything Event must refuse."""
    counts = draw(st.lists(st.integers(0, 3), min_size=52, max_size=52))
    prefix = np.concatenate([[0], np.cumsum(counts)]).tolist()
    fault = draw(st.sampled_from(["none", "none", "negative", "decreasing", "short", "few"]))
    if fault == "negative":
        prefix[draw(st.integers(0, 52))] = -1
    elif fault == "decreasing" and prefix[-1] > 0:
        prefix[-1] = prefix[-1] - 1
        prefix[-2] = prefix[-1] + 1
    elif fault == "few":
        prefix = prefix[: draw(st.integers(0, 52))]
    n = max(prefix[-1], 0) if prefix else 0
    n -= 1 if fault == "short" and n else 0
    floats = st.floats(allow_nan=True, allow_infinity=True, width=64)
    event = {"description": draw(st.text(max_size=4)), "module_prefix_sum": prefix}
    for name in ("x", "y", "z"):
        event[name] = draw(st.lists(floats, min_size=n, max_size=n))
    if draw(st.booleans()):
        event["t"] = draw(st.lists(floats, min_size=0, max_size=n + 1))
    return event


@settings(max_examples=150, deadline=None)
@given(st.lists(small_events(), min_size=1, max_size=5))
def test_a_batch_builds_what_event_builds_or_refuses_the_first_refused(dicts):
    outcomes = []
    for d in dicts:
        try:
            outcomes.append(fields(Event({**d, "montecarlo": None})))
        except (ValueError, OverflowError):
            outcomes.append(None)
    columns = columns_of(dicts)
    if None in outcomes:
        first = outcomes.index(None)
        with pytest.raises(ValueError, match=f"^event {first} is not a valid event$"):
            _native.events_from_columns(columns)
    else:
        assert [fields(e) for e in _native.events_from_columns(columns)] == outcomes


def test_columns_that_do_not_fit_are_refused():
    dicts = generate_events(2, 1)
    columns = columns_of(dicts)
    with pytest.raises(ValueError, match='"x" offsets run past its'):
        _native.events_from_columns({**columns, "x": (columns["x"][0], columns["x"][1][:-1])})
    with pytest.raises(ValueError, match='"y" values must be a contiguous float64 array'):
        _native.events_from_columns({**columns, "y": (columns["y"][0], columns["y"][1][::2])})
    with pytest.raises(ValueError, match='"montecarlo" must be a list of one object per event'):
        _native.events_from_columns({**columns, "montecarlo": [None]})
    with pytest.raises(ValueError, match='no column "z"'):
        _native.events_from_columns({k: v for k, v in columns.items() if k != "z"})
