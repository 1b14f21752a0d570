"""Output files appear whole or not at all, and the command line reports running out of
memory in one line."""

import os
import resource
import signal
import subprocess
import sys

import pytest
from trelmon_tools.files import atomic_write


def listing(directory):
    return sorted(p.name for p in directory.iterdir())


def test_a_write_replaces_the_file_in_one_step(tmp_path):
    path = tmp_path / "out.json"
    path.write_text("old")
    with atomic_write(path) as f:
        f.write("new ")
        assert path.read_text() == "old"  # nothing shows before the block ends
        f.write("text é")
    assert path.read_text(encoding="utf-8") == "new text é" and listing(tmp_path) == ["out.json"]
    with atomic_write(str(path), "wb") as f:
        f.write(b"\x00\xff")
    assert path.read_bytes() == b"\x00\xff"


@pytest.mark.parametrize("existing", [True, False])
@pytest.mark.parametrize("error", [OSError, KeyboardInterrupt])
def test_a_failed_write_leaves_the_old_file_or_none(tmp_path, existing, error):
    path = tmp_path / "out.json"
    if existing:
        path.write_text("old")
    with pytest.raises(error), atomic_write(path) as f:
        f.write("partial")
        raise error("disk full")
    assert listing(tmp_path) == (["out.json"] if existing else [])
    if existing:
        assert path.read_text() == "old"


def test_the_file_gets_ordinary_permissions(tmp_path):
    previous = os.umask(0o027)
    try:
        with atomic_write(tmp_path / "a.txt") as f:
            f.write("x")
    finally:
        os.umask(previous)
    assert (tmp_path / "a.txt").stat().st_mode & 0o777 == 0o640


def test_only_writing_modes_into_existing_directories_are_taken(tmp_path):
    with pytest.raises(ValueError, match="mode must be"), atomic_write(tmp_path / "a", "a"):
        pass
    with pytest.raises(FileNotFoundError), atomic_write(tmp_path / "missing" / "a"):
        pass
    assert listing(tmp_path) == []


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
