"""A sample processed in partitions gives exactly what one pass over all of it gives."""

import json
import os
import subprocess
import sys
from io import StringIO

import pyarrow.parquet as pq
import pytest
import trelmon
from hypothesis import given, settings
from hypothesis import strategies as st
from trelmon_tools import io, parquet, pipeline, run
from trelmon_tools.cli import main
from trelmon_tools.generate import generate_columns, generate_event

Validator = trelmon.Validator
FAST = ["TrackFollowing", "SearchByTripletTrie"]


def small_event(seed):
    return generate_event(seed, n_collisions=1, particles_per_collision=25.0, beauty_pairs=1)


def exact(value):
    # JSON text keeps every bit of a float and tells 1 from 1.0.
    return json.dumps(value, allow_nan=True)


def without_timing(table: str) -> list[str]:
    return [line for line in table.splitlines() if not line.startswith("events per second")]


@pytest.fixture(scope="module")
def reference():
    """25 generated events solved and validated all at once, the way run did before."""
    sample = run.generated_sample(25, seed=4)
    finders = run.configure_finders(FAST)
    return sample, finders, run.run_finders(sample, finders, tables=True)


@pytest.mark.parametrize("size", [1, 4, 25, 1000])
def test_partitions_reproduce_the_single_pass(reference, size):
    sample, finders, expected = reference
    outcome = pipeline.run_plan(
        pipeline.plan_generated(25, seed=4, partition_size=size),
        finders,
        tables=True,
        detailed=True,
    )
    assert outcome.sample.counts() == sample.counts()
    for want, got in zip(expected, outcome.results, strict=True):
        assert exact(got.metrics) == exact(want.metrics)
        assert got.tables.tracks.equals(want.tables.tracks)
        assert got.tables.particles.equals(want.tables.particles)
    assert without_timing(run.format_table(outcome.sample, outcome.results)) == without_timing(
        run.format_table(sample, expected)
    )
    assert run.run_record(outcome.sample, outcome.results)["sample"] == sample.source


def test_a_process_pool_gives_the_same(reference, tmp_path):
    sample, finders, expected = reference
    outcome = pipeline.run_plan(
        pipeline.plan_generated(25, seed=4, partition_size=6),
        finders,
        processes=2,
        detailed=True,
        output=tmp_path,
    )
    for want, got in zip(expected, outcome.results, strict=True):
        assert exact(got.metrics) == exact(want.metrics)
        assert pq.read_table(tmp_path / got.name / "tracks.parquet").equals(want.tables.tracks)


@pytest.fixture(scope="module")
def solved():
    """Events (some without truth) and track lists (some empty), for splitting at will."""
    events = [small_event(s) for s in range(12)]
    built = [trelmon.DetectorEvent.Event(e) for e in events]
    tracks = trelmon.ReconstructionAlgorithms.TrackFollowing().solve_batch(built)
    events[3] = {k: v for k, v in events[3].items() if k != "montecarlo"}
    tracks[5] = []
    return events, tracks


@settings(max_examples=25, deadline=None)
@given(cuts=st.lists(st.integers(0, 12), max_size=6))
def test_folding_terms_of_any_split_equals_the_validator(solved, cuts):
    events, tracks = solved
    bounds = sorted({0, 12, *cuts})
    # The detailed fold goes event by event; the plain one folds each block's columns at once.
    detailed, plain = pipeline.Validation(detailed=True), pipeline.Validation()
    for lo, hi in zip(bounds, bounds[1:], strict=False):
        terms = pipeline._terms(events[lo:hi], tracks[lo:hi])
        detailed.add(terms)
        plain.add(terms)
    expected = Validator.export_detailed_metrics_json(events, tracks, False)
    assert exact(detailed.summary()) == exact(expected)
    del expected["events"]
    assert exact(plain.summary()) == exact(expected)


def test_summary_lines_equal_the_printed_summary(solved, capfd):
    events, tracks = solved
    validation = pipeline.Validation()
    validation.add(pipeline._terms(events, tracks))
    Validator.print_validation_summary(events, tracks, False)
    printed = capfd.readouterr().out.splitlines()
    assert validation.summary_lines() == printed
    assert pipeline.Validation().summary_lines() == ["No events found."]


def test_parquet_partitions_keep_row_groups_whole(tmp_path):
    path = tmp_path / "events.parquet"
    parquet.write_events(path, generate_columns(30, 2, batch=8))
    plan = pipeline.plan_files(path, partition_size=20)
    # row groups of 8, 8, 8, 6: two fit in 20, a third would not
    assert [(p.row_groups, p.first, p.count) for p in plan.partitions] == [
        ((0, 1), 0, 16),
        ((2, 3), 16, 14),
    ]
    events, names = pipeline.read_partition(plan.partitions[1])
    assert names[0] == f"{path} row 16" and len(events) == 14
    finders = run.configure_finders(["TrackFollowing"])
    whole = run.directory_sample(path)
    expected = run.run_finders(whole, finders)
    for size in (1, 20):
        outcome = pipeline.run_plan(pipeline.plan_files(path, size), finders, detailed=True)
        assert exact(outcome.results[0].metrics) == exact(expected[0].metrics)
        assert outcome.sample.source == whole.source


@pytest.fixture
def json_dir(tmp_path):
    directory = tmp_path / "sample"
    io.write_sample(directory, (small_event(s) for s in range(20, 27)))
    return directory


def test_json_groups_and_an_unreadable_file(json_dir):
    finders = run.configure_finders(["TrackFollowing"])
    plan = pipeline.plan_files(json_dir, partition_size=3)
    assert [p.count for p in plan.partitions] == [3, 3, 1]
    expected = run.run_finders(run.directory_sample(json_dir), finders)
    assert exact(pipeline.run_plan(plan, finders).results[0].metrics["categories"]) == exact(
        expected[0].metrics["categories"]
    )

    files = io.event_files(json_dir)
    files[4].write_text("{not json")
    with pytest.raises(run.RunError, match=f"^{files[4]}: ") as failure:
        pipeline.run_plan(plan, finders)
    assert "\n" not in str(failure.value)

    outcome = pipeline.run_plan(plan, finders, skip_bad=True, detailed=True)
    assert len(outcome.skipped) == 1 and str(files[4]) in outcome.skipped[0]
    # the partition of files 3 to 5 is gone, and with it exactly those three events
    kept = [io.read_event(f) for k, f in enumerate(files) if k not in (3, 4, 5)]
    tracks = [finders[0].algorithm.solve_batch([trelmon.DetectorEvent.Event(e) for e in kept])][0]
    assert exact(outcome.results[0].metrics) == exact(
        Validator.export_detailed_metrics_json(kept, tracks, False)
    )
    assert outcome.sample.n_events == 4 and outcome.sample.source["events"] == 4


def test_a_parquet_file_with_a_broken_footer_fails_naming_it(tmp_path):
    good = tmp_path / "a.parquet"
    parquet.write_events(good, generate_columns(5, 0))
    bad = tmp_path / "b.parquet"
    bad.write_bytes(good.read_bytes()[:-100])
    finders = run.configure_finders(["TrackFollowing"])
    plan = pipeline.plan_files(tmp_path, partition_size=100)
    assert not plan.counted and plan.n_events == 5
    with pytest.raises(run.RunError, match=f"^{bad}: not a valid event file"):
        pipeline.run_plan(plan, finders)
    outcome = pipeline.run_plan(plan, finders, skip_bad=True)
    assert outcome.sample.n_events == 5 and len(outcome.skipped) == 1


def command_run(capsys, *args):
    status = main(["run", *args])
    out, err = capsys.readouterr()
    return status, out, err


def test_run_output_files_do_not_depend_on_partitions(tmp_path, capsys):
    runs = {}
    for size in (3, 1000):
        out = tmp_path / f"out{size}"
        status, text, err = command_run(
            capsys,
            "--generate",
            "12",
            "--algorithm",
            "TrackFollowing",
            "--summary",
            "--partition-size",
            str(size),
            "--output",
            str(out),
        )
        assert status == 0, err
        runs[size] = (out, text)
    (a, text_a), (b, text_b) = runs[3], runs[1000]
    for name in ("tracks.parquet", "particles.parquet"):
        assert (a / "TrackFollowing" / name).read_bytes() == (
            b / "TrackFollowing" / name
        ).read_bytes()
    assert without_timing(text_a.replace(str(a), "")) == without_timing(text_b.replace(str(b), ""))
    record_a, record_b = (json.loads((d / "run.json").read_text()) for d in (a, b))
    for record in (record_a, record_b):
        for finder in record["finders"].values():
            del finder["events_per_second"], finder["solve_seconds"]
    assert record_a == record_b

    # and the files hold what the in-memory run's truth tables hold
    sample = run.generated_sample(12, 0)
    [expected] = run.run_finders(sample, run.configure_finders(["TrackFollowing"]), tables=True)
    assert pq.read_table(a / "TrackFollowing" / "tracks.parquet").equals(expected.tables.tracks)
    assert pq.read_table(a / "TrackFollowing" / "particles.parquet").equals(
        expected.tables.particles
    )
    assert record_a["finders"]["TrackFollowing"]["validation"] == expected.metrics


def test_run_options_refused(capsys, json_dir):
    status, _, err = command_run(capsys, "--generate", "2", "--workers", "2")
    assert status == 1 and "--workers sizes the cluster that --dask starts" in err
    status, _, err = command_run(capsys, "--generate", "2", "--dask", "--processes", "2")
    assert status == 1 and "--processes applies without --dask" in err
    with pytest.raises(SystemExit) as refused:
        main(["run", "--generate", "2", "--partition-size", "0"])
    assert refused.value.code == 2
    assert "--partition-size: expected a positive integer" in capsys.readouterr().err
    (json_dir / "event_000000.json").write_text("[]")
    status, out, err = command_run(capsys, "--events", str(json_dir), "--partition-size", "2")
    assert status == 1 and err.count("\n") == 1 and "event_000000.json" in err and not out
    status, out, err = command_run(
        capsys,
        "--events",
        str(json_dir),
        "--partition-size",
        "2",
        "--algorithm",
        "TrackFollowing",
        "--skip-unreadable",
    )
    assert status == 0, err
    assert "5 events read from" in out
    assert "skipped 1 unreadable partitions:" in out and "event_000000.json" in out


def test_ctrl_c_ends_a_process_pool_run():
    import signal
    import subprocess
    import sys
    import time
    from pathlib import Path

    driver = subprocess.Popen(
        [sys.executable, "-m", "trelmon_tools", "run", "--generate", "4000", "--processes", "2"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    children = Path(f"/proc/{driver.pid}/task/{driver.pid}/children")
    deadline = time.monotonic() + 120
    while not children.read_text().split() and time.monotonic() < deadline:
        time.sleep(0.1)
    server = children.read_text().split()
    assert server, "the pool never started"
    time.sleep(1.0)  # into the partitions
    driver.send_signal(signal.SIGINT)
    out, err = driver.communicate(timeout=120)
    assert driver.returncode == 130, err
    assert err.endswith("run: interrupted\n") and out == ""
    # the pool's server and workers end with the driver
    deadline = time.monotonic() + 30
    while Path(f"/proc/{server[0]}").exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not Path(f"/proc/{server[0]}").exists()


def test_dask_without_distributed_says_what_to_install(monkeypatch, capsys):
    import sys

    monkeypatch.setitem(sys.modules, "distributed", None)  # import fails as if not installed
    status, out, err = command_run(capsys, "--generate", "2", "--dask")
    assert status == 1 and not out
    assert "needs dask's distributed scheduler: pip install" in err and err.count("\n") == 1


def _damage_column(path, group, column):
    """Overwrite the compressed pages of one column chunk of one row group."""
    chunk = pq.ParquetFile(path).metadata.row_group(group).column(column)
    data = bytearray(path.read_bytes())
    start, size = chunk.data_page_offset, chunk.total_compressed_size
    data[start : start + size] = bytes(size)
    path.write_bytes(bytes(data))


def test_a_damaged_row_group_fails_the_run_naming_it(tmp_path):
    events = [small_event(s) for s in range(12)]
    path = tmp_path / "s.parquet"
    parquet.write_events(path, events, row_group_events=4)
    _damage_column(path, 1, parquet.SCHEMA.names.index("x"))
    good = tmp_path / "good.parquet"
    parquet.write_events(good, events[:4] + events[8:], row_group_events=4)
    finders = run.configure_finders(FAST)
    for size in (4, 8, 100):  # the damaged group alone, with the first one, with both
        plan = pipeline.plan_files(path, partition_size=size)
        with pytest.raises(run.RunError, match=f"^{path}: not a valid event file: row group 1: "):
            pipeline.run_plan(plan, finders)
    # Skipping its partition leaves the figures of the other partitions' events, to the bit.
    outcome = pipeline.run_plan(pipeline.plan_files(path, partition_size=4), finders, skip_bad=True)
    expected = pipeline.run_plan(pipeline.plan_files(good, partition_size=4), finders)
    assert outcome.sample.counts() == expected.sample.counts()
    assert len(outcome.skipped) == 1 and "row group 1" in outcome.skipped[0]
    for want, got in zip(expected.results, outcome.results, strict=True):
        assert exact(got.metrics) == exact(want.metrics)


def test_terms_do_not_depend_on_the_thread_count(tmp_path):
    # The pool's size is fixed when it is first used: one fresh interpreter per thread count.
    script = (
        "import json, sys, trelmon\n"
        "from trelmon_tools import _native\n"
        "from trelmon_tools.generate import generate_event\n"
        "events = [generate_event(s, n_collisions=1) for s in range(9)]\n"
        "built = [trelmon.DetectorEvent.Event(e) for e in events]\n"
        "tracks = trelmon.ReconstructionAlgorithms.TrackFollowing().solve_batch(built)\n"
        "tracks[2] = []\n"
        "terms = _native.validation_terms(events, tracks)\n"
        "json.dump({k: [d, v.hex()] for k, (d, v) in terms.items()}, sys.stdout)\n"
    )
    outputs = []
    for threads in ("1", "3"):
        done = subprocess.run(
            [sys.executable, "-c", script],
            env={**os.environ, "TRELMON_NUM_THREADS": threads},
            capture_output=True,
            text=True,
            check=True,
        )
        outputs.append(json.loads(done.stdout))
    assert outputs[0] == outputs[1]
    assert len(bytes.fromhex(outputs[0]["tracks"][1])) == 9 * 8


def test_terms_of_a_batch_are_those_of_each_event_in_order(solved):
    events, tracks = solved
    from trelmon_tools import _native

    whole = _native.validation_terms(events, tracks)
    for name, (dtype, data) in whole.items():
        alone = b"".join(
            _native.validation_terms([e], [t])[name][1] for e, t in zip(events, tracks, strict=True)
        )
        assert (name, dtype, data) == (name, dtype, alone)
    # A bad event anywhere in the batch fails the batch as it fails alone.
    bad = {**events[7], "x": "not numbers"}
    with pytest.raises(TypeError) as alone:
        _native.validation_terms([bad], [tracks[7]])
    with pytest.raises(TypeError) as batch:
        _native.validation_terms([*events[:7], bad, *events[8:]], tracks)
    assert str(batch.value) == str(alone.value)


class _Terminal(StringIO):
    def isatty(self):
        return True


def test_the_partition_bar_is_drawn_on_a_terminal_only(monkeypatch):
    finders = run.configure_finders(["TrackFollowing"])
    plan = pipeline.plan_generated(4, seed=1, partition_size=2)
    figures = []
    for stream, drawn in ((StringIO(), False), (_Terminal(), True)):
        monkeypatch.setattr(sys, "stderr", stream)
        outcome = pipeline.run_plan(plan, finders)
        figures.append(exact(outcome.results[0].metrics))
        assert ("partitions" in stream.getvalue()) is drawn
    assert figures[0] == figures[1]
