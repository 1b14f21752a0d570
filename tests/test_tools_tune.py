"""``python -m trelmon_tools tune``: a seeded Optuna study over a finder's parameters."""

import json
import shlex

import pytest
import trelmon
from hypothesis import given, settings
from hypothesis import strategies as st
from trelmon_tools import run
from trelmon_tools.cli import main
from trelmon_tools.generate import generate_event
from trelmon_tools.io import write_sample

optuna = pytest.importorskip("optuna")
from trelmon_tools import tune  # noqa: E402

FINDERS = list(trelmon.ReconstructionAlgorithms.__all__)


@pytest.fixture(scope="module")
def sample_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("sample")
    events = (
        generate_event(s, n_collisions=1, particles_per_collision=25.0, beauty_pairs=1)
        for s in (21, 22, 23)
    )
    write_sample(directory, events)
    return directory


def tune_command(capsys, storage, *args):
    status = main(["tune", "--storage", f"sqlite:///{storage}", *args])
    out, err = capsys.readouterr()
    assert status == 0, err
    return out


def test_fresh_studies_print_identical_fronts_and_a_rerun_adds_trials(sample_dir, tmp_path, capsys):
    args = ["--algorithm", "GraphDFS", "--events", str(sample_dir), "--trials", "6"]
    args += ["--holdout", "2", "--sampler-seed", "3"]
    first = tune_command(capsys, tmp_path / "a.db", *args, "--plots", str(tmp_path / "fig"))
    second = tune_command(capsys, tmp_path / "b.db", *args)
    assert first.splitlines()[:-1] == second.splitlines()  # less the figure's line
    assert (tmp_path / "fig" / "pareto_front.png").stat().st_size > 0
    assert ", 6 trials," in first.splitlines()[0]

    # Another seed searches elsewhere.
    other = tune_command(capsys, tmp_path / "c.db", *args[:-1], "4")
    assert other != second

    again = tune_command(capsys, tmp_path / "a.db", *args[:-2], "--trials", "3")
    assert ", 9 trials," in again.splitlines()[0]
    storage = tune.open_storage(f"sqlite:///{tmp_path / 'a.db'}")
    studies = optuna.get_all_study_summaries(storage)
    assert [s.n_trials for s in studies] == [9]
    study = optuna.load_study(study_name=studies[0].study_name, storage=storage)
    params = [t.params for t in study.trials]
    # The resumed sampler draws new points rather than replaying the first ones.
    assert all(p not in params[:6] for p in params[7:])
    # The first trial of a fresh study is the finder's defaults.
    defaults = run.parameter_defaults(trelmon.ReconstructionAlgorithms.GraphDFS)
    assert params[0] == {k: (v[0] if isinstance(v, tuple) else v) for k, v in defaults.items()}


def test_printed_points_reproduce_with_run(sample_dir, tmp_path, capsys):
    out = tune_command(
        capsys,
        tmp_path / "t.db",
        *("--algorithm", "TrackFollowing", "--events", str(sample_dir), "--trials", "5"),
        *("--objectives", "efficiency:velo,ghost_rate,clone_rate:long>5GeV"),
        *("--json", str(tmp_path / "front.json"), "--holdout", "0"),
    )
    record = json.loads((tmp_path / "front.json").read_text())
    points = {p["label"]: p for p in record["points"]}
    commands = out.split("to reproduce a point:\n")[1].split("\n\n")[0].splitlines()
    assert len(commands) == len(points) - 1 >= 1
    for line in commands:
        label, _, command = line.strip().partition(": python -m trelmon_tools ")
        argv = shlex.split(command) + ["--json", str(tmp_path / "run.json")]
        assert main(argv) == 0
        capsys.readouterr()
        validation = json.loads((tmp_path / "run.json").read_text())["finders"]["TrackFollowing"]
        categories = {c["label"]: c for c in validation["validation"]["categories"]}
        assert points[label]["values"] == {
            "efficiency:velo": categories["velo"]["recoeffT"],
            "ghost_rate": validation["validation"]["overall_ghost_rate"],
            "clone_rate:long>5GeV": categories["long>5GeV"]["clone_percentage"],
        }
        assert points[label]["holdout"] is None


@pytest.mark.parametrize(
    "args, message",
    [
        (["--range", "max_scatter"], "--range expects NAME=LOW:HIGH, not 'max_scatter'"),
        (["--range", "max_scatter=0.1"], "--range expects NAME=LOW:HIGH, not 'max_scatter=0.1'"),
        (["--range", "nope=1:2"], "--range nope=1:2: GraphDFS has no parameter 'nope'"),
        (["--range", "max_scatter=0.5:0.1"], "the low bound is above the high bound"),
        (["--range", "max_scatter=a:1"], "the bounds must be numbers"),
        (["--range", "max_scatter=0:inf"], "the bounds must be finite"),
        (["--range", "allowed_skip_modules=0:1.5"], "the bounds must be integers"),
        (["--range", "allow_cross_track=0:1"], "a flag takes False:True"),
        (
            ["--range", "allowed_skip_modules=0:3000000000"],
            "--range allowed_skip_modules=0:3000000000: GraphDFS: bad value 3000000000 for "
            "allowed_skip_modules:",
        ),
        (["--objectives", "efficiency:short"], "unknown category 'short'"),
        (["--objectives", "purity"], "unknown objective 'purity'"),
        (["--objectives", "ghost_rate,ghost_rate"], "ghost_rate is named twice"),
        (["--holdout", "0", "--holdout-seed", "4"], "--holdout-seed needs a holdout sample"),
        (["--storage", "nodb://x"], "cannot open storage nodb://x"),
    ],
)
def test_bad_input_is_one_line_and_status_1(tmp_path, capsys, args, message):
    argv = ["tune", "--algorithm", "GraphDFS", "--generate", "1", "--trials", "1"]
    if "--storage" not in args:
        argv += ["--storage", f"sqlite:///{tmp_path / 'x.db'}"]
    assert main(argv + args) == 1
    out, err = capsys.readouterr()
    assert out == ""
    assert err.startswith("python -m trelmon_tools tune: error: ")
    assert message in err and err.count("\n") == 1


def test_a_study_is_not_resumed_with_other_objectives(sample_dir, tmp_path, capsys):
    args = ["--algorithm", "SearchByTripletTrie", "--events", str(sample_dir), "--study", "s"]
    tune_command(capsys, tmp_path / "s.db", *args, "--trials", "1", "--holdout", "0")
    status = main(
        ["tune", "--storage", f"sqlite:///{tmp_path / 's.db'}", *args, "--objectives", "time"]
    )
    err = capsys.readouterr().err
    assert status == 1 and err.count("\n") == 1
    assert "study 's' in " in err and "name another --study" in err


@pytest.mark.parametrize("finder", FINDERS)
def test_the_search_space_covers_the_parameter_table(finder):
    defaults = run.parameter_defaults(getattr(trelmon.ReconstructionAlgorithms, finder))
    space = tune.search_space(finder)
    assert [d.name for d in space] == list(defaults)
    for d in space:
        value = d.search_value(defaults[d.name])
        assert d.low <= value <= d.high, d  # the defaults are a point of the search
        assert type(value) is {"bool": bool, "int": int, "float": float}[d.kind]

    narrowed = tune.search_space(finder, ["max_scatter=0:0.2"])
    (scatter,) = [d for d in narrowed if d.name == "max_scatter"]
    assert (scatter.low, scatter.high, scatter.log) == (0.0, 0.2, False)


@pytest.mark.parametrize("finder", FINDERS)
@settings(max_examples=25)
@given(data=st.data())
def test_every_point_of_the_space_configures_the_finder(finder, data):
    space = tune.search_space(finder)
    trial = optuna.trial.FixedTrial(
        {
            d.name: data.draw(
                st.sampled_from([False, True])
                if d.kind == "bool"
                else st.integers(d.low, d.high)
                if d.kind == "int"
                else st.floats(d.low, d.high)
            )
            for d in space
        }
    )
    values = {d.name: d.suggest(trial) for d in space}
    (configured,) = run.configure_finders([finder], tune.parameter_arguments(space, values))
    for d in space:
        assert configured.parameters[d.name] == d.finder_value(values[d.name])
        assert d.low <= values[d.name] <= d.high


@settings(max_examples=50)
@given(st.lists(st.tuples(st.integers(0, 4), st.integers(0, 4)), min_size=1, max_size=12))
def test_the_front_is_the_non_dominated_trials_best_first(points):
    objectives = tune.parse_objectives("efficiency,ghost_rate")
    study = optuna.create_study(directions=["maximize", "minimize"])
    for a, b in points:
        study.add_trial(
            optuna.trial.create_trial(values=[float(a), float(b)], user_attrs={"param": []})
        )
    front = tune.pareto_front(study, objectives)
    shown = [tuple(p.values) for p in front]
    expected = sorted(
        {p for p in points if not any(q[0] >= p[0] and q[1] <= p[1] and q != p for q in points)},
        key=lambda p: (-p[0], p[1]),
    )
    assert shown == expected
    for p in front:  # duplicates are folded into the first trial with the figures
        numbers = [p.trial, *p.also]
        assert numbers == sorted(numbers)
        assert all(points[n] == tuple(p.values) for n in numbers)
