"""Writing the tools' output files: whole or not at all, with ordinary permissions."""

from __future__ import annotations

import contextlib
import os
import tempfile
from pathlib import Path

__all__ = ["atomic_write"]


def _umask() -> int:
    # The umask can only be read by setting it; it is set straight back.
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def atomic_write(path, mode: str = "w", *, encoding: str | None = None):
    """Write ``path`` through a file object, replacing the file in one step.

    The data go to a hidden temporary file beside ``path`` (one file system, so the rename is
    atomic); when the ``with`` block ends normally it gets the permissions of a newly created
    file (0666 less the umask) and is renamed over ``path``, so a reader sees the old file or
    the complete new one. When the block raises, the temporary file is removed and ``path`` is
    left as it was. ``mode`` is "w" (text, UTF-8 unless ``encoding`` says otherwise) or "wb".
    """
    if mode not in ("w", "wb"):
        raise ValueError(f'mode must be "w" or "wb", not {mode!r}')
    if mode == "w" and encoding is None:
        encoding = "utf-8"
    path = Path(path)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, mode, encoding=encoding) as f:
            # mkstemp makes the file private (0600); an output file should not be.
            os.fchmod(f.fileno(), 0o666 & ~_umask())
            yield f
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
