"""The module frame: submodules, registration order, docstrings, argument handling, and the
mapping of native failures onto Python exceptions."""

import ctypes
import os
import subprocess
import sys
import warnings

import pytest
import trelmon
from trelmon_tools import _selftest as selftest

DE = trelmon.DetectorEvent


class TestModuleTree:
    def test_top_level_holds_the_three_submodules_in_order(self):
        assert trelmon.__all__ == ["ReconstructionAlgorithms", "Validator", "DetectorEvent"]
        assert trelmon.__doc__ == ""
        public = {name for name in vars(trelmon) if not name.startswith("__")}
        assert public == set(trelmon.__all__)

    def test_submodules_have_bare_names_and_stay_out_of_sys_modules(self):
        for name in trelmon.__all__:
            sub = getattr(trelmon, name)
            assert sub.__name__ == name
            assert name not in sys.modules
            assert f"trelmon.{name}" not in sys.modules
        with pytest.raises(ModuleNotFoundError):
            __import__("trelmon.DetectorEvent")
        from trelmon import DetectorEvent

        assert DetectorEvent.Hit is DE.Hit

    def test_detector_event_members_in_registration_order(self):
        assert DE.__all__ == ["Hit", "Track", "Module", "Event"]
        for name in DE.__all__:
            assert getattr(DE, name).__module__ == "DetectorEvent"

    def test_algorithm_and_validator_members_in_registration_order(self):
        algorithms = trelmon.ReconstructionAlgorithms
        assert algorithms.__all__ == ["TrackFollowing", "GraphDFS", "SearchByTripletTrie"]
        for name in algorithms.__all__:
            assert getattr(algorithms, name).__module__ == "ReconstructionAlgorithms"
        assert trelmon.Validator.__all__ == [
            "print_validation_summary",
            "compute_tracking_efficiency",
            "export_validation_to_json",
            "export_detailed_metrics_json",
        ]

    def test_an_argument_of_the_wrong_class_names_both_classes(self):
        with pytest.raises(TypeError) as info:
            trelmon.ReconstructionAlgorithms.TrackFollowing().solve(42)
        assert str(info.value) == "argument 'event': 'int' object cannot be converted to 'Event'"

    def test_record_classes_have_empty_docstrings_and_stored_signatures(self):
        for cls in (DE.Hit, DE.Track, DE.Module, DE.Event):
            assert cls.__doc__ == ""
        assert DE.Track.add_hit.__text_signature__ == "($self, hit)"
        assert DE.Module.hits.__text_signature__ == "($self)"
        assert DE.Event.module_zs.__doc__ == "For each module, a vector of unique z values."

    def test_classes_define_no_comparison_hash_or_setters(self):
        a, b = DE.Hit(0, 0, 0, 1), DE.Hit(0, 0, 0, 1)
        assert a != b and a == a
        assert hash(a) != hash(b) or a is b
        with pytest.raises(AttributeError):
            a.x = 3.0
        with pytest.raises(TypeError):
            DE.Hit.extra = 1

    def test_second_initialisation_in_one_process_is_refused(self):
        init = ctypes.PyDLL(trelmon.__file__).PyInit_trelmon
        init.restype = ctypes.py_object
        with pytest.raises(ImportError, match="once per process"):
            init()
        assert trelmon.DetectorEvent.Hit(0, 0, 0, 1).id == 1


class TestArgumentParsing:
    def test_positional_and_keyword_arguments_land_in_their_slots(self):
        assert selftest.parse(1) == (1, None, None)
        assert selftest.parse(1, c=3) == (1, None, 3)
        assert selftest.parse(c=3, a=1, b=2) == (1, 2, 3)

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: selftest.parse(), "parse() missing 1 required positional argument: 'a'"),
            (
                lambda: selftest.parse(1, 2, 3, 4),
                "parse() takes from 1 to 3 positional arguments but 4 were given",
            ),
            (lambda: selftest.parse(1, a=2), "parse() got multiple values for argument 'a'"),
            (lambda: selftest.parse(1, d=2), "parse() got an unexpected keyword argument 'd'"),
            (
                lambda: DE.Hit(),
                "Hit.__new__() missing 4 required positional arguments:"
                " 'x', 'y', 'z', and 'hit_id'",
            ),
            (
                lambda: DE.Hit(1, 2),
                "Hit.__new__() missing 2 required positional arguments: 'z' and 'hit_id'",
            ),
            (
                lambda: DE.Track([], []),
                "Track.__new__() takes 1 positional argument but 2 were given",
            ),
            (
                lambda: DE.Track([]).add_hit(),
                "Track.add_hit() missing 1 required positional argument: 'hit'",
            ),
        ],
    )
    def test_standard_messages(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_keyword_names_must_be_strings(self):
        with pytest.raises(TypeError, match="keywords must be strings"):
            DE.Hit(1, 2, 3, 4, **{1: 2})


class _Floaty:
    def __float__(self):
        return 2.5


class _Indexy:
    def __index__(self):
        return 7


class TestConversions:
    @pytest.mark.parametrize(
        "value, expected", [(1.5, 1.5), (3, 3.0), (True, 1.0), (_Floaty(), 2.5), (_Indexy(), 7.0)]
    )
    def test_floats_accept_numbers(self, value, expected):
        assert selftest.convert("float", value) == expected

    def test_floats_refuse_strings_naming_the_argument(self):
        with pytest.raises(TypeError, match=r"^argument 'value': must be real number, not str$"):
            selftest.convert("float", "1.5")

    @pytest.mark.parametrize(
        "kind, low, high",
        [
            ("int32", -(2**31), 2**31 - 1),
            ("uint8", 0, 255),
            ("uint32", 0, 2**32 - 1),
            ("uint64", 0, 2**64 - 1),
        ],
    )
    def test_integer_ranges_are_exact(self, kind, low, high):
        assert selftest.convert(kind, low) == low
        assert selftest.convert(kind, high) == high
        for outside in (low - 1, high + 1, -(2**70), 2**70):
            with pytest.raises(OverflowError):
                selftest.convert(kind, outside)

    def test_integers_accept_index_objects_and_refuse_floats(self):
        np = pytest.importorskip("numpy")
        assert selftest.convert("int32", np.int64(-5)) == -5
        assert selftest.convert("uint32", _Indexy()) == 7
        assert selftest.convert("int32", True) == 1
        with pytest.raises(
            TypeError,
            match="^argument 'value': 'float' object cannot be interpreted as an integer$",
        ):
            selftest.convert("int32", 1.0)

    @pytest.mark.parametrize("value", [1, 0, None, "True", 1.0])
    def test_booleans_are_exactly_true_or_false(self, value):
        with pytest.raises(TypeError) as info:
            selftest.convert("bool", value)
        assert (
            str(info.value)
            == f"argument 'value': '{type(value).__name__}' object cannot be converted to 'PyBool'"
        )
        assert selftest.convert("bool", True) is True
        assert selftest.convert("bool", False) is False

    def test_pairs_are_tuples_of_two(self):
        assert selftest.convert("pair", (1, 2.5)) == (1.0, 2.5)
        with pytest.raises(
            TypeError, match="^argument 'value': 'list' object cannot be converted to 'PyTuple'$"
        ):
            selftest.convert("pair", [1, 2])
        with pytest.raises(ValueError) as info:
            selftest.convert("pair", (1, 2, 3))
        assert str(info.value) == "expected tuple of length 2, but got tuple of length 3"

    def test_lists_accept_any_sequence_but_str(self):
        np = pytest.importorskip("numpy")
        assert selftest.convert("float_list", (1, 2)) == [1.0, 2.0]
        assert selftest.convert("float_list", np.array([0.5, 1.5])) == [0.5, 1.5]
        assert selftest.convert("float_list", range(3)) == [0.0, 1.0, 2.0]
        for bad in ("12", 5, {1: 2}, (x for x in [1.0])):
            with pytest.raises(TypeError, match="cannot be converted to 'Sequence'"):
                selftest.convert("float_list", bad)

    def test_a_list_that_shrinks_while_converting_is_read_safely(self):
        items = [1.0, 2.0, 3.0]

        class Shrinker:
            def __float__(self):
                items.clear()
                return 9.0

        items.insert(1, Shrinker())
        assert selftest.convert("float_list", items) == [1.0, 9.0]


class TestFailureMapping:
    def test_panic_is_a_base_exception_that_except_exception_does_not_catch(self):
        with pytest.raises(BaseException) as info:
            try:
                selftest.fail("logic", "broken invariant")
            except Exception:  # noqa: BLE001 - the point is that this does not catch it
                pytest.fail("PanicException was caught by 'except Exception'")
        panic = type(info.value)
        assert panic.__name__ == "PanicException"
        assert panic.__module__ == "pyo3_runtime"
        assert panic.__bases__ == (BaseException,)
        assert str(info.value) == "broken invariant"
        assert selftest.parse(1) == (1, None, None)  # the interpreter is still usable

    def test_non_standard_exceptions_also_become_panics(self):
        with pytest.raises(BaseException) as info:
            selftest.fail("other")
        assert type(info.value).__name__ == "PanicException"

    @pytest.mark.parametrize(
        "kind, exception",
        [
            ("memory", MemoryError),
            ("value", ValueError),
            ("key", KeyError),
            ("runtime", RuntimeError),
        ],
    )
    def test_named_failures_keep_their_class(self, kind, exception):
        with pytest.raises(exception):
            selftest.fail(kind, "message")


class TestWorkerPool:
    def test_results_come_back_in_input_order(self):
        assert selftest.parallel(0) == []
        assert selftest.parallel(1000) == [i * i for i in range(1000)]

    def test_a_failing_item_raises_a_panic_on_the_calling_thread(self):
        with pytest.raises(BaseException) as info:
            selftest.parallel(500, failing=250)
        assert type(info.value).__name__ == "PanicException"
        assert str(info.value) == "item 250 failed on purpose"
        assert selftest.parallel(10) == [i * i for i in range(10)]

    @pytest.mark.parametrize("setting, expected", [("1", 1), ("3", 3), ("", None)])
    def test_thread_count_comes_from_the_environment_or_the_affinity_mask(self, setting, expected):
        if expected is None:
            expected = len(os.sched_getaffinity(0))
        code = (
            "from trelmon_tools import _selftest as s; print(s.pool_threads(), s.parallel(50)[-1])"
        )
        env = dict(os.environ, TRELMON_NUM_THREADS=setting)
        out = subprocess.run(
            [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
        )
        assert out.stdout.split() == [str(expected), str(49 * 49)]

    def test_a_bad_thread_setting_is_reported(self):
        code = "from trelmon_tools import _selftest as s; s.parallel(3)"
        env = dict(os.environ, TRELMON_NUM_THREADS="many")
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
        assert out.returncode != 0
        assert "TRELMON_NUM_THREADS must be a whole number from 1 to 4096, not 'many'" in out.stderr

    def test_a_forked_child_gets_a_pool_of_its_own(self):
        selftest.parallel(20)  # make sure the parent's pool exists
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads is the point
            pid = os.fork()
        if pid == 0:
            ok = selftest.parallel(100) == [i * i for i in range(100)]
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
