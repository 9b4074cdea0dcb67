"""Distributed engine: Dask distributed, for sweeps larger than one machine.

Why Dask: it installs with a plain `pip install "vorn_kest_backtest[sweep]"` (pure Python, no
daemon to set up), it ships an in-process or local cluster (`LocalCluster`) so CI tests the same
code path without a network, and `Client.submit` takes a picklable function and returns futures
much like the local process pool, so both engines share one driver.

Connecting to a cluster: start a scheduler (`dask scheduler`) and, on every machine, workers
with one thread each (`dask worker tcp://HOST:8786 --nthreads 1 --nworkers auto`), since one
backtest uses process-wide settings (data directory, console) and its own replay threads. Every
worker needs this package (and the strategy and run-function modules) installed. Then:
`sweep(..., engine="dask", address="tcp://HOST:8786")`. Without an address a `LocalCluster` of
single-thread worker processes is started on this machine and closed at the end.

Tick caches: each run job carries the data directory and the worker points
`BASIC_INFO.data_dir` at it before the run. Mount the shared cache at the same path on every
machine (NFS, SMB, ...) and pass that path as `data_dir`; the workers then read the cached tick
files instead of fetching them again. Without shared storage pass `own_cache=True`: every worker
keeps its own data directory (its `VORN_KEST_DATA_DIR`, else `~/.vorn_kest_backtest`) and fills it
from the broker stand-in on first use.

A run that kills its worker fails alone, without retries, and the runs that were waiting on that
worker run elsewhere (see `dask_guard`). A call that Dask still gives up on (`KilledWorker`, when
workers keep dying under it for other reasons) is submitted again by the sweep.
"""


from __future__ import annotations

import logging
import os
import uuid
from collections.abc import Callable, Iterable
from typing import Any


class DaskEngine:
    """Dask distributed: 連線到 address 的排程器, 或在本機 (127.0.0.1) 開一個 LocalCluster."""

    name = "dask"

    def __init__(self, address: str | None = None, workers: int | None = None, *, processes: bool = True) -> None:
        self.address = address
        self.workers = workers or os.cpu_count() or 1
        self.processes = processes
        self._client: Any = None
        self._cluster: Any = None
        self._namespace = uuid.uuid4().hex

    def __enter__(self) -> DaskEngine:
        import distributed

        from vorn_kest_backtest.sweep.dask_guard import WorkerExitLog

        if self.address:
            self._client = distributed.Client(self.address)
        else:
            self._cluster = distributed.LocalCluster(
                n_workers=self.workers,
                threads_per_worker=1,
                processes=self.processes,
                host="127.0.0.1" if self.processes else None,
                dashboard_address=None,
                silence_logs=logging.ERROR,
            )
            self._client = distributed.Client(self._cluster)
        self._client.register_plugin(WorkerExitLog())
        return self

    def __exit__(self, *exc_info: object) -> None:
        from vorn_kest_backtest.sweep.dask_guard import forget

        if self._client is not None:
            try:
                forget(self._client, self._namespace)
            except Exception:  # a scheduler already gone keeps nothing to forget
                pass
            self._client.close()
            self._client = None
        if self._cluster is not None:
            self._cluster.close()
            self._cluster = None

    def submit(self, fn: Callable[..., Any], *args: Any) -> Any:
        from vorn_kest_backtest.sweep.dask_guard import guarded_call

        if self._client is None:
            raise RuntimeError("引擎尚未啟動")
        # Runs are not pure: the same job run twice must run twice, not share one key.
        return self._client.submit(guarded_call, self._namespace, fn, *args, pure=False)

    def wait(self, futures: list[Any], timeout: float | None) -> set[Any]:
        import distributed

        done = {future for future in futures if future.done()}
        if done or not futures:
            return done
        try:
            distributed.wait(futures, timeout=timeout, return_when="FIRST_COMPLETED")
        except TimeoutError:
            return set()
        return {future for future in futures if future.done()}

    def started(self, futures: Iterable[Any]) -> set[Any]:
        from vorn_kest_backtest.sweep.dask_guard import started_keys

        begun = started_keys(self._client, self._namespace)
        return {future for future in futures if str(future.key) in begun}

    def lost(self, exc: BaseException) -> bool:
        import distributed

        return isinstance(exc, distributed.KilledWorker)

    def stop(self, futures: Iterable[Any]) -> None:
        # A task already running on a worker goes on until it returns; its result is dropped.
        if self._client is not None:
            self._client.cancel(list(futures))
