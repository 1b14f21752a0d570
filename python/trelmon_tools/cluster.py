"""Partitions of a sample on a Dask cluster (``distributed``, the optional extra ``dask``).

:func:`connect` gives a ``distributed.Client``: on a ``LocalCluster`` sized to this machine, on
a running scheduler's address or through a scheduler file. :func:`on_client` submits one task
per partition and yields their results as they finish; :func:`trelmon_tools.pipeline.run_plan`
puts them back in order. A task whose worker dies is run again elsewhere by the scheduler, and
only one result per partition is ever taken, so nothing is counted twice or lost.
"""

from __future__ import annotations

import contextlib
import signal
import threading
import uuid
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from .progress import available_processors

__all__ = ["DaskMissing", "connect", "on_client", "require_distributed"]

INSTALL_HINT = 'pip install "dask[distributed]" (or pip install "trelmon[dask]")'


class DaskMissing(ImportError):
    """``distributed`` is not installed; the message says what to install."""


def require_distributed() -> Any:
    try:
        import distributed
    except ImportError:
        raise DaskMissing(
            f"running on Dask needs dask's distributed scheduler: {INSTALL_HINT}"
        ) from None
    return distributed


@contextlib.contextmanager
def connect(where: str | None = None, workers: int | None = None) -> Iterator[Any]:
    """A ``distributed.Client`` for the duration of the block.

    ``where``: None or "local" starts a ``LocalCluster`` of ``workers`` single-threaded worker
    processes (default: one per usable processor) and stops it at the end; an address such as
    ``tcp://HOST:PORT`` connects to a running scheduler; a path to an existing file is read as
    a scheduler file.
    """
    distributed = require_distributed()
    if where in (None, "local"):
        n = workers or available_processors()
        # One solving thread per worker process: the processes are the parallelism.
        with (
            distributed.LocalCluster(
                n_workers=n,
                threads_per_worker=1,
                processes=True,
                dashboard_address=":0",
                env={"TRELMON_NUM_THREADS": "1"},
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            yield client
        return
    import dask

    from .run import RunError

    # Dask's own setting (30 s unless configured) bounds the wait for an absent scheduler.
    timeout = dask.config.get("distributed.comm.timeouts.connect")
    try:
        if "://" not in where and Path(where).is_file():
            client = distributed.Client(scheduler_file=where, timeout=timeout)
        else:
            client = distributed.Client(where, timeout=timeout)
    except (OSError, ValueError) as e:  # no scheduler there, or not an address
        message = " ".join(str(e).split()) or type(e).__name__
        raise RunError(f"cannot reach the Dask scheduler {where}: {message}") from None
    with client:
        yield client


def on_client(client: Any, partitions, task, arguments: tuple) -> Iterator[Any]:
    """Run ``task(partition, *arguments)`` for every partition on ``client``; yield the results
    as they finish. Leaving early (an error, Ctrl-C) cancels the tasks not yet done."""
    distributed = require_distributed()
    run = uuid.uuid4().hex[:12]
    with _interrupt_deferred() as interrupted:
        # A Ctrl-C inside submit would leave a half-made Future that complains when collected,
        # and tasks submitted but never cancelled; it is taken once every task is submitted.
        # The arguments are shipped once, not with every task.
        [shared] = client.scatter([arguments], broadcast=False, hash=False)
        futures = [
            client.submit(
                _call,
                task,
                partition,
                shared,
                key=f"trelmon-{run}-{partition.index}",
                # Earlier partitions first, so that results can be folded as they come.
                priority=-partition.index,
                pure=False,
            )
            for partition in partitions
        ]
    done = distributed.as_completed(futures)
    try:
        if interrupted:
            raise KeyboardInterrupt
        for future in done:
            result = future.result()
            future.release()
            yield result
    finally:
        client.cancel(futures)


@contextlib.contextmanager
def _interrupt_deferred() -> Iterator[list[int]]:
    """Ctrl-C held back for the block; the list it gives says whether one came."""
    received: list[int] = []
    if threading.current_thread() is not threading.main_thread():
        yield received
        return
    previous = signal.signal(signal.SIGINT, lambda signum, frame: received.append(signum))
    try:
        yield received
    finally:
        signal.signal(signal.SIGINT, signal.SIG_DFL if previous is None else previous)


def _call(task, partition, arguments):
    return task(partition, *arguments)
