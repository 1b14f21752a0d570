"""Files that appear whole or not at all."""

from __future__ import annotations

import contextlib
import gc
import os
import tempfile
from pathlib import Path

__all__ = ["atomic_write", "no_collection"]


def _umask() -> int:
    # The umask can only be read by setting it; set it straight back.
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def atomic_write(path, mode: str = "w", *, encoding: str | None = None):
    """Open a file that replaces ``path`` in one step when the block ends without an error.

    Writing goes to a hidden file beside ``path`` (same directory, so the final rename stays
    on one file system); an exception removes it and leaves ``path`` as it was. The new file
    gets the permissions an ordinary ``open`` would give it (0o666 less the umask), not the
    private ones of a temporary file. ``mode`` is ``"w"`` or ``"wb"``; text defaults to UTF-8.
    """
    if mode not in ("w", "wb"):
        raise ValueError(f"mode must be 'w' or 'wb', not {mode!r}")
    if mode == "w" and encoding is None:
        encoding = "utf-8"
    path = Path(path)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, mode, encoding=encoding) as f:
            os.fchmod(f.fileno(), 0o666 & ~_umask())
            yield f
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise


@contextlib.contextmanager
def no_collection():
    """Pause the cyclic garbage collector while a block builds many containers that form no
    cycles (decoded events): each collection would walk every container made so far."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()
