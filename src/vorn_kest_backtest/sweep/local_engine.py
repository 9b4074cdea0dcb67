"""Local engine: a pool of worker processes over all cores of this machine.

Workers are started by forkserver (spawn where there is none), never by fork: the extension
modules start replay threads, and a forked copy of a process with running threads can hold
locks that nobody will release. Workers ignore Ctrl-C so that only the sweep decides what
happens to the runs in flight.
"""

from __future__ import annotations

import concurrent.futures
import multiprocessing
import os
import signal
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor
from typing import Any


def _start_method() -> str:
    return "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"


def _ignore_interrupt() -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)


class LocalPoolEngine:
    """本機程序池 (預設使用所有核心)."""

    name = "local"

    def __init__(self, workers: int | None = None) -> None:
        self.workers = workers or os.cpu_count() or 1
        self._pool: ProcessPoolExecutor | None = None

    def __enter__(self) -> LocalPoolEngine:
        self._pool = ProcessPoolExecutor(
            max_workers=self.workers,
            mp_context=multiprocessing.get_context(_start_method()),
            initializer=_ignore_interrupt,
        )
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._pool is not None:
            self._pool.shutdown(wait=True, cancel_futures=True)
            self._pool = None

    def submit(self, fn: Callable[..., Any], *args: Any) -> Future:
        if self._pool is None:
            raise RuntimeError("引擎尚未啟動")
        return self._pool.submit(fn, *args)

    def as_completed(self, futures: list[Future], timeout: float | None) -> Iterator[Future]:
        return concurrent.futures.as_completed(futures, timeout=timeout)

    def stop(self, futures: Iterable[Future]) -> None:
        if self._pool is None:
            return
        # Queued calls are cancelled by the pool's own shutdown (cancelling them here as well
        # races with its manager thread). Calls already handed to a worker cannot be
        # cancelled: end the workers rather than wait for long runs. Python 3.14 has a public
        # call for it; older pools do not.
        terminate = getattr(self._pool, "terminate_workers", None)
        if terminate is not None:
            terminate()
            return
        processes = list(getattr(self._pool, "_processes", {}).values())
        self._pool.shutdown(wait=False, cancel_futures=True)
        for process in processes:
            if process.is_alive():
                process.terminate()
