"""``python -m trelmon_tools bench``: the table and the JSON record (figures are reported,
never judged against a speed)."""

import json
import subprocess
import sys

import pytest
from trelmon_tools.progress import available_processors


def command(*args, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "trelmon_tools", "bench", *args],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=cwd,
    )


def test_bench_prints_and_records_every_figure(tmp_path):
    out = tmp_path / "bench.json"
    result = command(
        "--generate",
        "2",
        "--seed",
        "4",
        "--repeat",
        "1",
        "--algorithm",
        "TrackFollowing",
        "--json",
        str(out),
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    record = json.loads(out.read_text())
    processors = available_processors()
    counts = ["1"] if processors == 1 else ["1", str(processors)]
    assert record["sample"] == {"kind": "generated", "events": 2, "seed": 4}
    assert record["processors"] == processors and record["repeat"] == 1
    [(name, finder)] = record["finders"].items()
    assert name == "TrackFollowing"
    assert list(finder["events_per_second"]) == counts
    assert all(v > 0 for v in finder["events_per_second"].values())
    assert finder["validation_events_per_second"] > 0 and finder["tracks_per_event"] > 0
    assert record["event_construction_per_second"] > 0
    assert record["resident_bytes_per_event"] > 0
    for kind in ("parquet", "json"):
        figures = record["files"][kind]
        assert figures["events"] == 2
        assert all(figures[f"{step}_seconds_per_event"] > 0 for step in ("read", "build", "solve"))

    lines = result.stdout.splitlines()
    assert lines[0].startswith("trelmon bench: 2 events generated with seed 4, ")
    assert lines[2].split()[:3] == ["finder", "events/s,", "1"]
    row = lines[3].split()
    assert row[0] == "TrackFollowing" and row[-1] == f"{finder['tracks_per_event']:.1f}"
    assert any(line.startswith("event construction") for line in lines)
    assert any(line.startswith("memory per held event") and "KiB" in line for line in lines)
    for label, kind in (("Parquet file", "parquet"), ("JSON files", "json")):
        [line] = [line for line in lines if line.startswith(label)]
        read = float(line[len(label) :].split()[0])
        assert read == round(1e3 * record["files"][kind]["read_seconds_per_event"], 3)
    assert lines[-1] == f"wrote {out}"


def test_bench_refuses_bad_settings_in_one_line(tmp_path):
    for args, message in (
        (["--algorithm", "Nope"], "unknown finder 'Nope'"),
        (["--param", "TrackFollowing.nope=1"], "TrackFollowing has no parameter 'nope'"),
        (["--events", str(tmp_path)], "no event files"),
    ):
        result = command(*args, cwd=tmp_path)
        assert result.returncode == 1 and result.stdout == ""
        assert result.stderr.startswith("python -m trelmon_tools bench: error: ")
        assert message in result.stderr and result.stderr.count("\n") == 1


def test_multiplicity_scan_prints_and_records_every_figure(tmp_path):
    out = tmp_path / "scan.json"
    result = command(
        "--multiplicity",
        "1,2",
        "--generate",
        "4",
        "--seed",
        "3",
        "--repeat",
        "1",
        "--algorithm",
        "TrackFollowing",
        "--algorithm",
        "GraphDFS",
        "--json",
        str(out),
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    record = json.loads(out.read_text())
    assert record["sample"] == {"kind": "generated", "events": 4, "seed": 3}
    rows = record["multiplicities"]
    # Half the events at twice the collisions, so about as many hits in all.
    assert [(r["factor"], r["collisions"], r["events"]) for r in rows] == [(1, 5, 4), (2, 10, 2)]
    assert rows[1]["hits_per_event"] > 1.5 * rows[0]["hits_per_event"]
    for row in rows:
        assert list(row["finders"]) == ["TrackFollowing", "GraphDFS"]
        tf, gd = row["finders"]["TrackFollowing"], row["finders"]["GraphDFS"]
        assert tf["work_unit"] == "hits" and tf["work_per_event"] == row["hits_per_event"]
        assert gd["work_unit"] == "segments" and gd["work_per_event"] > row["hits_per_event"]
        for f in (tf, gd):
            assert f["events_per_second"] > 0
            assert f["ms_per_event"] == pytest.approx(1e3 / f["events_per_second"])
            assert f["working_bytes"] is None or f["working_bytes"] > 0

    lines = result.stdout.splitlines()
    assert lines[0].startswith("trelmon bench --multiplicity: generated with seed 3, 4 events")
    assert lines[2].split()[:3] == ["finder", "multiplicity", "hits/event"]
    table = [line.split() for line in lines[3:7]]
    assert [(r[0], r[1], r[2]) for r in table] == [
        ("TrackFollowing", "1x", "(5)"),
        ("TrackFollowing", "2x", "(10)"),
        ("GraphDFS", "1x", "(5)"),
        ("GraphDFS", "2x", "(10)"),
    ]
    # The growth columns are relative to the first multiplicity.
    assert table[0][8:10] == ["1.00x", "1.00x"] and table[2][8:10] == ["1.00x", "1.00x"]
    segments = rows[1]["finders"]["GraphDFS"]["work_per_event"]
    growth = segments / rows[0]["finders"]["GraphDFS"]["work_per_event"]
    assert table[3][9] == f"{growth:.2f}x"
    assert lines[-1] == f"wrote {out}"


def test_multiplicity_refusals(tmp_path):
    for args, message in (
        (["--multiplicity", "0"], "multiplicities must be at least 1"),
        (["--multiplicity", "1,x"], "not a list of whole numbers"),
        (["--multiplicity", "--events", str(tmp_path)], "takes no --events"),
    ):
        result = command(*args, cwd=tmp_path)
        assert result.returncode != 0 and result.stdout == ""
        assert message in result.stderr
