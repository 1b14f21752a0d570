"""The four Validator functions: arguments, event loading and pairing, printed text, exports."""

import io
import json
import sys

import pytest
import trelmon
from trelmon import DetectorEvent, Validator

Hit, Track = DetectorEvent.Hit, DetectorEvent.Track

REPORTS = [
    Validator.print_validation_summary,
    Validator.export_validation_to_json,
    Validator.export_detailed_metrics_json,
]
EXPORTS = REPORTS[1:]
ENTRY_KEYS = [
    "label",
    "n_reco",
    "n_particles",
    "recoeffT",
    "avg_recoeff",
    "n_clones",
    "clone_percentage",
    "purityT",
    "avg_purity",
    "avg_hiteff",
    "hit_eff_percentage",
]
TOP_KEYS = [
    "total_tracks",
    "total_ghosts",
    "overall_ghost_rate",
    "event_avg_ghost_rate",
    "categories",
]
NO_LONG_EXTRAS = ["long>5GeV", "long_strange", "long_strange>5GeV", "long_fromb", "long_fromb>5GeV"]


def event(n, rows=None, description=("key", "hits", "isLong", "hasVelo")):
    data = {
        "module_prefix_sum": [0] * 53,
        "x": [0.5 * i for i in range(n)],
        "y": [0.0] * n,
        "z": [float(i) for i in range(n)],
    }
    if rows is not None:
        data["montecarlo"] = {"description": list(description), "particles": rows}
    return data


def track(*ids):
    return Track([Hit(0.0, 0.0, float(i), i) for i in ids])


def no_match(label):
    return f"update_efficiencies: No particles match condition for '{label}'\n"


def worked_run():
    """Two paired events and a third without tracks.

    Event 1: four long particles, three reconstructed with weights 1, 1, 0.75 and hit
    efficiencies 1, 0.5, 1, plus one ghost (ghost fraction 1/4). Event 2: one particle of four
    hits found twice (a clone), each track holding half of its hits.
    """
    first = event(21, [[1, [0, 1], 1], [2, [2, 3, 4, 5], 1], [3, [6, 7, 8], 1], [4, [9, 10], 1]])
    second = event(4, [[1, [0, 1, 2, 3], 1]])
    tracks = [
        [track(0, 1), track(2, 3), track(6, 7, 8, 20), track(11, 12)],
        [track(0, 1), track(0, 2)],
    ]
    return [first, second, event(2)], tracks


# Totals 6 tracks, 1 ghost; event average (1/4 + 0) * 100 / 3. For "long" (and "velo", every
# particle having it by default): 4 of 5 reconstructed, 1 clone over 4 (25%), purity
# 4.75 * 100 / 5 = 95 overall and 100 in the last event, hit efficiency 50 in the last event and
# 3.5 * 100 / 5 = 70 overall.
WORKED_SUMMARY = (
    "6 tracks including 1 ghosts (16.7%). Event average ghost rate: 8.3%\n"
    "velo                      4 from      5 ( 80.0%,  80.0%)    1 clones (25.00%), "
    "purity: ( 95.00%, 100.00%), hitEff: ( 50.00%,  70.00%)\n"
    "long                      4 from      5 ( 80.0%,  80.0%)    1 clones (25.00%), "
    "purity: ( 95.00%, 100.00%), hitEff: ( 50.00%,  70.00%)\n"
)


# ---- module ------------------------------------------------------------------------------------


def test_the_validator_submodule():
    assert trelmon.Validator.__all__ == [
        "print_validation_summary",
        "compute_tracking_efficiency",
        "export_validation_to_json",
        "export_detailed_metrics_json",
    ]
    for function in REPORTS:
        assert function.__text_signature__ == "(py_events, py_tracks, verbose)"
        assert not function.__doc__
    efficiency = Validator.compute_tracking_efficiency
    assert efficiency.__text_signature__ == "(py_events, py_tracks, particle_type)"
    assert efficiency.__doc__ == (
        "Exposed to Python: computes and returns the reconstruction efficiency (a value in "
        "[0, 1])\nfor a given particle type from a set of event dictionaries and corresponding "
        "tracks."
    )


# ---- printed summary ---------------------------------------------------------------------------


def test_the_summary_of_a_hand_worked_run(capfd):
    events, tracks = worked_run()
    assert Validator.print_validation_summary(events, tracks, False) is None
    assert capfd.readouterr().out == WORKED_SUMMARY


def test_verbose_lines_come_first_in_event_then_category_order(capfd):
    events, tracks = worked_run()
    Validator.print_validation_summary(events, tracks, True)
    per_event = "".join(no_match(label) for label in NO_LONG_EXTRAS)
    assert capfd.readouterr().out == per_event * 2 + WORKED_SUMMARY


def test_the_summary_goes_to_file_descriptor_1_not_sys_stdout(capfd, monkeypatch):
    replaced = io.StringIO()
    monkeypatch.setattr(sys, "stdout", replaced)
    events, tracks = worked_run()
    Validator.print_validation_summary(events, tracks, True)
    monkeypatch.undo()
    assert replaced.getvalue() == ""
    assert capfd.readouterr().out.endswith(WORKED_SUMMARY)


def test_one_ghost_in_three_rounds_to_a_tenth(capfd):
    data = event(6, [[1, [0, 1], 1], [2, [2, 3], 1]])
    Validator.print_validation_summary([data], [[track(0, 1), track(2, 3), track(4, 5)]], False)
    assert capfd.readouterr().out.splitlines()[0] == (
        "3 tracks including 1 ghosts (33.3%). Event average ghost rate: 33.3%"
    )


def test_the_two_ghost_rates_of_the_worked_example(capfd):
    # 25 and 15 tracks with 2 and 1 ghosts: 7.5% overall, (2/25 + 1/15) * 100 / 2 per event.
    events, tracks = [], []
    for n, ghosts in ((25, 2), (15, 1)):
        rows = [[k, [2 * k, 2 * k + 1], 1] for k in range(n - ghosts)]
        events.append(event(2 * n, rows))
        tracks.append([track(2 * k, 2 * k + 1) for k in range(n)])
    Validator.print_validation_summary(events, tracks, False)
    assert capfd.readouterr().out.splitlines()[0] == (
        "40 tracks including 3 ghosts (7.5%). Event average ghost rate: 7.3%"
    )


def test_no_events_and_no_track_lists(capfd):
    Validator.print_validation_summary([], [[track(0, 1)]], True)
    assert capfd.readouterr().out == "No events found.\n"
    Validator.print_validation_summary([event(2, [[1, [0, 1], 1]])], [], True)
    assert capfd.readouterr().out == (
        "0 tracks including 0 ghosts (0.0%). Event average ghost rate: 0.0%\n"
    )


def test_an_event_without_montecarlo_counts_tracks_only(capfd):
    Validator.print_validation_summary([event(4)], [[track(0, 1), track(2, 3)]], True)
    labels = ["velo", "long"] + NO_LONG_EXTRAS
    assert capfd.readouterr().out == "".join(no_match(label) for label in labels) + (
        "2 tracks including 0 ghosts (0.0%). Event average ghost rate: 0.0%\n"
    )


# ---- event loading and pairing -----------------------------------------------------------------


def test_print_reads_every_event_before_any_output(capfd):
    events, tracks = worked_run()
    del events[2]["x"]
    with pytest.raises(KeyError) as raised:
        Validator.print_validation_summary(events, tracks, True)
    assert raised.value.args == ("x",)
    assert capfd.readouterr().out == ""


def test_exports_read_only_paired_events_one_at_a_time(capfd):
    events, tracks = worked_run()
    del events[2]["x"]  # never paired, never read
    expected = Validator.export_validation_to_json(worked_run()[0], tracks, False)
    for export in EXPORTS:
        assert export(events, tracks, False)["categories"] == expected["categories"]
    assert Validator.export_validation_to_json([{}, {}], [], False)["total_tracks"] == 0
    # The second pair's event is read only after the first pair has been validated.
    del events[1]["z"]
    capfd.readouterr()
    for export in EXPORTS:
        with pytest.raises(KeyError, match="'z'"):
            export(events, tracks, True)
        assert capfd.readouterr().out == "".join(no_match(label) for label in NO_LONG_EXTRAS)


def test_compute_tracking_efficiency_reads_every_event_first(capfd):
    events, tracks = worked_run()
    events[2]["montecarlo"] = {"description": []}
    with pytest.raises(KeyError) as raised:
        Validator.compute_tracking_efficiency(events, tracks, "long_fromb")
    assert raised.value.args == ("particles key missing in montecarlo",)
    assert capfd.readouterr().out == ""


def test_three_events_two_track_lists_divide_by_three():
    events, tracks = worked_run()
    for export in EXPORTS:
        result = export(events, tracks, False)
        assert result["event_avg_ghost_rate"] == 0.25 * 100 / 3
        assert result["overall_ghost_rate"] == 1 * 100 / 6
        assert (result["total_tracks"], result["total_ghosts"]) == (6, 1)
    assert list(Validator.export_detailed_metrics_json(events, tracks, False)["events"]) == [
        "1",
        "2",
    ]


def test_surplus_track_lists_are_ignored(capfd):
    events, tracks = worked_run()
    events = events[:2]
    extra = tracks + [[track(0, 99)], [track(5, 6)]]
    assert Validator.export_validation_to_json(events, extra, False) == (
        Validator.export_validation_to_json(events, tracks, False)
    )
    Validator.print_validation_summary(events, extra, False)
    assert capfd.readouterr().out.splitlines()[0].startswith("6 tracks including 1 ghosts")


@pytest.mark.parametrize("key", ["module_prefix_sum", "x", "y", "z"])
def test_a_missing_coordinate_key_is_named(key):
    data = event(2, [[1, [0, 1], 1]])
    del data[key]
    for function in REPORTS:
        with pytest.raises(KeyError) as raised:
            function([data], [[]], False)
        assert raised.value.args == (key,)
    with pytest.raises(KeyError):
        Validator.compute_tracking_efficiency([data], [], "long")


def test_coordinate_values_convert_without_an_argument_name():
    for key, value in (("x", [1.0, "a"]), ("module_prefix_sum", [0, -1]), ("y", "ab")):
        data = event(2)
        data[key] = value
        with pytest.raises((TypeError, OverflowError)) as raised:
            Validator.export_validation_to_json([data], [[]], False)
        assert not str(raised.value).startswith("argument")


def test_hits_run_to_the_shortest_coordinate_list():
    data = event(3, [[1, [0, 1, 2], 1]])
    data["y"] = data["y"][:2]
    assert Validator.export_validation_to_json([data], [[track(0, 1)]], False)["total_ghosts"] == 0
    with pytest.raises(RuntimeError, match="^Error: hit with id 2 not found"):
        Validator.export_validation_to_json([data], [[track(0, 1, 2)]], False)


def test_a_matching_failure_ends_the_call_without_a_summary(capfd):
    events, tracks = worked_run()
    tracks[1] = [track(0, 1), track(3, 4)]  # hit 4 is not in the second event
    with pytest.raises(RuntimeError) as raised:
        Validator.print_validation_summary(events, tracks, True)
    assert raised.value.args == ("Error: hit with id 4 not found in hit_to_mcp mapping",)
    per_event = "".join(no_match(label) for label in NO_LONG_EXTRAS)
    assert capfd.readouterr().out == per_event  # the first pair's lines only


# ---- arguments ---------------------------------------------------------------------------------


@pytest.mark.parametrize("function", REPORTS)
def test_report_arguments(function):
    good = worked_run()
    with pytest.raises(TypeError) as raised:
        function(*good, 1)
    assert str(raised.value) == "argument 'verbose': 'int' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError) as raised:
        function([good[0][0], [1, 2]], [], False)  # caught before anything is read
    assert str(raised.value) == (
        "argument 'py_events': 'list' object cannot be converted to 'PyDict' (event 1)"
    )
    with pytest.raises(TypeError) as raised:
        function("events", [], False)
    assert str(raised.value) == (
        "argument 'py_events': 'str' object cannot be converted to 'Sequence'"
    )
    with pytest.raises(TypeError) as raised:
        function(good[0], [[track(0, 1), 3]], False)
    assert str(raised.value) == "argument 'py_tracks': 'int' object cannot be converted to 'Track'"
    with pytest.raises(TypeError) as raised:
        function(good[0], good[1])
    assert str(raised.value) == (
        f"{function.__name__}() missing 1 required positional argument: 'verbose'"
    )
    # Tuples are sequences; keywords work.
    assert function(py_events=tuple(good[0]), py_tracks=(tuple(good[1][0]),), verbose=False) == (
        function(good[0], good[1][:1], False)
    )


def test_efficiency_arguments():
    events, tracks = worked_run()
    with pytest.raises(TypeError) as raised:
        Validator.compute_tracking_efficiency(events, tracks, 5)
    assert str(raised.value) == (
        "argument 'particle_type': 'int' object cannot be converted to 'PyString'"
    )
    with pytest.raises(TypeError, match="^argument 'py_events'"):
        Validator.compute_tracking_efficiency([3], tracks, 5)  # converted in parameter order


# ---- exports -----------------------------------------------------------------------------------


def test_export_keys_types_and_values():
    events, tracks = worked_run()
    result = Validator.export_validation_to_json(events, tracks, False)
    assert list(result) == TOP_KEYS
    assert [entry["label"] for entry in result["categories"]] == ["velo", "long"]
    long = result["categories"][1]
    assert list(long) == ENTRY_KEYS
    assert "recoeff" not in long and "purity" not in long
    assert long == {
        "label": "long",
        "n_reco": 4,
        "n_particles": 5,
        "recoeffT": 100 * 4 / 5,
        "avg_recoeff": 4 / 5 * 100,
        "n_clones": 1,
        "clone_percentage": 25.0,
        "purityT": (1.0 + 1.0 + 0.75 + 2.0) * 100 / 5,
        "avg_purity": 100.0,
        "avg_hiteff": 50.0,
        "hit_eff_percentage": (2.5 + 1.0) * 100 / 5,
    }
    types = [str, int, int, float, float, int, float, float, float, float, float]
    assert [type(long[key]) for key in ENTRY_KEYS] == types
    assert [type(result[key]) for key in TOP_KEYS] == [int, int, float, float, list]


@pytest.mark.parametrize("export", EXPORTS)
def test_exports_of_nothing(export, capfd):
    zero = {
        "total_tracks": 0,
        "total_ghosts": 0,
        "overall_ghost_rate": 0.0,
        "event_avg_ghost_rate": 0.0,
        "categories": [],
    }
    if export is Validator.export_detailed_metrics_json:
        zero["events"] = {}
    for events in ([], [event(2), event(3)]):
        result = export(events, [], True)
        assert result == zero
        assert type(result["overall_ghost_rate"]) is float
        assert type(result["event_avg_ghost_rate"]) is float
    assert capfd.readouterr().out == ""


def test_events_without_montecarlo_give_no_categories_and_no_ghosts():
    result = Validator.export_validation_to_json(
        [event(4), event(4)], [[track(0, 1)], [track(2, 3), track(1, 2)]], False
    )
    assert (result["total_tracks"], result["total_ghosts"], result["categories"]) == (3, 0, [])


def test_the_detailed_export_records_each_pair():
    first = event(2, [[1, [0, 1], 1, 0]])  # long, not velo
    second = event(2, [[1, [0, 1], 0, 1]])  # velo, not long
    result = Validator.export_detailed_metrics_json(
        [first, second, event(1)], [[track(0, 1)], [track(1, 0)]], False
    )
    assert list(result) == TOP_KEYS + ["events"]
    assert list(result["events"]) == ["1", "2"]
    assert [e["label"] for e in result["events"]["1"]] == ["long"]
    assert [e["label"] for e in result["events"]["2"]] == ["velo", "long"]
    # "long" saw no particle in the second event: unchanged. "velo" appears with its totals.
    assert result["events"]["2"][1] == result["events"]["1"][0]
    assert result["events"]["2"] == result["categories"]
    assert result["event_avg_ghost_rate"] == 0.0 and result["total_tracks"] == 2


def test_detailed_entries_are_snapshots_of_the_running_totals():
    events, tracks = worked_run()
    detail = Validator.export_detailed_metrics_json(events, tracks, False)["events"]
    after_first = {e["label"]: e for e in detail["1"]}["long"]
    after_second = {e["label"]: e for e in detail["2"]}["long"]
    assert (after_first["n_particles"], after_first["n_reco"], after_first["n_clones"]) == (4, 3, 0)
    assert after_first["avg_hiteff"] == (1.0 + 0.5 + 1.0) / 3 * 100
    assert (after_second["n_particles"], after_second["n_reco"], after_second["n_clones"]) == (
        5,
        4,
        1,
    )


def test_the_summary_and_the_exports_agree(capfd):
    events, tracks = worked_run()
    result = Validator.export_validation_to_json(events, tracks, False)
    Validator.print_validation_summary(events, tracks, False)
    lines = capfd.readouterr().out.splitlines()[1:]
    assert [line.split()[0] for line in lines] == [e["label"] for e in result["categories"]]
    for line, entry in zip(lines, result["categories"], strict=True):
        assert f"{entry['purityT']:6.2f}%, {entry['avg_purity']:6.2f}%" in line
        assert f"{entry['avg_hiteff']:6.2f}%, {entry['hit_eff_percentage']:6.2f}%" in line


def test_repeated_calls_are_identical(capfd):
    events, tracks = [], []
    for seed in range(6):
        n = 40 + seed
        rows = [
            [
                (k * 7 + seed) % 11,
                [(k * 3 + j * 5) % n for j in range(1 + k % 6)],
                k % 2,
                1 - (k % 5 == 0),
                k % 3 == 0,
            ]
            for k in range(25)
        ]
        events.append(event(n, rows, ("key", "hits", "isLong", "hasVelo", "fromBeautyDecay")))
        tracks.append([track(*[(k * 3 + j * 5) % n for j in range(2 + k % 4)]) for k in range(30)])
    texts = set()
    for _ in range(3):
        texts.add(json.dumps(Validator.export_detailed_metrics_json(events, tracks, True)))
        Validator.print_validation_summary(events, tracks, True)
        texts.add(capfd.readouterr().out)
    assert len(texts) == 2


# ---- the efficiency function -------------------------------------------------------------------


def two_particles():
    # A: hits 0..4, B: hits 5..8. One track with 4 of A's 5 hits plus noise (weight 0.8), one
    # with half its hits from B.
    data = event(12, [[1, [0, 1, 2, 3, 4], 1], [2, [5, 6, 7, 8], 1]])
    return data, [track(0, 1, 2, 3, 9), track(5, 6, 10, 11)]


@pytest.mark.parametrize("label", ["long", "velo"])
def test_efficiency_of_one_event(label, capfd):
    data, tracks = two_particles()
    assert Validator.compute_tracking_efficiency([data], [tracks], label) == 0.5
    assert capfd.readouterr().out == ""


def test_efficiency_sums_over_events_rather_than_averaging():
    one = event(2, [[1, [0, 1], 1]])
    three = event(6, [[1, [0, 1], 1], [2, [2, 3], 1], [3, [4, 5], 1]])
    assert (
        Validator.compute_tracking_efficiency([one, three], [[track(0, 1)], [track(2, 3)]], "long")
        == 0.5
    )


def test_efficiency_announces_events_without_category_particles(capfd):
    data, tracks = two_particles()
    result = Validator.compute_tracking_efficiency(
        [event(3), data, event(2)], [[track(0, 1)], tracks], "long"
    )
    assert result == 0.5
    assert capfd.readouterr().out == no_match("long")
    slow = event(2, [[1, [0, 1], 1, 1, 5000.0]], ("key", "hits", "isLong", "hasVelo", "p"))
    assert Validator.compute_tracking_efficiency([slow], [[track(0, 1)]], "long>5GeV") == 0.0
    assert capfd.readouterr().out == no_match("long>5GeV")
    assert Validator.compute_tracking_efficiency([], [], "long") == 0.0
    assert Validator.compute_tracking_efficiency([data], [], "long") == 0.0
    assert capfd.readouterr().out == ""
