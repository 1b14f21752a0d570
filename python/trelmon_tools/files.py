"""Writing the tools' output files: whole or not at all, with ordinary permissions."""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import IO

__all__ = ["atomic_write", "ordinary_mode"]


def ordinary_mode() -> int:
    """The permissions ``open`` gives a new file: 0666 less the process's umask."""
    mask = os.umask(0o022)
    os.umask(mask)
    return 0o666 & ~mask


@contextlib.contextmanager
def atomic_write(path, mode: str = "w", *, encoding: str | None = None) -> Iterator[IO]:
    """Write ``path`` through the file object this yields, replacing the file in one step.

    The data go to a temporary file beside ``path``, which is renamed over it when the block
    ends normally, so a reader (or a full disk, or a file-size limit) sees the old file or the
    complete new one, never a part. When the block raises, the temporary file is removed and
    ``path`` is left as it was. ``mode`` is "w" (text, UTF-8 unless ``encoding`` says otherwise)
    or "wb"; the file gets the permissions of a newly created one.
    """
    if mode not in ("w", "wb"):
        raise ValueError(f'mode must be "w" or "wb", not {mode!r}')
    if mode == "w" and encoding is None:
        encoding = "utf-8"
    path = Path(path)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        os.fchmod(fd, ordinary_mode())  # mkstemp makes the file private
        with os.fdopen(fd, mode, encoding=encoding) as f:
            yield f
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
