"""Every Python block of the README runs as written."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), re.M | re.S)


def test_the_readme_has_python_blocks():
    # A change of fence style would otherwise leave the test below with nothing to run.
    assert len(BLOCKS) >= 2


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_block_runs(code, tmp_path):
    # A fresh interpreter in an empty directory: the block sees only what it defines itself.
    # Dask's own warnings (an event loop slowed by a busy machine) are not the block's output.
    env = {**os.environ, "DASK_LOGGING__DISTRIBUTED": "error"}
    result = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
