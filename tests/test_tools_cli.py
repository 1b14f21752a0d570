"""The ``python -m trelmon_tools`` command line."""

import subprocess
import sys

import pytest
from trelmon_tools.cli import main
from trelmon_tools.generate import generate_event
from trelmon_tools.io import iter_events


def run(*args):
    return subprocess.run(
        [sys.executable, "-m", "trelmon_tools", *args], capture_output=True, text=True, timeout=120
    )


def plain(event):
    return {k: v.tolist() if hasattr(v, "tolist") else v for k, v in event.items()}


def test_generate_writes_the_seeded_sample(tmp_path):
    expected = [generate_event(40, i) for i in range(3)]
    out = tmp_path / "sample"
    result = run("generate", "--events", "3", "--seed", "40", "--out", str(out), "--format", "json")
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"wrote 3 events to {out}\n" and result.stderr == ""
    assert list(iter_events(out)) == expected
    # Parquet, the default: into a directory or a named file.
    for out, written in (
        (tmp_path / "pq", tmp_path / "pq" / "events.parquet"),
        (tmp_path / "new" / "s.parquet", tmp_path / "new" / "s.parquet"),
    ):
        result = run("generate", "--events", "3", "--seed", "40", "--out", str(out))
        assert result.returncode == 0, result.stderr
        assert result.stdout == f"wrote 3 events to {written}\n"
        assert [plain(e) for e in iter_events(written)] == expected


def test_parquet_and_json_samples_run_to_the_same_table(tmp_path):
    knobs = ("--collisions", "2", "--with-time")
    json_dir, parquet_file = tmp_path / "json", tmp_path / "s.parquet"
    for out, kind in ((json_dir, "json"), (parquet_file, "parquet")):
        made = run(
            "generate",
            "--events",
            "6",
            "--seed",
            "3",
            "--out",
            str(out),
            *knobs,
            "--format",
            kind,
            "--processes",
            "2",
        )
        assert made.returncode == 0, made.stderr
    tables = []
    for source in (json_dir, parquet_file):
        result = run("run", "--events", str(source), "--summary")
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert lines[0].startswith(f"trelmon: 6 events read from {source}, ")
        # Everything but the title and the measured speeds.
        tables.append([line for line in lines[1:] if not line.startswith("events per second")])
    assert tables[0] == tables[1]

    from trelmon_tools import run as run_module

    finders = run_module.configure_finders(["TrackFollowing"])
    metrics = [
        run_module.run_finders(run_module.directory_sample(source), finders)[0].metrics
        for source in (json_dir, parquet_file)
    ]
    assert metrics[0] == metrics[1]


def test_bad_parquet_file_is_one_line_naming_it(tmp_path):
    path = tmp_path / "s.parquet"
    assert run("generate", "--events", "3", "--out", str(path), "--collisions", "1").returncode == 0
    path.write_bytes(path.read_bytes()[:-100])
    result = run("run", "--events", str(path))
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.startswith(f"python -m trelmon_tools run: error: {path}: ")
    assert result.stderr.count("\n") == 1


def test_generate_passes_the_knobs(tmp_path, capsys):
    assert (
        main(
            [
                "generate",
                "--events",
                "1",
                "--seed",
                "2",
                "--out",
                str(tmp_path),
                "--collisions",
                "2",
                "--particles-per-collision",
                "10",
                "--beauty-pairs",
                "2",
                "--noise-fraction",
                "0",
                "--hit-efficiency",
                "0.9",
                "--with-time",
                "--strange-per-collision",
                "4",
                "--charm-per-collision",
                "1.5",
                "--hit-resolution",
                "0.02",
                "--sensor-faces",
                "1",
                "--format",
                "json",
            ]
        )
        == 0
    )
    expected = generate_event(
        2,
        n_collisions=2,
        particles_per_collision=10.0,
        beauty_pairs=2,
        strange_per_collision=4.0,
        charm_per_collision=1.5,
        hit_resolution=0.02,
        sensor_faces=1,
        noise_fraction=0.0,
        hit_efficiency=0.9,
        with_time=True,
    )
    assert list(iter_events(tmp_path)) == [expected]
    assert "wrote 1 events" in capsys.readouterr().out


def test_overwrite(tmp_path, capsys):
    json = ["--format", "json"]
    assert main(["generate", "--events", "3", "--out", str(tmp_path), *json]) == 0
    assert main(["generate", "--events", "1", "--out", str(tmp_path), *json]) == 1
    assert "already holds event files" in capsys.readouterr().err
    again = ["generate", "--events", "1", "--seed", "9", "--out", str(tmp_path), "--overwrite"]
    assert main([*again, *json]) == 0
    assert list(iter_events(tmp_path)) == [generate_event(9)]

    target = tmp_path / "s.parquet"
    assert main(["generate", "--events", "2", "--out", str(target)]) == 0
    before = target.read_bytes()
    assert main(["generate", "--events", "1", "--out", str(target)]) == 1
    assert "already exists" in capsys.readouterr().err and target.read_bytes() == before
    assert main([*again[:-2], str(target), "--overwrite"]) == 0
    assert [plain(e) for e in iter_events(target)] == [generate_event(9)]


@pytest.mark.parametrize(
    "args, status, message",
    [
        ([], 2, "the following arguments are required: COMMAND"),
        (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
        (["generate", "--out", "x"], 2, "the following arguments are required: --events"),
        (
            ["generate", "--events", "ten", "--out", "x"],
            2,
            "expected a non-negative integer, got 'ten'",
        ),
        (["generate", "--events", "-1", "--out", "x"], 2, "expected a non-negative integer"),
        (["generate", "--events", "1", "--seed", "1.5", "--out", "x"], 2, "got '1.5'"),
        (
            ["generate", "--events", "1", "--out", "x", "--noise-fraction", "2"],
            2,
            "expected a number from 0 to 1",
        ),
        (
            ["generate", "--events", "1", "--out", "x", "--noise-fraction", "1"],
            1,
            "noise_fraction must be below 1",
        ),
        (
            ["generate", "--events", "1", "--out", "x", "--particles-per-collision", "nan"],
            2,
            "expected a non-negative number",
        ),
        (
            ["generate", "--events", "1", "--out", "x", "--bogus"],
            2,
            "unrecognized arguments: --bogus",
        ),
        (["generate", "--events", "1", "--out", "x", "--sensor-faces", "3"], 2, "expected 1 or 2"),
    ],
)
def test_bad_input_is_one_line_and_a_failure_status(tmp_path, args, status, message):
    result = subprocess.run(
        [sys.executable, "-m", "trelmon_tools", *args],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
    )
    assert result.returncode == status
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1 and message in result.stderr
    assert result.stderr.startswith("python -m trelmon_tools")
    assert not (tmp_path / "x").exists()  # nothing written


def test_unwritable_output_is_one_line(tmp_path):
    target = tmp_path / "file"
    target.write_text("")
    result = run("generate", "--events", "1", "--out", str(target))
    assert result.returncode == 1
    assert result.stderr == f"python -m trelmon_tools generate: error: {target}: not a directory\n"


def test_help_lists_the_generate_command():
    result = run("--help")
    assert result.returncode == 0 and "generate" in result.stdout
