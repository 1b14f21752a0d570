"""atomic_write: a file appears whole, with ordinary permissions, or not at all."""

import os
import stat

import pytest
from trelmon_tools.files import atomic_write


def test_replaces_whole_with_ordinary_permissions(tmp_path):
    path = tmp_path / "out.txt"
    path.write_text("old")
    old_mask = os.umask(0o027)
    try:
        with atomic_write(path) as f:
            f.write("new é")
            assert path.read_text() == "old"  # nothing visible before the end
    finally:
        os.umask(old_mask)
    assert path.read_text(encoding="utf-8") == "new é"
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    with atomic_write(path, "wb") as f:
        f.write(b"\x00\x01")
    assert path.read_bytes() == b"\x00\x01"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.txt"]


def test_a_failure_leaves_the_old_file_and_no_temporary(tmp_path):
    path = tmp_path / "out.bin"
    path.write_bytes(b"old")
    with pytest.raises(KeyboardInterrupt), atomic_write(path, "wb") as f:
        f.write(b"half")
        raise KeyboardInterrupt
    assert path.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.bin"]
    with pytest.raises(ValueError, match="mode must be"):
        with atomic_write(path, "a"):
            pass
    with pytest.raises(FileNotFoundError):
        with atomic_write(tmp_path / "missing" / "x"):
            pass
