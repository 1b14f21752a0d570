"""Output files: written whole or not at all, with the permissions of an ordinary file; the
command line reports running out of memory in one line."""

import os
import resource
import signal
import stat
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from trelmon_tools.files import atomic_write, int_list
from trelmon_tools.generate import generate_event
from trelmon_tools.io import write_event


@pytest.fixture
def umask():
    """Set the process's umask for one test."""
    saved = os.umask(0o022)

    def use(mask):
        os.umask(mask)
        return 0o666 & ~mask

    yield use
    os.umask(saved)


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.mark.parametrize("mask", [0o022, 0o027, 0o002, 0o077])
def test_new_files_get_ordinary_permissions(tmp_path, umask, mask):
    expected = umask(mask)
    with atomic_write(tmp_path / "a.txt") as f:
        f.write("ä\n")
    with atomic_write(tmp_path / "b.bin", "wb") as f:
        f.write(b"\x00\x01")
    assert (tmp_path / "a.txt").read_bytes() == "ä\n".encode()
    assert (tmp_path / "b.bin").read_bytes() == b"\x00\x01"
    assert mode(tmp_path / "a.txt") == mode(tmp_path / "b.bin") == expected
    # What plain open() gives a new file, for comparison.
    (tmp_path / "plain").write_text("")
    assert mode(tmp_path / "plain") == expected
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.txt", "b.bin", "plain"]


def test_a_failed_write_leaves_the_old_file(tmp_path):
    target = tmp_path / "out.json"
    target.write_text("old\n")
    with pytest.raises(RuntimeError, match="midway"):
        with atomic_write(target) as f:
            f.write("new, partly")
            assert target.read_text() == "old\n"  # nothing visible before the end
            raise RuntimeError("midway")
    assert target.read_text() == "old\n"
    with pytest.raises(KeyboardInterrupt), atomic_write(target, "wb") as f:
        f.write(b"half")
        raise KeyboardInterrupt
    assert target.read_text() == "old\n"
    assert [p.name for p in tmp_path.iterdir()] == ["out.json"]  # no temporary file left
    with atomic_write(target) as f:
        f.write("new\n")
    assert target.read_text() == "new\n"
    with pytest.raises(ValueError, match="mode must be"):
        atomic_write(target, "a")
    with pytest.raises(FileNotFoundError):
        with atomic_write(tmp_path / "missing" / "x"):
            pass


def test_event_files_and_figures_are_readable_by_others(tmp_path, umask):
    expected = umask(0o022)
    write_event(tmp_path / "e.json", generate_event(1, n_collisions=1))
    assert mode(tmp_path / "e.json") == expected == 0o644
    # The command line in a child process with another umask: sample files of both formats.
    for fmt, n_files in (("json", 2), ("parquet", 1)):
        out = tmp_path / fmt
        result = subprocess.run(
            [sys.executable, "-m", "trelmon_tools", "generate", "--events", "2"]
            + ["--format", fmt, "--out", str(out)],
            capture_output=True,
            text=True,
            timeout=120,
            umask=0o002,
        )
        assert result.returncode == 0, result.stderr
        files = [out] if out.is_file() else sorted(out.iterdir())
        assert [mode(p) for p in files] == [0o664] * n_files


def listing(directory):
    return sorted(p.name for p in directory.iterdir())


def run_limited(args, limit, cwd):
    def apply_limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails instead
        resource.setrlimit(*limit)

    return subprocess.run(
        [sys.executable, "-m", "trelmon_tools", *args],
        capture_output=True,
        text=True,
        timeout=600,
        cwd=cwd,
        preexec_fn=apply_limit,
    )


@pytest.mark.parametrize("existing", [True, False])
def test_a_json_write_past_the_file_size_limit_leaves_no_part(tmp_path, existing):
    out = tmp_path / "run.json"
    if existing:
        out.write_text("old")
    args = ["run", "--generate", "2", "--algorithm", "TrackFollowing", "--json", str(out)]
    result = run_limited(args, (resource.RLIMIT_FSIZE, (2000, 2000)), tmp_path)
    assert result.returncode == 1
    assert result.stderr.count("\n") == 1 and "File too large" in result.stderr
    assert listing(tmp_path) == (["run.json"] if existing else [])
    if existing:
        assert out.read_text() == "old"


sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(sanitized, reason="the sanitizer reserves more address space than the limit")
def test_running_out_of_memory_is_one_line_and_status_1(tmp_path):
    # Windows this wide on a couple of thousand hits want gigabytes of segment links.
    wide = [
        "max_slopes=(1e9, 1e9)",
        "max_tolerance=(1e9, 1e9)",
        "max_scatter=1e9",
        "allowed_skip_modules=51",
        "allow_cross_track=False",
    ]
    args = ["run", "--generate", "1", "--algorithm", "GraphDFS"]
    for param in wide:
        args += ["--param", param]
    result = run_limited(args, (resource.RLIMIT_AS, (1 << 30, 1 << 30)), tmp_path)
    assert (result.returncode, result.stderr) == (
        1,
        "python -m trelmon_tools run: error: out of memory\n",
    )


@given(
    hnp.arrays(
        st.sampled_from([np.int64, np.int32]),
        st.integers(0, 300),
        elements=st.integers(-(2**31), 2**31 - 1) | st.integers(0, 70_000),
    ),
    st.sampled_from([np.int64, np.uint64, np.uint16]),
)
def test_int_lists_hold_the_array_as_plain_ints(values, dtype):
    if np.dtype(dtype).kind == "u":
        values = np.abs(values.astype(np.int64)).astype(dtype)
    got = int_list(values)
    assert got == values.tolist()
    assert all(type(v) is int for v in got)
    if len(values) and 0 <= values.min() and values.max() < 2**16:
        # Positions are the same objects from one call to the next: nothing to allocate.
        assert all(a is b for a, b in zip(got, int_list(values[::-1])[::-1], strict=True))
