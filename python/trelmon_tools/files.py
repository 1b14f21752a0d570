"""Writing the tools' output files: whole or not at all, with ordinary permissions."""

from __future__ import annotations

import contextlib
import functools
import gc
import os
import tempfile
from collections.abc import Iterator
from contextlib import AbstractContextManager
from pathlib import Path
from typing import IO, BinaryIO, Literal, TextIO, overload

import numpy as np

__all__ = ["StrPath", "atomic_write", "int_list", "no_collection", "ordinary_mode"]

#: A file name: a string or a path object.
StrPath = str | os.PathLike[str]


def _umask() -> int:
    # Linux shows the umask without changing it; elsewhere it can only be read by setting it.
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def ordinary_mode() -> int:
    """The permissions a new file gets from ``open``: 0666 less the process's umask."""
    return 0o666 & ~_umask()


@overload
def atomic_write(
    path: StrPath, mode: Literal["w"] = "w", *, encoding: str = "utf-8"
) -> AbstractContextManager[TextIO]: ...
@overload
def atomic_write(
    path: StrPath, mode: Literal["wb"], *, encoding: None = None
) -> AbstractContextManager[BinaryIO]: ...
def atomic_write(
    path: StrPath, mode: str = "w", *, encoding: str | None = None
) -> AbstractContextManager[IO]:
    """Write ``path`` through a file object, replacing the file in one step.

    The data go to a temporary file beside ``path``; when the ``with`` block ends normally,
    that file gets the permissions of a newly created one (0666 less the umask) and is renamed
    over ``path``, so a reader sees the old file or the complete new one, never a part. When
    the block raises, the temporary file is removed and ``path`` is left as it was.
    ``mode`` is "w" (text, UTF-8 unless ``encoding`` says otherwise) or "wb" (bytes).
    """
    if mode not in ("w", "wb"):
        raise ValueError(f'mode must be "w" or "wb", not {mode!r}')
    if mode == "w" and encoding is None:
        encoding = "utf-8"
    return _replacing(Path(path), mode, encoding)


@contextlib.contextmanager
def _replacing(path: Path, mode: str, encoding: str | None) -> Iterator[IO]:
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, mode, encoding=encoding) as f:
            # mkstemp creates the file private (0600); an output file should not be.
            os.fchmod(f.fileno(), ordinary_mode())
            yield f
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise


@contextlib.contextmanager
def no_collection() -> Iterator[None]:
    """Pause the cyclic garbage collector while a block builds many containers that form no
    cycles (decoded events): each collection would walk every container made so far."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


#: Integers below this are shared objects in the lists :func:`int_list` makes.
_SHARED_INTS = 1 << 16


@functools.lru_cache(maxsize=1)
def _int_objects(size: int) -> np.ndarray:
    return np.arange(size).astype(object)


def int_list(values: np.ndarray) -> list[int]:
    """``values.tolist()`` for an integer array, where entries that are small non-negative
    numbers (hit positions) are the same int objects from one call to the next: no int is
    allocated for them."""
    if not len(values):
        return []
    low, high = int(values.min()), int(values.max())
    if low < 0 or high >= _SHARED_INTS:
        return values.tolist()
    # Sizes grow by doubling, so the cache is rebuilt only a few times.
    return _int_objects(max(1 << 14, 1 << high.bit_length()))[values].tolist()
