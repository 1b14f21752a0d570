"""Monte Carlo reading, categories, track-particle matching and efficiency accumulation.

Every case is observed through the export, the one place where all figures of a run show.
"""

import pytest
from trelmon import DetectorEvent, Validator

Hit, Track = DetectorEvent.Hit, DetectorEvent.Track

DESCRIPTION = ["key", "hits", "isLong"]


def event(n, rows=None, description=DESCRIPTION):
    """An event of n hits; with rows, a Monte Carlo table of them."""
    data = {
        "module_prefix_sum": [0] * 53,
        "x": [0.5 * i for i in range(n)],
        "y": [0.0] * n,
        "z": [float(i) for i in range(n)],
    }
    if rows is not None:
        data["montecarlo"] = {"description": description, "particles": rows}
    return data


def track(*ids):
    return Track([Hit(0.0, 0.0, float(i), i) for i in ids])


def run(events, tracks):
    return Validator.export_validation_to_json(events, tracks, False)


def categories(result):
    return {entry["label"]: entry for entry in result["categories"]}


# ---- Monte Carlo table: cells and defaults -----------------------------------------------------


def test_a_short_description_gives_defaults_and_the_derived_momentum_flag():
    result = run([event(3, [[7, 6000.0, 1]], ["key", "p", "isLong"])], [[]])
    found = categories(result)
    # hasVelo defaults to true; pid 0 is no electron; 6000 MeV is over 5 GeV.
    assert list(found) == ["velo", "long", "long>5GeV"]
    assert all(entry["n_particles"] == 1 and entry["n_reco"] == 0 for entry in found.values())


@pytest.mark.parametrize(
    "p, over",
    [
        (5000.0, False),
        (-5000.5, True),
        (5000.000001, True),
        (float("nan"), False),
        (6000, True),
        (True, False),
    ],
)
def test_over_5gev_is_strict_on_the_absolute_momentum(p, over):
    found = categories(run([event(1, [[1, p, 1]], ["key", "p", "isLong"])], [[]]))
    assert ("long>5GeV" in found) is over


@pytest.mark.parametrize("pid", [11, -11])
def test_electrons_belong_to_no_category(pid):
    rows = [[1, pid, 9000.0, 1, 1, 1, 1]]
    description = ["key", "pid", "p", "isLong", "hasVelo", "fromBeautyDecay", "fromStrangeDecay"]
    assert run([event(1, rows, description)], [[]])["categories"] == []


def test_every_category_predicate():
    description = [
        "key",
        "pid",
        "p",
        "isLong",
        "hasVelo",
        "fromStrangeDecay",
        "fromBeautyDecay",
        "isDown",
        "hasUT",
        "hasScifi",
        "fromCharmDecay",
    ]
    rows = [
        [1, 211, 100.0, 0, 1, 1, 1, 1, 1, 1, 1],  # velo only: not long
        [2, 13, 100.0, 1, 0, 0, 0, 0, 0, 0, 0],  # long, not velo
        [3, 321, 8000.0, 1, 0, 1, 0, 0, 0, 0, 0],  # long strange over 5 GeV
        [4, 2212, 100.0, 1, 0, 0, 1, 0, 0, 0, 0],  # long from b
        [5, -211, 7000.0, 1, 0, 0, 1, 0, 0, 0, 0],  # long from b over 5 GeV
        [6, 11, 9000.0, 1, 1, 1, 1, 0, 0, 0, 0],  # electron: nowhere
    ]
    found = categories(run([event(1, rows, description)], [[]]))
    assert {label: entry["n_particles"] for label, entry in found.items()} == {
        "velo": 1,
        "long": 4,
        "long>5GeV": 2,
        "long_strange": 1,
        "long_strange>5GeV": 1,
        "long_fromb": 2,
        "long_fromb>5GeV": 1,
    }


def test_an_unknown_label_or_a_wrong_case_selects_nothing(capfd):
    data = [event(2, [[1, [0, 1], 1]])]
    assert Validator.compute_tracking_efficiency(data, [[track(0, 1)]], "long") == 1.0
    capfd.readouterr()
    assert Validator.compute_tracking_efficiency(data, [[track(0, 1)]], "Long") == 0.0
    assert capfd.readouterr().out == (
        "update_efficiencies: No particles match condition for 'Long'\n"
    )


def test_short_and_long_rows():
    description = ["key", "isLong", "hasVelo", "hits"]
    rows = [
        [1],  # all defaults past the key
        [2, 1, 0, [0, 1], "surplus", None, 3.5],
    ]  # surplus values ignored
    found = categories(run([event(2, rows, description)], [[track(0, 1)]]))
    assert found["velo"]["n_particles"] == 1 and found["velo"]["n_reco"] == 0
    assert found["long"]["n_particles"] == 1 and found["long"]["n_reco"] == 1


class FloatLike:
    def __float__(self):
        return 6000.0


class IndexLike:
    def __index__(self):
        return 1


class Broken:
    def __float__(self):
        raise ValueError("no float here")

    def __index__(self):
        raise OverflowError("no index here")


@pytest.mark.parametrize(
    "value, long",
    [
        (1, True),
        (True, True),
        (-3, True),
        (0, False),
        (False, False),
        (1.0, False),
        ("1", False),
        (None, False),
        (2**31, False),
        (-(2**31) - 1, False),
        (Broken(), False),
        ([1], False),
    ],
)
def test_flag_cells_take_ints_and_bools_only(value, long):
    found = categories(run([event(1, [[1, [], value]])], [[]]))
    assert ("long" in found) is long


@pytest.mark.parametrize(
    "value, velo",
    [(0, False), (False, False), (1, True), (None, True), (0.0, True), (2**40, True), ("0", True)],
)
def test_has_velo_defaults_to_true(value, velo):
    found = categories(run([event(1, [[1, value]], ["key", "hasVelo"])], [[]]))
    assert ("velo" in found) is velo


@pytest.mark.parametrize(
    "p, over",
    [
        (FloatLike(), True),
        (IndexLike(), False),
        ("6000", False),
        (Broken(), False),
        (10**400, False),
        (None, False),
        ([6000.0], False),
    ],
)
def test_float_cells_never_raise(p, over):
    found = categories(run([event(1, [[1, p, 1]], ["key", "p", "isLong"])], [[]]))
    assert ("long>5GeV" in found) is over


@pytest.mark.parametrize(
    "pid, electron", [(11, True), (11.0, False), ("11", False), (2**31 + 11, False), (True, False)]
)
def test_integer_cells_refuse_floats_and_out_of_range(pid, electron):
    found = categories(run([event(1, [[1, pid, 1]], ["key", "pid", "isLong"])], [[]]))
    assert ("long" in found) is not electron


@pytest.mark.parametrize(
    "hits, matched",
    [
        ([0, 2, 99], True),  # 99 lies beyond the event: skipped
        ((0, 2), True),  # any sequence
        ([0, -1, 2], False),  # one bad element: no hits at all
        ([0, 2.0], False),
        ("02", False),
        (7, False),
    ],
)
def test_the_hits_cell_converts_as_a_whole(hits, matched):
    result = run([event(3, [[1, hits, 1]])], [[track(0, 2)]])
    assert categories(result)["long"]["n_reco"] == (1 if matched else 0)
    assert result["total_ghosts"] == (0 if matched else 1)


def test_the_last_position_of_a_repeated_column_name_wins():
    description = ["key", "isLong", "isLong"]
    assert "long" in categories(run([event(1, [[1, 0, 1]], description)], [[]]))
    # A row too short for the last position has no value, whatever the first position holds.
    assert "long" not in categories(run([event(1, [[1, 1]], description)], [[]]))


def test_keys_convert_as_unsigned_64_bit():
    # Keys that do not convert become 0 and so collide with a real key 0: one particle.
    for bad in (-1, 2**64, 0.0, "0"):
        rows = [[bad, [0, 1], 1], [0, [2, 3], 1]]
        result = run([event(4, rows)], [[track(0, 1), track(2, 3)]])
        assert result["total_ghosts"] == 1, bad
    rows = [[2**64 - 1, [0, 1], 1], [0, [2, 3], 1]]
    assert run([event(4, rows)], [[track(0, 1), track(2, 3)]])["total_ghosts"] == 0


def test_a_malformed_cell_leaves_no_exception_behind():
    # A pending exception would surface as a SystemError from the call itself.
    result = run([event(2, [[Broken(), Broken(), Broken()]])], [[]])
    assert categories(result)["velo"]["n_particles"] == 1


class Raising:
    """A cell whose conversion fails with an exception that is no conversion failure."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __float__(self):
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError, ArithmeticError, SystemExit])
@pytest.mark.parametrize("column", range(3))
def test_an_interrupt_while_reading_a_cell_goes_through(error, column):
    row = [0, [0, 1], 1]
    if column == 1:
        row[1] = [0, Raising(error("from the cell"))]  # a position in the hits cell
    else:
        row[column] = Raising(error("from the cell"))
    with pytest.raises(error, match="from the cell"):
        run([event(2, [row])], [[]])
    with pytest.raises(error, match="from the cell"):
        Validator.compute_tracking_efficiency([event(2, [row])], [[]], "velo")


@pytest.mark.parametrize("error", [TypeError, ValueError, OverflowError])
def test_conversion_failures_of_a_cell_are_still_forgotten(error):
    rows = [[Raising(error("bad")), Raising(error("bad")), Raising(error("bad"))]]
    assert categories(run([event(2, rows)], [[]]))["velo"]["n_particles"] == 1


# ---- Monte Carlo table: structure --------------------------------------------------------------


class DictSubclass(dict):
    pass


@pytest.mark.parametrize(
    "montecarlo, error, message",
    [
        ([], TypeError, "'list' object cannot be converted to 'PyDict'"),
        (None, TypeError, "'NoneType' object cannot be converted to 'PyDict'"),
        ({"particles": []}, KeyError, "description key missing in montecarlo"),
        ({"description": []}, KeyError, "particles key missing in montecarlo"),
        (
            {"description": "key", "particles": []},
            TypeError,
            "'str' object cannot be converted to 'Sequence'",
        ),
        (
            {"description": ["key", 3], "particles": []},
            TypeError,
            "'int' object cannot be converted to 'PyString'",
        ),
        (
            {"description": ["key"], "particles": [[1], 5]},
            TypeError,
            "'int' object cannot be converted to 'Sequence'",
        ),
        (
            {"description": ["key"], "particles": [[1], "row"]},
            TypeError,
            "'str' object cannot be converted to 'Sequence'",
        ),
    ],
)
def test_a_malformed_table_raises(montecarlo, error, message):
    data = event(2)
    data["montecarlo"] = montecarlo
    with pytest.raises(error) as raised:
        run([data], [[]])
    assert raised.value.args[0] == message


def test_an_empty_table_and_a_dict_subclass_are_fine():
    assert run([event(2, [])], [[track(0, 1)]])["categories"] == []
    data = event(2)
    data["montecarlo"] = DictSubclass(description=DESCRIPTION, particles=[[1, [0, 1], 1]])
    assert categories(run([data], [[track(0, 1)]]))["long"]["n_reco"] == 1


# ---- Matching ----------------------------------------------------------------------------------


def test_three_of_four_hits_match_and_seven_of_ten_do_not():
    rows = [[1, list(range(9)), 1], [2, [9, 10, 11], 1]]
    result = run([event(12, rows)], [[track(0, 1, 2, 9)]])
    assert result["total_ghosts"] == 0
    assert categories(result)["long"]["avg_purity"] == 75.0
    result = run([event(12, rows)], [[track(0, 1, 2, 3, 4, 5, 6, 9, 10, 11)]])
    assert result["total_ghosts"] == 1  # exactly 0.7 is no match
    assert categories(result)["long"]["n_reco"] == 0
    assert categories(result)["long"]["purityT"] == 0.0


def test_a_hit_shared_by_two_particles_counts_for_both():
    rows = [[1, [0, 1, 2], 1], [2, [2, 3, 4], 1]]
    result = run([event(5, rows)], [[track(1, 2), track(2, 3)]])
    long = categories(result)["long"]
    assert (result["total_ghosts"], long["n_reco"], long["avg_purity"]) == (0, 2, 100.0)


def test_a_tie_between_particles_goes_to_the_later_one():
    # Both particles produced all four hits; B's hit efficiency (4 of 8) shows that B won.
    a, b = [1, [0, 1, 2, 3], 1], [2, [0, 1, 2, 3, 4, 5, 6, 7], 1]
    long = categories(run([event(8, [a, b])], [[track(0, 1, 2, 3)]]))["long"]
    assert long["avg_hiteff"] == 50.0
    assert long["n_reco"] == 2  # each particle's best weight is 1.0
    long = categories(run([event(8, [b, a])], [[track(0, 1, 2, 3)]]))["long"]
    assert long["avg_hiteff"] == 100.0


def test_a_particle_listing_a_hit_twice_adds_one_to_its_weight():
    long = categories(run([event(3, [[1, [0, 0, 1], 1]])], [[track(0, 1)]]))["long"]
    assert long["avg_purity"] == 100.0 and long["avg_hiteff"] == 100.0


def test_repeated_track_hits_count_in_numerator_and_denominator():
    # Weight 3/3; hit efficiency counts every hit of the track against 2 distinct hits.
    long = categories(run([event(2, [[1, [0, 1], 1]])], [[track(0, 0, 1)]]))["long"]
    assert long["avg_purity"] == 100.0 and long["avg_hiteff"] == 150.0


def test_duplicate_particle_keys():
    # One map entry for key 5: the first record (long) with the last hit list.
    rows = [[5, [0, 1, 2], 1], [5, [3, 4, 5], 1]]
    result = run([event(6, rows)], [[track(0, 1, 2), track(3, 4, 5)]])
    assert result["total_ghosts"] == 1  # hits 0..2 belong to nobody now
    long = categories(result)["long"]
    assert (long["n_particles"], long["n_reco"]) == (2, 1)
    # Only the second row's column carries weight; the first row alone is never reconstructed.
    rows = [[5, [0, 1, 2], 1], [5, [3, 4, 5], 0]]
    result = run([event(6, rows)], [[track(3, 4, 5)]])
    assert result["total_ghosts"] == 0
    long = categories(result)["long"]
    assert (long["n_particles"], long["n_reco"]) == (1, 0)


def test_duplicate_tracks_are_one_entry():
    rows = [[1, [0, 1, 2], 1], [2, [3, 4], 1]]
    tracks = [track(0, 1, 2), track(0, 1, 2), track(5, 6), track(5, 6)]
    result = run([event(7, rows)], [tracks])
    assert (result["total_tracks"], result["total_ghosts"]) == (4, 1)
    assert result["overall_ghost_rate"] == 25.0
    assert result["event_avg_ghost_rate"] == 50.0  # one ghost among two distinct tracks
    assert categories(result)["long"]["n_clones"] == 0


def test_two_tracks_on_one_particle_are_a_clone():
    result = run([event(5, [[1, [0, 1, 2, 3, 4], 1]])], [[track(0, 1, 2, 3), track(0, 1, 2, 4)]])
    long = categories(result)["long"]
    assert (long["n_reco"], long["n_clones"], long["clone_percentage"]) == (1, 1, 100.0)
    assert long["purityT"] == 100.0  # two weights of 1.0 over n_reco + n_clones
    assert long["hit_eff_percentage"] == (0.8 + 0.8) * 100 / 2


def test_one_hit_tracks_are_ghosts_and_never_looked_up():
    result = run([event(3, [[1, [0, 1, 2], 1]])], [[track(0), track(57)]])
    assert (result["total_tracks"], result["total_ghosts"]) == (2, 2)


def test_a_missing_hit_fails_only_where_there_are_particles():
    with pytest.raises(RuntimeError) as raised:
        run([event(3, [[1, [0, 1, 2], 1]])], [[track(0, 1), track(0, 57), track(58, 59)]])
    assert raised.value.args[0] == "Error: hit with id 57 not found in hit_to_mcp mapping"
    with pytest.raises(RuntimeError, match="^Error: hit with id -4 not found"):
        run([event(3, [[1, [0, 1, 2], 1]])], [[track(-4, 1)]])
    # Without particles the weights are empty rows: nothing is looked up.
    for data in (event(3), event(3, [])):
        result = run([data], [[track(0, 57)]])
        assert (result["total_tracks"], result["total_ghosts"]) == (1, 0)


def test_hit_efficiency_is_over_the_particles_distinct_hits():
    long = categories(run([event(10, [[1, list(range(10)), 1]])], [[track(0, 1, 2, 3, 4)]]))
    assert long["long"]["avg_hiteff"] == 50.0


# ---- Efficiency accumulation -------------------------------------------------------------------


def four_particle_event():
    """3 of 4 reconstructed, weights 1.0, 1.0 and 0.75, hit efficiencies 1.0, 0.5 and 1.0."""
    rows = [[1, [0, 1], 1], [2, [2, 3, 4, 5], 1], [3, [6, 7, 8], 1], [4, [9, 10], 1]]
    return event(21, rows), [track(0, 1), track(2, 3), track(6, 7, 8, 20)]


def test_one_event_of_the_worked_example():
    data, tracks = four_particle_event()
    long = categories(run([data], [tracks]))["long"]
    assert long == {
        "label": "long",
        "n_reco": 3,
        "n_particles": 4,
        "recoeffT": 75.0,
        "avg_recoeff": 75.0,
        "n_clones": 0,
        "clone_percentage": 0.0,
        "purityT": (1.0 + 1.0 + 0.75) * 100 / 3,
        "avg_purity": (1.0 + 1.0 + 0.75) / 3 * 100,
        "avg_hiteff": (1.0 + 0.5 + 1.0) / 3 * 100,
        "hit_eff_percentage": (1.0 + 0.5 + 1.0) * 100 / 3,
    }
    assert long["purityT"] == pytest.approx(91.6666666)


def test_events_accumulate_and_the_averages_follow_the_last_event():
    data, tracks = four_particle_event()
    second = event(4, [[1, [0, 1, 2, 3], 1]])
    long = categories(run([data, second], [tracks, [track(0, 1)]]))["long"]
    assert (long["n_particles"], long["n_reco"]) == (5, 4)
    assert long["recoeffT"] == 100 * 4 / 5 and long["avg_recoeff"] == 4 / 5 * 100
    assert long["avg_purity"] == 100.0 and long["avg_hiteff"] == 50.0
    assert long["purityT"] == (1.0 + 1.0 + 0.75 + 1.0) * 100 / 4
    assert long["hit_eff_percentage"] == (1.0 + 0.5 + 1.0 + 0.5) * 100 / 4


def test_a_category_seen_but_never_reconstructed():
    long = categories(run([event(7, [[1, [0, 1, 2, 3], 1]])], [[track(0, 5, 6)]]))["long"]
    assert (
        long["n_reco"],
        long["recoeffT"],
        long["purityT"],
        long["clone_percentage"],
        long["avg_purity"],
        long["hit_eff_percentage"],
    ) == (0, 0.0, 0.0, 0.0, 0.0, 0.0)
