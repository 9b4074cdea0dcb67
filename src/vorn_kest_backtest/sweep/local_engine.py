"""Local engine: a pool of worker processes over all cores of this machine.

Each worker process takes one call at a time over its own pipe, so the pool always knows which
run a worker was doing. A worker that dies (killed by the OOM killer, a crash in native code)
fails only that run, with "worker died (signal N)"; a fresh worker takes its place and the other
runs go on.

Workers are fresh interpreters (spawn), never forks: the extension module starts replay threads,
and a forked copy of a process with running threads can hold locks that nobody will release. Nor
forkserver: a worker's exit status reaches the pool through the fork server, so a fork server
ended by a signal to the process group would make every worker look dead. Workers ignore Ctrl-C,
SIGTERM and SIGHUP, which a terminal sends to the whole process group, so that only the sweep
decides what happens to the runs in flight; the sweep ends them with SIGKILL.
"""

from __future__ import annotations

import concurrent.futures
import multiprocessing
import os
import signal
import threading
from collections import deque
from collections.abc import Callable, Iterable
from concurrent.futures import Future
from dataclasses import dataclass
from multiprocessing.connection import Connection, wait
from typing import Any

from vorn_kest_backtest.sweep.stop_signals import STOP_SIGNALS
from vorn_kest_backtest.sweep.worker_death import WorkerDied

_CLOSE_WAIT = 5.0  # seconds an idle worker gets to leave before it is killed


def _serve(conn: Connection) -> None:
    """A worker's life: answer one call at a time until the pool closes the pipe."""
    for number in STOP_SIGNALS:
        signal.signal(number, signal.SIG_IGN)
    while True:
        try:
            message = conn.recv()
        except EOFError:
            return
        except Exception as exc:  # a call that does not unpickle here (a module missing on this side)
            _answer(conn, False, exc)
            continue
        if message is None:
            return
        fn, args = message
        try:
            answered = _answer(conn, True, fn(*args))
        except Exception as exc:
            answered = _answer(conn, False, exc)
        if not answered:
            return


def _answer(conn: Connection, ok: bool, value: Any) -> bool:
    """Sends the answer; False when the pool is gone (nobody left to answer)."""
    try:
        conn.send((ok, value))
    except OSError:
        return False
    except Exception as exc:  # a result or error that does not pickle
        try:
            conn.send((False, RuntimeError(f"{type(exc).__name__}: {exc}")))
        except OSError:
            return False
    return True


@dataclass
class _Worker:
    process: Any
    conn: Connection
    future: Future | None = None
    gone: bool = False  # died while the pool was closing: not replaced, not watched


class LocalPoolEngine:
    """本機程序池 (預設使用所有核心); 一個 worker 死掉只讓它正在跑的那次回測失敗."""

    name = "local"

    def __init__(self, workers: int | None = None) -> None:
        self.workers = workers or os.cpu_count() or 1
        self._context = multiprocessing.get_context("spawn")
        self._lock = threading.Lock()
        self._queue: deque[tuple[Future, Callable[..., Any], tuple[Any, ...]]] = deque()
        self._handed: set[Future] = set()  # queued again after a send to a dead worker: already running
        self._slots: list[_Worker] = []
        self._closing = False
        self._wake_read: Connection | None = None
        self._wake_write: Connection | None = None
        self._manager: threading.Thread | None = None

    def __enter__(self) -> LocalPoolEngine:
        self._closing = False
        self._wake_read, self._wake_write = self._context.Pipe(duplex=False)
        self._slots = [self._start_worker() for _ in range(self.workers)]
        self._manager = threading.Thread(target=self._manage, name="sweep-pool", daemon=True)
        self._manager.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        # Leaving with calls in flight (an error in the sweep itself) abandons them like a stop.
        self.stop(())
        if self._manager is not None:
            self._manager.join()
            self._manager = None
        for worker in self._slots:
            if worker.future is not None:
                worker.process.kill()
            elif not worker.gone:
                try:
                    worker.conn.send(None)
                except OSError:
                    pass
        for worker in self._slots:
            worker.process.join(_CLOSE_WAIT)
            if worker.process.is_alive():
                worker.process.kill()
                worker.process.join()
            worker.conn.close()
        self._slots = []
        if self._wake_read is not None and self._wake_write is not None:
            self._wake_read.close()
            self._wake_write.close()
            self._wake_read = self._wake_write = None

    def submit(self, fn: Callable[..., Any], *args: Any) -> Future:
        future: Future = Future()
        with self._lock:
            if self._manager is None or self._closing:
                raise RuntimeError("引擎尚未啟動")
            self._queue.append((future, fn, args))
        self._wake()
        return future

    def wait(self, futures: list[Future], timeout: float | None) -> set[Future]:
        return concurrent.futures.wait(futures, timeout, concurrent.futures.FIRST_COMPLETED).done

    def started(self, futures: Iterable[Future]) -> set[Future]:
        return {future for future in futures if future.running()}

    def lost(self, exc: BaseException) -> bool:
        # A worker's death is the run's own outcome here: nothing else was on that worker.
        return False

    def stop(self, futures: Iterable[Future]) -> None:
        with self._lock:
            self._closing = True
            for future, _fn, _args in self._queue:
                if future in self._handed:
                    future.set_exception(WorkerDied(None))
                else:
                    future.cancel()
            self._queue.clear()
            self._handed.clear()
            for worker in self._slots:
                if worker.future is not None:
                    worker.process.kill()
        self._wake()

    def _start_worker(self) -> _Worker:
        parent_end, child_end = self._context.Pipe()
        process = self._context.Process(target=_serve, args=(child_end,), name="sweep-worker")
        process.start()
        child_end.close()
        return _Worker(process, parent_end)

    def _wake(self) -> None:
        if self._wake_write is not None:
            self._wake_write.send_bytes(b"")

    def _manage(self) -> None:
        """The pool's one thread: hands out calls, takes answers, replaces dead workers."""
        while True:
            with self._lock:
                if self._closing and all(worker.future is None for worker in self._slots):
                    return
                self._dispatch()
                wake = self._wake_read
                watched: list[Any] = [wake]
                for worker in self._slots:
                    if worker.gone:
                        continue
                    watched.append(worker.process.sentinel)
                    if worker.future is not None:
                        watched.append(worker.conn)
            ready = wait(watched)
            with self._lock:
                if wake in ready:
                    while wake is not None and wake.poll():
                        wake.recv_bytes()
                for index, worker in enumerate(self._slots):
                    if worker.gone:
                        continue
                    if worker.conn in ready:
                        self._take_answer(index, worker)
                    elif worker.process.sentinel in ready:
                        self._bury(index, worker)

    def _dispatch(self) -> None:
        for worker in self._slots:
            while worker.future is None and not worker.gone and self._queue and not self._closing:
                future, fn, args = self._queue.popleft()
                if future not in self._handed and not future.set_running_or_notify_cancel():
                    continue
                self._handed.discard(future)
                try:
                    worker.conn.send((fn, args))
                except OSError:
                    # The worker died idle and its end is not buried yet: the call waits for the next worker.
                    self._handed.add(future)
                    self._queue.appendleft((future, fn, args))
                    break
                except Exception as exc:  # the call does not pickle: its own failure, the worker is fine
                    future.set_exception(exc)
                    continue
                worker.future = future

    def _take_answer(self, index: int, worker: _Worker) -> None:
        try:
            ok, value = worker.conn.recv()
        except (EOFError, OSError):
            self._bury(index, worker)
            return
        future, worker.future = worker.future, None
        if future is not None:
            if ok:
                future.set_result(value)
            else:
                future.set_exception(value)

    def _bury(self, index: int, worker: _Worker) -> None:
        worker.process.join(_CLOSE_WAIT)
        future, worker.future = worker.future, None
        if future is not None and not future.done():
            future.set_exception(WorkerDied(worker.process.exitcode))
        worker.conn.close()
        if self._closing:
            worker.gone = True
            return
        self._slots[index] = self._start_worker()
