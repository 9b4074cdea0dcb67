"""Writing the tick cache behind a running replay: one writer for the process."""

from __future__ import annotations

import atexit
import threading
from collections import deque
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass

import polars as pl

from vorn_kest_backtest.ticks.cache import write_cache_day
from vorn_kest_backtest.ticks.console import console_quiet, say


@dataclass
class CacheJob:
    frame: pl.DataFrame
    stamp: str | None
    path: str
    code: str
    date: str


class CacheWriter:
    """While any run is reading its days (`hold`), the days read are queued; they are written on the writer's
    thread once the reading is over, so a replay starts as soon as its data is read and the cache is written while
    it runs. A failed write prints a red line and costs the next run a read of the source, never this run its
    ticks."""

    def __init__(self) -> None:
        self._changed = threading.Condition()
        self._jobs: deque[CacheJob] = deque()
        self._writing: str | None = None
        # Days being read from the source by a reader that will cache them, by path: the reading thread's id.
        self._fetching: dict[str, int] = {}
        self._holds = 0
        self._waiting = 0  # callers in wait_for: the queue is written whatever the holds
        self._stopping = False
        self._closed = False
        self._thread: threading.Thread | None = None

    def hold(self) -> None:
        with self._changed:
            self._holds += 1

    def release(self) -> None:
        with self._changed:
            self._holds -= 1
            if self._holds == 0:
                self._changed.notify_all()

    def submit(self, job: CacheJob) -> None:
        """Queues the day. After `shut_down` the day is written at once."""
        with self._changed:
            if not self._closed:
                self._jobs.append(job)
                if self._thread is None:
                    self._thread = threading.Thread(target=self._run, name="TickCacheWriter", daemon=True)
                    self._thread.start()
                self._changed.notify_all()
                return
        self._write(job)

    def _pending(self, path: str) -> bool:
        if not path:
            return bool(self._jobs) or self._writing is not None
        fetcher = self._fetching.get(path)
        if fetcher is not None and fetcher != threading.get_ident():
            return True
        return self._writing == path or any(job.path == path for job in self._jobs)

    @contextmanager
    def reading(self, path: str) -> Iterator[None]:
        """Waits as `wait_for` does, then marks `path` as read by this thread until the block ends: another reader
        of the day waits for this one's file instead of asking the source again, and never sees it half done. The
        reading thread itself never waits on its own mark."""
        with self._changed:
            self._wait_locked(path)
            # Already this thread's (a nested read of the same day): the outer block lifts the mark.
            marked = path not in self._fetching
            if marked:
                self._fetching[path] = threading.get_ident()
        try:
            yield
        finally:
            if marked:
                with self._changed:
                    del self._fetching[path]
                    self._changed.notify_all()

    def wait_for(self, path: str = "") -> None:
        """Until no write of this path is queued or under way; until every queued day is written when `path` is
        empty. Queued days are written meanwhile even while a run reads."""
        with self._changed:
            self._wait_locked(path)

    def _wait_locked(self, path: str) -> None:
        if not self._pending(path):
            return
        self._waiting += 1
        self._changed.notify_all()
        try:
            self._changed.wait_for(lambda: not self._pending(path))
        finally:
            self._waiting -= 1

    def shut_down(self) -> None:
        """Writes what is queued and ends the thread (interpreter exit)."""
        with self._changed:
            self._stopping = True
            self._changed.notify_all()
        if self._thread is not None:
            self._thread.join()
        with self._changed:
            self._closed = True

    def _run(self) -> None:
        with self._changed:
            while True:
                self._changed.wait_for(
                    lambda: self._stopping or (bool(self._jobs) and (self._holds == 0 or self._waiting > 0)))
                if not self._jobs:
                    return
                job = self._jobs.popleft()
                self._writing = job.path
                self._changed.release()
                try:
                    self._write(job)
                finally:
                    self._changed.acquire()
                    self._writing = None
                    self._changed.notify_all()

    @staticmethod
    def _write(job: CacheJob) -> None:
        try:
            write_cache_day(job.frame, job.path, job.stamp)
        except Exception as e:
            if not console_quiet():
                say(f"[red]無法寫入 {job.code} {job.date} 的 Tick 快取, 錯誤訊息: {e}[/red]")


writer = CacheWriter()
# Interpreter exit writes what is queued; a day read after that is written at once.
atexit.register(writer.shut_down)

_deferring = threading.local()


@contextmanager
def deferred_writes() -> Iterator[None]:
    """Marks the current thread as reading the days of a replay: the days it fetches are queued for the writer
    instead of written before the next day is read."""
    depth = getattr(_deferring, "depth", 0)
    _deferring.depth = depth + 1
    if depth == 0:
        writer.hold()
    try:
        yield
    finally:
        _deferring.depth = depth
        if depth == 0:
            writer.release()


def deferring() -> bool:
    return getattr(_deferring, "depth", 0) > 0
