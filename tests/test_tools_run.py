"""The main job: ``python -m trelmon_tools run`` and the steps behind it."""

import io as text_io
import json
import subprocess
import sys

import pytest
import trelmon
from trelmon_tools import run, truth
from trelmon_tools.cli import main
from trelmon_tools.generate import generate_event
from trelmon_tools.io import write_sample

FINDERS = list(trelmon.ReconstructionAlgorithms.__all__)
Validator = trelmon.Validator


def small_event(seed):
    return generate_event(seed, n_collisions=1, particles_per_collision=25.0, beauty_pairs=1)


@pytest.fixture(scope="module")
def sample_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("sample")
    write_sample(directory, (small_event(s) for s in (11, 12, 13)))
    return directory


@pytest.fixture(scope="module")
def sample(sample_dir):
    return run.directory_sample(sample_dir)


def command(*args, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "trelmon_tools", *args],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=cwd,
    )


def table_cells(stdout):
    """{row label: [cell per finder]} of the printed comparison, and the finder names."""
    lines = stdout.splitlines()
    header = lines[2].split()
    rows, section = {}, None
    for line in lines[3:]:
        if not line.strip():
            break
        if not line.startswith(" ") and "(" in line and "particles)" in line:
            section = line.split(" (")[0]
            continue
        cells = line[len(line) - len(line.lstrip()) :].rsplit(None, len(header))
        label = cells[0] if not line.startswith(" ") else f"{section}: {cells[0]}"
        rows[label] = cells[1:]
    return header, rows


def test_run_prints_the_table_and_writes_json_results_and_figures(sample_dir, tmp_path):
    out = tmp_path / "run.json"
    result = command(
        "run",
        "--events",
        str(sample_dir),
        "--json",
        str(out),
        "--output",
        str(tmp_path / "results"),
        "--plots",
        str(tmp_path / "figures"),
        "--summary",
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""  # no progress bars away from a terminal

    record = json.loads(out.read_text())
    assert record["sample"] == {"kind": "directory", "events": 3, "directory": str(sample_dir)}
    assert list(record["finders"]) == FINDERS

    assert result.stdout.startswith(f"trelmon: 3 events read from {sample_dir}, ")
    header, rows = table_cells(result.stdout)
    assert header == FINDERS
    for column, name in enumerate(FINDERS):
        entry = record["finders"][name]
        validation = entry["validation"]
        assert list(validation["events"]) == ["1", "2", "3"]
        assert entry["tracks_per_event"] == validation["total_tracks"] / 3
        assert rows["tracks per event"][column] == f"{entry['tracks_per_event']:.1f}"
        assert rows["ghost rate"][column] == f"{validation['overall_ghost_rate']:.1f}%"
        assert entry["events_per_second"] > 0
        by_label = {c["label"]: c for c in validation["categories"]}
        assert {"velo", "long"} <= set(by_label)
        for label, c in by_label.items():
            for row, key in (
                ("reconstruction efficiency", "recoeffT"),
                ("clone rate", "clone_percentage"),
                ("purity", "purityT"),
                ("hit efficiency", "hit_eff_percentage"),
            ):
                assert rows[f"{label}: {row}"][column] == f"{c[key]:.1f}%"
    # Sections come in category order.
    sections = [
        line.split(" (")[0]
        for line in result.stdout.splitlines()
        if "particles)" in line and not line.startswith(" ")
    ]
    assert sections == [c for c in truth.CATEGORIES if c in sections]

    # --summary: each finder's name, then the validator's own summary of its tracks.
    for name in FINDERS:
        position = result.stdout.index(f"\n{name}:\n")
        total = record["finders"][name]["validation"]["total_tracks"]
        assert result.stdout[position:].splitlines()[2].startswith(f"{total} tracks including")

    # --output: the same record, and each finder's tables, which sum to its validation
    stored = json.loads((tmp_path / "results" / "run.json").read_text())
    assert stored["finders"] == record["finders"] and stored["sample"] == record["sample"]
    assert stored["threads"] >= 1 and stored["versions"]["pyarrow"]
    sums = results_summed(tmp_path / "results", FINDERS)
    for name in FINDERS:
        validation = record["finders"][name]["validation"]
        assert sums[name]["tracks"] == validation["total_tracks"]
        assert sums[name]["ghosts"] == validation["total_ghosts"]
        for c in validation["categories"]:
            assert sums[name][c["label"]] == [c["n_particles"], c["n_reco"], c["n_clones"]]
    assert sorted(p.name for p in (tmp_path / "results").iterdir()) == sorted(
        ["run.json", *FINDERS]
    )

    figures = sorted(p.name for p in (tmp_path / "figures").iterdir())
    assert figures == sorted(
        [
            *(f"efficiency_vs_{v}.png" for v in ("p", "pt", "eta", "phi")),
            "ghost_rate.png",
            "clone_rate_vs_p.png",
            *(f"event_display_{name}.png" for name in FINDERS),
        ]
    )
    for name in figures:
        data = (tmp_path / "figures" / name).read_bytes()
        assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 10_000
    assert f"wrote {len(figures)} figures to" in result.stdout


def results_summed(directory, finders):
    """Per finder, totals of its result files, read in an interpreter that cannot import
    trelmon: the files must stand on their own."""
    code = f"""
import json, sys
sys.modules["trelmon"] = sys.modules["trelmon_tools"] = None  # importing either fails
import pyarrow.compute as pc, pyarrow.parquet as pq
labels = {list(truth.CATEGORIES)!r}
out = {{}}
for name in {list(finders)!r}:
    tracks = pq.read_table(f"{directory}/{{name}}/tracks.parquet")
    particles = pq.read_table(f"{directory}/{{name}}/particles.parquet")
    sums = {{"tracks": tracks.num_rows, "ghosts": pc.sum(tracks["ghost"]).as_py()}}
    for label in labels:
        chosen = particles.filter(particles[label])
        sums[label] = [
            chosen.num_rows,
            chosen.filter(chosen["reconstructed"]).num_rows,
            pc.sum(chosen[f"clones[{{label}}]"]).as_py() or 0,
        ]
    out[name] = sums
print(json.dumps(out))
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_generated_sample_and_finder_parameters(tmp_path):
    # A finder whose shortest accepted track is longer than any event's track finds nothing.
    out = tmp_path / "run.json"
    result = command(
        "run",
        "--generate",
        "2",
        "--seed",
        "7",
        "--algorithm",
        "TrackFollowing",
        "--param",
        "min_track_length=200",
        "--param",
        "TrackFollowing.min_strong_track_length=(200)",
        "--json",
        str(out),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("trelmon: 2 events generated with seed 7, ")
    header, rows = table_cells(result.stdout)
    assert header == ["TrackFollowing"] and rows["tracks per event"] == ["0.0"]
    record = json.loads(out.read_text())
    assert record["sample"] == {"kind": "generated", "events": 2, "seed": 7}
    assert record["finders"]["TrackFollowing"]["parameters"] == {
        "min_track_length": 200,
        "min_strong_track_length": 200,
    }


def test_solving_in_chunks_changes_nothing(sample):
    events = run.build_events(sample)
    for finder in run.configure_finders():
        tracks, seconds = run.solve(finder, events, chunk=2)
        assert seconds > 0
        whole = finder.algorithm.solve_batch(events)
        assert [[[h.id for h in t.hits] for t in ts] for ts in tracks] == [
            [[h.id for h in t.hits] for t in ts] for ts in whole
        ]
        detailed = Validator.export_detailed_metrics_json(sample.events, whole, False)
        assert run.validate(sample, tracks) == detailed


def fake_result(name, categories, ghost_rate=12.34, total_tracks=3, seconds=0.5):
    finder = run.Finder(name, None, {})
    return run.FinderResult(
        finder,
        2,
        seconds,
        {"total_tracks": total_tracks, "overall_ghost_rate": ghost_rate, "categories": categories},
    )


def category(label, **values):
    keys = (
        "recoeffT",
        "avg_recoeff",
        "clone_percentage",
        "purityT",
        "avg_purity",
        "avg_hiteff",
        "hit_eff_percentage",
    )
    entry = {"label": label, "n_reco": 1, "n_particles": 40, "n_clones": 0}
    entry.update({k: values.get(k, 1.0) for k in keys})
    return entry


def test_table_takes_each_figure_from_its_own_key(sample):
    # Distinct values in every key: a row reading the wrong key shows the wrong number.
    a = fake_result(
        "A",
        [
            category(
                "long",
                recoeffT=91.26,
                avg_recoeff=5.0,
                purityT=97.04,
                avg_purity=6.0,
                clone_percentage=3.35,
                avg_hiteff=7.0,
                hit_eff_percentage=88.88,
            ),
            category("velo", recoeffT=99.0),
        ],
    )
    b = fake_result(
        "LongerName",
        [category("velo", recoeffT=50.0)],
        ghost_rate=0.0,
        total_tracks=2,
        seconds=0.004,
    )
    header, rows = table_cells(run.format_table(sample, [a, b]))
    assert header == ["A", "LongerName"]
    assert rows["events per second"] == ["4", "500"]
    assert rows["tracks per event"] == ["1.5", "1.0"]
    assert rows["ghost rate"] == ["12.3%", "0.0%"]
    assert rows["long: reconstruction efficiency"] == ["91.3%", "-"]
    assert rows["long: clone rate"] == ["3.4%", "-"]
    assert rows["long: purity"] == ["97.0%", "-"]
    assert rows["long: hit efficiency"] == ["88.9%", "-"]
    assert rows["velo: reconstruction efficiency"] == ["99.0%", "50.0%"]
    text = run.format_table(sample, [a, b])
    assert text.index("velo (40 particles)") < text.index("long (40 particles)")
    assert "long>5GeV" not in text


class TestConfigureFinders:
    def test_every_finder_by_default_in_registration_order(self):
        finders = run.configure_finders()
        assert [f.name for f in finders] == FINDERS
        assert all(type(f.algorithm).__name__ == f.name for f in finders)
        chosen = run.configure_finders(
            ["SearchByTripletTrie", "TrackFollowing", "SearchByTripletTrie"]
        )
        assert [f.name for f in chosen] == ["SearchByTripletTrie", "TrackFollowing"]

    def test_accepted_parameters_come_from_the_constructors(self):
        classes = run.finder_classes()
        assert run.accepted_parameters(classes["SearchByTripletTrie"]) == (
            "max_scatter",
            "min_strong_track_length",
            "allowed_missed_modules",
        )
        assert run.accepted_parameters(classes["TrackFollowing"]) == (
            "max_slopes",
            "max_tolerance",
            "max_scatter",
            "min_track_length",
            "min_strong_track_length",
        )

    def test_listed_defaults_are_the_constructors_defaults(self, sample):
        # Each listed default, given explicitly, solves exactly as the bare constructor does.
        events = run.build_events(sample)[:2]
        for cls in run.finder_classes().values():
            defaults = run.parameter_defaults(cls)
            assert tuple(defaults) == run.accepted_parameters(cls)
            assert defaults and None not in defaults.values()
            expected = [[[h.id for h in t.hits] for t in ts] for ts in cls().solve_batch(events)]
            for key, value in defaults.items():
                tracks = cls(**{key: value}).solve_batch(events)
                assert [[[h.id for h in t.hits] for t in ts] for ts in tracks] == expected, key

    def test_parameters_are_listed_without_stored_signatures(self, monkeypatch, capsys):
        # Some interpreters drop class text signatures: --param and its messages must not care.
        def no_signature(obj, *args, **kwargs):
            raise ValueError("no signature found")

        monkeypatch.setattr(run.inspect, "signature", no_signature)
        assert run.accepted_parameters(run.finder_classes()["GraphDFS"])[-2:] == (
            "allow_cross_track",
            "clone_ghost_killing",
        )
        [finder] = run.configure_finders(["GraphDFS"], ["allowed_skip_modules=2"])
        assert finder.parameters == {"allowed_skip_modules": 2}
        with pytest.raises(
            run.RunError,
            match=r"its parameters: max_scatter, "
            r"min_strong_track_length, allowed_missed_modules",
        ):
            run.configure_finders(
                ["SearchByTripletTrie"], ["SearchByTripletTrie.min_track_length=3"]
            )

    def test_a_named_finder_parameter_wins_over_the_shared_one(self):
        finders = run.configure_finders(
            params=[
                "max_scatter=0.3",
                "TrackFollowing.max_scatter=2",
                "TrackFollowing.max_slopes = (0.5, 0.6)",
            ]
        )
        parameters = {f.name: f.parameters for f in finders}
        assert parameters.pop("TrackFollowing") == {"max_scatter": 2, "max_slopes": (0.5, 0.6)}
        assert parameters and all(p == {"max_scatter": 0.3} for p in parameters.values())

    def test_parameters_reach_the_finder(self, sample):
        events = run.build_events(sample)
        [finder] = run.configure_finders(["TrackFollowing"], ["max_tolerance=(0.05, 0.05)"])
        expected = trelmon.ReconstructionAlgorithms.TrackFollowing(max_tolerance=(0.05, 0.05))
        default = trelmon.ReconstructionAlgorithms.TrackFollowing()

        def ids(algorithm):
            return [[h.id for h in t.hits] for t in algorithm.solve(events[0])]

        assert ids(finder.algorithm) == ids(expected) != ids(default)

    @pytest.mark.parametrize(
        "names, params, message",
        [
            (["Nope"], [], "unknown finder 'Nope' (available: " + ", ".join(FINDERS) + ")"),
            (None, ["Nope.max_scatter=1"], "unknown finder 'Nope'"),
            (
                ["TrackFollowing"],
                ["SearchByTripletTrie.max_scatter=1"],
                "--param SearchByTripletTrie.max_scatter=1: SearchByTripletTrie is not among the "
                "selected finders",
            ),
            (
                None,
                ["allow_cross_track=False"],
                "TrackFollowing has no parameter 'allow_cross_track' (its parameters: max_slopes, "
                "max_tolerance, max_scatter, min_track_length, min_strong_track_length); to set it "
                "for one finder only, give FINDER.allow_cross_track=VALUE",
            ),
            (
                None,
                ["SearchByTripletTrie.min_track_length=3"],
                "SearchByTripletTrie has no parameter 'min_track_length' (its parameters: "
                "max_scatter, min_strong_track_length, allowed_missed_modules)",
            ),
            (
                None,
                ["max_scatter=abc"],
                "TrackFollowing: bad value abc for max_scatter: argument 'max_scatter': ",
            ),
            (
                None,
                ["TrackFollowing.max_slopes=(1, 2, 3)"],
                "TrackFollowing: bad value (1, 2, 3) "
                "for max_slopes: expected tuple of length 2, but got tuple of length 3",
            ),
            (
                ["TrackFollowing"],
                ["min_track_length=256"],
                "TrackFollowing: bad value 256 for min_track_length: ",
            ),
            (
                None,
                ["max_scatter"],
                "--param expects NAME=VALUE or FINDER.NAME=VALUE, not 'max_scatter'",
            ),
            (None, ["=1"], "--param expects NAME=VALUE"),
            (None, [".max_scatter=1"], "--param expects NAME=VALUE"),
        ],
    )
    def test_refusals_name_the_problem(self, names, params, message):
        with pytest.raises(run.RunError) as caught:
            run.configure_finders(names, params)
        assert str(caught.value).startswith(message)
        assert "\n" not in str(caught.value)

    def test_values_are_python_literals(self):
        assert run.parse_param("GraphDFS.allow_cross_track=False") == (
            "GraphDFS",
            "allow_cross_track",
            False,
            "False",
        )
        assert run.parse_param("max_slopes=(0.5, 0.25)")[2] == (0.5, 0.25)
        assert run.parse_param("min_track_length= 3 ")[2:] == (3, "3")
        assert run.parse_param("max_scatter=1e999")[2] == float("inf")
        assert run.parse_param("max_scatter=0.2.1")[2] == "0.2.1"  # left for the finder to refuse


def test_a_non_finite_parameter_is_kept_in_the_record(sample):
    finders = run.configure_finders(["TrackFollowing"], ["max_scatter=1e999"])
    result = run.FinderResult(finders[0], 1, 1.0, {"total_tracks": 0, "categories": []})
    record = run.run_record(sample, [result])
    assert record["finders"]["TrackFollowing"]["parameters"] == {"max_scatter": "inf"}
    json.dumps(record, allow_nan=False)


@pytest.mark.parametrize(
    "args, message",
    [
        (
            ["--events", "{empty}"],
            "{empty}: no event files (*.parquet or *.json) in this directory",
        ),
        (["--events", "{missing}"], "{missing}: not a directory"),
        (["--events", "{bad}"], "{bad}/event_000000.json: not a valid event file: invalid JSON: "),
        (["--events", "{wrong}"], '{wrong}/a.json: not a valid event file: missing key "x"'),
        (["--events", "{sample}", "--seed", "3"], "--seed applies to generated events"),
        (
            ["--events", "{sample}", "--display-event", "3"],
            "--display-event 3: the sample has only 3 events",
        ),
        (["--algorithm", "Nope"], "unknown finder 'Nope'"),
        (["--param", "nope=1"], "TrackFollowing has no parameter 'nope'"),
        (
            ["--param", "TrackFollowing.max_slopes=0.5"],
            "TrackFollowing: bad value 0.5 for max_slopes: argument 'max_slopes': ",
        ),
        (
            ["--param", "min_strong_track_length=-1"],
            "TrackFollowing: bad value -1 for min_strong_track_length: ",
        ),
        (["--plots", "{file}"], "{file}: "),
        (["--json", "{empty}"], "{empty}: is a directory"),
        (["--json", "{missing}/out.json"], "{missing}/out.json: no such directory"),
    ],
)
def test_bad_input_is_one_line_and_a_failure(
    tmp_path, sample_dir, args, message, capsys, monkeypatch
):
    paths = {
        "empty": tmp_path / "empty",
        "missing": tmp_path / "missing",
        "bad": tmp_path / "bad",
        "wrong": tmp_path / "wrong",
        "sample": sample_dir,
        "file": tmp_path / "file",
    }
    paths["empty"].mkdir()
    paths["bad"].mkdir()
    (paths["bad"] / "event_000000.json").write_text("{not json")
    paths["wrong"].mkdir()
    (paths["wrong"] / "a.json").write_text(
        json.dumps(
            {
                "description": "",
                "montecarlo": {"description": [], "particles": []},
                "module_prefix_sum": [0] * 53,
                "y": [],
                "z": [],
            }
        )
    )
    paths["file"].write_text("")
    monkeypatch.chdir(tmp_path)
    assert main(["run", *(a.format(**paths) for a in args)]) == 1
    out, err = capsys.readouterr()
    assert out == ""
    assert err.startswith(f"python -m trelmon_tools run: error: {message.format(**paths)}")
    assert err.count("\n") == 1


def test_a_refusal_in_a_process_of_its_own(tmp_path):
    result = command(
        "run", "--algorithm", "TrackFollowing", "--param", "max_scatter=[1]", cwd=tmp_path
    )
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr == (
        "python -m trelmon_tools run: error: TrackFollowing: bad value [1] "
        "for max_scatter: argument 'max_scatter': must be real number, "
        "not list\n"
    )


@pytest.mark.parametrize(
    "args, message",
    [
        (["--generate", "0"], "argument --generate: expected a positive integer, got '0'"),
        (["--generate", "2", "--events", "x"], "argument --events: not allowed with argument"),
        (["--seed", "-2"], "argument --seed: expected a non-negative integer, got '-2'"),
        (["--display-event", "x"], "expected a non-negative integer, got 'x'"),
    ],
)
def test_bad_options_are_usage_errors(args, message, capsys):
    with pytest.raises(SystemExit) as exit_:
        main(["run", *args])
    assert exit_.value.code == 2
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and message in err


class _Terminal(text_io.StringIO):
    def isatty(self):
        return True


def test_progress_is_drawn_on_a_terminal_only(monkeypatch):
    from trelmon_tools.progress import progress

    for stream, drawn in ((text_io.StringIO(), False), (_Terminal(), True)):
        monkeypatch.setattr(sys, "stderr", stream)
        assert list(progress(range(3), desc="counting")) == [0, 1, 2]
        assert ("counting" in stream.getvalue()) is drawn
        assert stream.getvalue() == "" or drawn


def test_worker_threads_follow_the_environment(monkeypatch):
    from trelmon_tools.progress import available_processors, worker_threads

    monkeypatch.setenv("TRELMON_NUM_THREADS", "3")
    assert worker_threads() == 3
    monkeypatch.delenv("TRELMON_NUM_THREADS")
    assert worker_threads() == available_processors() >= 1


def test_run_finders_keeps_the_tracks_only_when_asked(sample):
    [kept] = run.run_finders(sample, run.configure_finders(["TrackFollowing"]))
    [dropped] = run.run_finders(
        sample, run.configure_finders(["TrackFollowing"]), keep_tracks=False
    )
    assert dropped.tracks is None and len(kept.tracks) == 3
    assert (
        dropped.metrics
        == kept.metrics
        == Validator.export_detailed_metrics_json(sample.events, kept.tracks, False)
    )
    assert kept.tracks_per_event == sum(map(len, kept.tracks)) / 3


def test_readme_quick_start_runs(capfd):
    from pathlib import Path

    text = (Path(__file__).parents[1] / "README.md").read_text(encoding="utf-8")
    block = text.split("## Quick start in Python", 1)[1].split("```python\n", 1)[1]
    block = block.split("```", 1)[0]
    assert len(block.strip().splitlines()) <= 10
    exec(compile(block, "README.md quick start", "exec"), {})
    out = capfd.readouterr().out
    assert "% ghosts" in out and "tracks including" in out
