"""Partitions on a real Dask cluster: worker processes on localhost, the results identical to
those of one process, also when a worker dies mid-run."""

import json
import os
import signal
import socket
import subprocess
import sys
import time

import pytest
from trelmon_tools import pipeline, run

distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")

pytestmark = [
    # The scheduler and nanny log to stderr and may warn when a worker is killed on purpose.
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
    pytest.mark.filterwarnings("ignore::ResourceWarning"),
    pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning"),
]

FINDERS = ["TrackFollowing", "SearchByTripletTrie"]


def exact(value):
    return json.dumps(value, allow_nan=True)


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",
            env={"TRELMON_NUM_THREADS": "1"},
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        yield c


@pytest.fixture(scope="module")
def expected():
    finders = run.configure_finders(FINDERS)
    plan = pipeline.plan_generated(30, seed=5, partition_size=30)
    return finders, pipeline.run_plan(plan, finders, tables=True, detailed=True)


def same(outcome, reference):
    assert outcome.sample.counts() == reference.sample.counts()
    for got, want in zip(outcome.results, reference.results, strict=True):
        assert exact(got.metrics) == exact(want.metrics)
        assert got.tables.tracks.equals(want.tables.tracks)
        assert got.tables.particles.equals(want.tables.particles)


def test_worker_processes_give_the_one_process_result(client, expected, tmp_path):
    finders, reference = expected
    outcome = pipeline.run_plan(
        pipeline.plan_generated(30, seed=5, partition_size=4),
        finders,
        client=client,
        tables=True,
        detailed=True,
        output=tmp_path / "dask",
    )
    same(outcome, reference)
    serial = pipeline.run_plan(
        pipeline.plan_generated(30, seed=5, partition_size=7),
        finders,
        output=tmp_path / "serial",
    )
    assert len(outcome.files) == len(serial.files) == 4
    for a, b in zip(outcome.files, serial.files, strict=True):
        assert a.read_bytes() == b.read_bytes()


def test_a_killed_worker_changes_nothing(client, expected):
    finders, reference = expected
    plan = pipeline.plan_generated(30, seed=5, partition_size=2)
    merger = pipeline.Merger(plan, finders, detailed=True, keep_tables=True)
    killed = None
    for result in pipeline.partition_results(plan, finders, client=client, tables=True):
        merger.add(result)
        if killed is None:
            busy = [w for w, keys in client.processing().items() if keys]
            if busy:
                [pid] = client.run(os.getpid, workers=busy[:1]).values()
                os.kill(pid, signal.SIGKILL)
                killed = pid
    assert killed is not None, "no worker was busy after the first partition"
    assert merger.done
    outcome = pipeline.Outcome(merger.sample, merger.results(), [], None, [], [], {})
    same(outcome, reference)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, seconds=60.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.2)
    raise AssertionError("timed out")


def trelmon_run(*args, **kwargs):
    return subprocess.Popen(
        [sys.executable, "-m", "trelmon_tools", "run", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        **kwargs,
    )


def table(text, directory):
    lines = text.replace(str(directory), "DIR").splitlines()
    return [line for line in lines if not line.startswith("events per second")]


@pytest.fixture
def scheduler(tmp_path):
    """A ``dask scheduler`` and one ``dask worker`` of two processes, as separate processes."""
    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    scheduler_file = tmp_path / "scheduler.json"
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    processes = [
        subprocess.Popen(
            [
                sys.executable,
                "-m",
                "distributed.cli.dask_scheduler",
                "--host",
                "127.0.0.1",
                "--port",
                str(port),
                "--no-dashboard",
                "--scheduler-file",
                str(scheduler_file),
            ],
            **quiet,
        )
    ]
    try:
        wait_for(scheduler_file.exists)
        processes.append(
            subprocess.Popen(
                [
                    sys.executable,
                    "-m",
                    "distributed.cli.dask_worker",
                    address,
                    "--nworkers",
                    "2",
                    "--nthreads",
                    "1",
                    "--no-dashboard",
                ],
                env={**os.environ, "TRELMON_NUM_THREADS": "1"},
                **quiet,
            )
        )
        with distributed.Client(address, timeout="30s") as c:
            c.wait_for_workers(2, timeout=60)
            yield address, scheduler_file, c
    finally:
        for p in reversed(processes):
            p.terminate()
        for p in reversed(processes):
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def test_run_on_a_separate_scheduler_and_workers(scheduler, tmp_path):
    address, scheduler_file, c = scheduler
    common = ["--generate", "20", "--seed", "2", "--algorithm", "TrackFollowing", "--summary"]
    local = tmp_path / "local"
    one = trelmon_run(*common, "--output", str(local))
    out_one, err_one = one.communicate(timeout=300)
    assert one.returncode == 0, err_one
    remote = tmp_path / "remote"
    two = trelmon_run(
        *common, "--output", str(remote), "--dask", str(scheduler_file), "--partition-size", "3"
    )
    out_two, err_two = two.communicate(timeout=300)
    assert two.returncode == 0, err_two
    assert table(out_two, remote) == table(out_one, local)
    for name in ("tracks.parquet", "particles.parquet"):
        assert (remote / "TrackFollowing" / name).read_bytes() == (
            local / "TrackFollowing" / name
        ).read_bytes()

    # Ctrl-C on the driver (given the scheduler's address this time): status 130, and the
    # scheduler forgets the run's tasks.
    long_run = trelmon_run("--generate", "4000", "--dask", address, "--partition-size", "10")

    def running():
        return any(
            k.startswith("trelmon-")
            for k in c.run_on_scheduler(lambda dask_scheduler: list(dask_scheduler.tasks))
        )

    wait_for(running)
    long_run.send_signal(signal.SIGINT)
    _, err = long_run.communicate(timeout=120)
    assert long_run.returncode == 130, err
    assert err.strip().endswith("run: interrupted")
    wait_for(lambda: not running())


def test_dask_command_line_starts_its_own_cluster(tmp_path, capsys):
    from trelmon_tools.cli import main

    common = ["run", "--generate", "8", "--algorithm", "TrackFollowing"]
    assert main(common) == 0
    one = capsys.readouterr().out
    assert main([*common, "--dask", "--workers", "2", "--partition-size", "3"]) == 0
    assert table(capsys.readouterr().out, tmp_path) == table(one, tmp_path)
    with dask.config.set({"distributed.comm.timeouts.connect": "2s"}):
        status = main([*common, "--dask", "tcp://127.0.0.1:1", "--partition-size", "3"])
    assert status == 1
    assert "cannot reach the Dask scheduler tcp://127.0.0.1:1" in capsys.readouterr().err
