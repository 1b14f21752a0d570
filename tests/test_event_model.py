"""Hit, Module, Track and Event as Python sees them: text forms, defaults, copies, and the
construction of an event from its dictionary."""

import decimal
import gc
import math
import re
import sys
import weakref

import pytest
import trelmon
from conftest import event_dict
from hypothesis import given
from hypothesis import strategies as st

DE = trelmon.DetectorEvent
Hit, Track, Module, Event = DE.Hit, DE.Track, DE.Module, DE.Event


def debug_x(x):
    """The debug form of a float, read back from a module repr."""
    text = repr(Module(0, 0.0, 0, 1, [Hit(x, 0, 0, 1)]))
    return re.search(r"x: (.*?), y:", text).group(1)


def plain_x(x):
    return repr(Hit(x, 0, 0, 1)).split("{")[1].split(",")[0]


class TestHit:
    def test_defaults(self):
        hit = Hit(0, 0, 0, 5)
        assert (hit.id, hit.module_number, hit.t, hit.with_t) == (5, -1, 0.0, False)
        assert repr(hit) == str(hit) == "#5 module -1 {0, 0, 0}"
        assert type(hit.x) is float and type(hit.id) is int and type(hit.with_t) is bool

    def test_keywords_and_none_select_defaults(self):
        hit = Hit(x=1, y=2, z=3, hit_id=4, module=None, t=None, with_t=None)
        assert (hit.x, hit.y, hit.z, hit.id, hit.module_number, hit.t, hit.with_t) == (
            1.0,
            2.0,
            3.0,
            4,
            -1,
            0.0,
            False,
        )

    def test_time_is_shown_only_with_with_t(self):
        assert repr(Hit(0, 0, 0, 5, t=3.5)) == "#5 module -1 {0, 0, 0}"
        assert Hit(0, 0, 0, 5, t=3.5).with_t is False
        assert repr(Hit(0, 0, 0, 5, t=3.5, with_t=True)) == "#5 module -1 {0, 0, 0, 3.5}"
        assert repr(Hit(1.5, -2.0, 310.0, 17, 4, 0.25, True)) == "#17 module 4 {1.5, -2, 310, 0.25}"
        assert repr(Hit(1.5, -2.0, 310.0, 17, 4)) == "#17 module 4 {1.5, -2, 310}"

    @pytest.mark.parametrize(
        "value, text",
        [
            (2.0, "2"),
            (0.25, "0.25"),
            (-0.0, "-0"),
            (1e-7, "0.0000001"),
            (1e20, "100000000000000000000"),
            (0.1 + 0.2, "0.30000000000000004"),
            (math.nan, "NaN"),
            (math.inf, "inf"),
            (-math.inf, "-inf"),
        ],
    )
    def test_plain_float_form(self, value, text):
        assert plain_x(value) == text

    @given(st.floats(allow_nan=False, allow_infinity=False))
    def test_plain_form_reads_back_exactly_and_never_uses_an_exponent(self, value):
        text = plain_x(value)
        assert "e" not in text
        assert float(text) == value and math.copysign(1, float(text)) == math.copysign(1, value)

    @pytest.mark.parametrize("sign", [1.0, -1.0])
    @pytest.mark.parametrize(
        "value, digits",
        [
            (2.0**53, "9007199254740992"),
            (2.0**53 + 2, "9007199254740994"),
            (2.0**53 - 1, "9007199254740991"),
            (1e16, "1" + "0" * 16),
            (1e17, "1" + "0" * 17),
            (1e22, "1" + "0" * 22),
            (1e23, "1" + "0" * 23),
            (sys.float_info.max, "17976931348623157" + "0" * 292),
        ],
    )
    def test_large_magnitudes_print_their_shortest_digits_padded_with_zeros(
        self, sign, value, digits
    ):
        assert plain_x(sign * value) == ("-" if sign < 0 else "") + digits

    @given(
        st.floats(min_value=2.0**53, allow_infinity=False)
        | st.floats(max_value=-(2.0**53), allow_infinity=False)
    )
    def test_large_magnitudes_match_the_shortest_round_trip_digits(self, value):
        # Python's repr is the shortest round-trip form; written out without an exponent it is
        # the reference.
        expected = format(decimal.Decimal(repr(value)).to_integral_value(), "f")
        assert plain_x(value) == expected

    @pytest.mark.parametrize(
        "value, text",
        [
            (2.0, "2.0"),
            (0.0, "0.0"),
            (-0.0, "-0.0"),
            (1.5, "1.5"),
            (1e-7, "1e-7"),
            (1.5e-7, "1.5e-7"),
            (1e-4, "0.0001"),
            (9.9e-5, "9.9e-5"),
            (1e20, "1e20"),
            (1e16, "1e16"),
            (1e15, "1000000000000000.0"),
            (-2.5e300, "-2.5e300"),
            (math.nan, "NaN"),
            (-math.inf, "-inf"),
        ],
    )
    def test_debug_float_form(self, value, text):
        assert debug_x(value) == text

    @given(st.floats(allow_nan=False, allow_infinity=False))
    def test_debug_form_reads_back_exactly(self, value):
        assert float(debug_x(value)) == value

    def test_conversion_errors(self):
        with pytest.raises(
            TypeError, match="^argument 'with_t': 'int' object cannot be converted to 'PyBool'$"
        ):
            Hit(1.0, 2.0, 3.0, 7, with_t=1)
        with pytest.raises(TypeError, match="^argument 'z': "):
            Hit(1, 2, "3", 7)
        with pytest.raises(TypeError, match="^argument 'hit_id': "):
            Hit(1, 2, 3, 7.0)
        with pytest.raises(OverflowError):
            Hit(1, 2, 3, 2**31)
        with pytest.raises(OverflowError):
            Hit(1, 2, 3, 1, module=-(2**31) - 1)
        assert Hit(1, 2, 3, 7).x == 1.0  # integers are accepted as floats

    def test_no_value_is_tested_beyond_its_type(self):
        hit = Hit(math.nan, math.inf, -math.inf, -3, 999)
        assert math.isnan(hit.x) and hit.id == -3 and hit.module_number == 999


class TestModule:
    HITS = [Hit(1.5, -2.0, 310.0, 7, 3), Hit(0, 0, 311.0, 8, 3), Hit(1, 1, 312.0, 9, 4)]

    def test_repr(self):
        module = Module(3, 310.0, 0, 1, self.HITS)
        assert repr(module) == (
            "module 3:\n At z: 310.0\n Number of hits: 1\n Hits: "
            "[Hit { id: 7, x: 1.5, y: -2.0, z: 310.0, t: 0.0, module_number: 3, with_t: false }]"
        )
        assert repr(Module(3, 310.0, 2, 2, self.HITS)).endswith("Number of hits: 0\n Hits: []")

    def test_hits_are_the_slice_as_new_objects(self):
        module = Module(3, 310.0, 1, 3, self.HITS)
        assert [h.id for h in module.hits()] == [8, 9]
        assert module.hits() is not module.hits()
        assert module.hits()[0] is not module.hits()[0]
        assert module.module_number == 3

    @pytest.mark.parametrize("start, end", [(2, 1), (0, 4), (4, 4)])
    def test_invalid_indices(self, start, end):
        with pytest.raises(ValueError) as info:
            Module(3, 310.0, start, end, self.HITS)
        assert str(info.value) == (
            "Invalid hit indices: hit_end_index must be >= hit_start_index"
            " and within bounds of global_hits"
        )
        Module(3, 310.0, 0, len(self.HITS), self.HITS)

    def test_conversion_errors(self):
        with pytest.raises(OverflowError):
            Module(-1, 0.0, 0, 0, [])
        with pytest.raises(OverflowError):
            Module(1, 0.0, -1, 0, [])
        with pytest.raises(
            TypeError, match="^argument 'global_hits': 'int' object cannot be converted to 'Hit'$"
        ):
            Module(1, 0.0, 0, 1, [1])

    def test_stored_hits_are_copies(self):
        hits = list(self.HITS)
        module = Module(3, 310.0, 0, 3, hits)
        hits.clear()
        assert len(module.hits()) == 3


class TestTrack:
    def test_empty_track(self):
        track = Track([])
        assert track.hits == []
        assert track.missed_last_module is False and track.missed_penultimate_module is False
        assert repr(track) == "Track with 0 hits: []"

    def test_add_hit_appends_copies_without_checks(self):
        hit = Hit(1, 2, 3, 4, 5)
        track = Track([])
        assert track.add_hit(hit) is None
        track.add_hit(hit=hit)
        assert [h.id for h in track.hits] == [4, 4]
        assert track.hits[0] is not hit
        assert track.hits is not track.hits
        assert (
            repr(track)
            == "Track with 2 hits: ["
            + ", ".join(
                ["Hit { id: 4, x: 1.0, y: 2.0, z: 3.0, t: 0.0, module_number: 5, with_t: false }"]
                * 2
            )
            + "]"
        )

    def test_constructor_copies_the_list(self):
        hits = [Hit(0, 0, 0, 1)]
        track = Track(hits)
        hits.append(Hit(0, 0, 0, 2))
        assert len(track.hits) == 1

    def test_bad_elements(self):
        with pytest.raises(
            TypeError, match="^argument 'hits': 'str' object cannot be converted to 'Sequence'$"
        ):
            Track("ab")
        with pytest.raises(
            TypeError, match="^argument 'hit': 'Track' object cannot be converted to 'Hit'$"
        ):
            Track([]).add_hit(Track([]))


class TestEventConstruction:
    def small(self, **kw):
        data = event_dict({0: [(1, 0, 10), (2, 0, 10)], 1: [(3, 0, 12)]}, **kw)
        assert data["module_prefix_sum"][:3] == [0, 2, 3]
        return data

    def test_hits_ids_and_modules(self):
        event = Event(self.small())
        assert event.number_of_hits == 3
        assert [(h.id, h.module_number) for h in event.hits] == [(0, 0), (1, 0), (2, 1)]
        assert [h.id for h in event.modules[1].hits()] == [2]
        assert len(event.modules) == 52
        assert [m.module_number for m in event.modules] == list(range(52))
        assert event.module_prefix_sum == [0, 2] + [3] * 51
        assert event.description == "test event"

    def test_times_follow_the_presence_of_t(self):
        assert all(h.with_t is False and h.t == 0.0 for h in Event(self.small()).hits)
        timed = Event(self.small(with_t=True))
        assert [(h.with_t, h.t) for h in timed.hits] == [(True, 0.0), (True, 0.5), (True, 1.0)]
        data = self.small()
        data["t"] = None
        with pytest.raises(
            TypeError, match="^'NoneType' object cannot be converted to 'Sequence'$"
        ):
            Event(data)

    def test_montecarlo_is_the_very_object(self):
        truth = {"particles": []}
        data = self.small(montecarlo=truth)
        event = Event(data)
        assert event.montecarlo is truth
        assert Event(self.small()).montecarlo is None

    def test_properties_return_new_objects(self):
        event = Event(self.small())
        assert event.hits is not event.hits
        assert event.hits[0] is not event.hits[0]
        assert event.modules[0] is not event.modules[0]
        assert event.module_zs is not event.module_zs

    def test_module_zs_are_distinct_in_order_of_first_appearance(self):
        data = event_dict(
            {5: [(0, 0, 12.0), (0, 0, 10.0), (0, 0, 12.0), (0, 0, -0.0), (0, 0, 0.0)]}
        )
        event = Event(data)
        zs = event.module_zs[5]
        assert zs == [12.0, 10.0, -0.0] and math.copysign(1, zs[2]) == -1
        assert event.module_zs[4] == []
        assert "At z: 12.0" in repr(event.modules[5])

    def test_all_nans_count_as_one_z(self):
        data = event_dict({0: [(0, 0, math.nan), (0, 0, math.nan), (0, 0, 1.0)]})
        zs = Event(data).module_zs[0]
        assert len(zs) == 2 and math.isnan(zs[0]) and zs[1] == 1.0

    def test_many_distinct_z_values(self):
        data = event_dict({0: [(0, 0, float(z % 40)) for z in range(100)]})
        assert Event(data).module_zs[0] == [float(z) for z in range(40)]

    def test_a_module_without_hits_has_nan_z(self):
        event = Event(self.small())
        assert "At z: NaN" in repr(event.modules[7])
        assert event.modules[7].hits() == []

    def test_longer_coordinate_lists_are_accepted(self):
        data = self.small()
        for key in ("x", "y", "z"):
            data[key] = data[key] + [99.0, 98.0]
        assert Event(data).number_of_hits == 3

    def test_prefix_sums_starting_at_one(self):
        data = event_dict({m: [(0, 0, m)] for m in range(52)})
        data["module_prefix_sum"] = [p + 1 for p in data["module_prefix_sum"]]
        for key in ("x", "y", "z"):
            data[key].append(0.0)
        with pytest.raises(ValueError, match="^Invalid hit indices"):
            Event(data)

    def test_decreasing_prefix_sums(self):
        data = event_dict({m: [(0, 0, m)] for m in range(52)})
        data["module_prefix_sum"][10] = 3
        with pytest.raises(ValueError, match="^Invalid hit indices"):
            Event(data)

    def test_not_a_dictionary(self):
        with pytest.raises(TypeError) as info:
            Event([])
        assert (
            str(info.value) == "argument 'json_data': 'list' object cannot be converted to 'PyDict'"
        )

    @pytest.mark.parametrize(
        "key", ["description", "montecarlo", "module_prefix_sum", "x", "y", "z"]
    )
    def test_missing_key(self, key):
        data = self.small()
        del data[key]
        with pytest.raises(KeyError) as info:
            Event(data)
        assert info.value.args == (key,)

    def test_short_prefix_sums(self):
        data = self.small()
        data["module_prefix_sum"] = data["module_prefix_sum"][:50]
        with pytest.raises(ValueError) as info:
            Event(data)
        assert str(info.value) == "'module_prefix_sum' has 50 entries, 3 fewer than the 53 needed"

    @pytest.mark.parametrize("key", ["x", "y", "z", "t"])
    def test_short_coordinate_list(self, key):
        data = self.small(with_t=True)
        data[key] = data[key][:1]
        with pytest.raises(ValueError) as info:
            Event(data)
        assert (
            str(info.value)
            == f"'{key}' is 2 short: 'module_prefix_sum' lays out 3 hits but it holds 1"
        )

    @pytest.mark.parametrize(
        "key, value, exception",
        [
            ("description", 5, TypeError),
            ("module_prefix_sum", [0, -1] + [0] * 51, OverflowError),
            ("module_prefix_sum", [0, 1.0] + [0] * 51, TypeError),
            ("module_prefix_sum", "0" * 53, TypeError),
            ("x", [1.0, "2", 3.0], TypeError),
            ("y", 7, TypeError),
        ],
    )
    def test_conversion_errors_are_not_prefixed(self, key, value, exception):
        data = self.small()
        data[key] = value
        with pytest.raises(exception) as info:
            Event(data)
        assert not str(info.value).startswith("argument")

    def test_dictionary_subclasses_and_tuples_are_accepted(self):
        class Sub(dict):
            pass

        data = Sub(self.small())
        data["x"] = tuple(data["x"])
        assert Event(data).hits[2].x == 3.0

    def test_an_event_in_a_reference_cycle_is_collected(self):
        class Truth:
            pass

        truth = Truth()
        event = Event(self.small(montecarlo=truth))
        truth.event = event
        alive = weakref.ref(truth)
        del truth, event
        gc.collect()
        assert alive() is None
