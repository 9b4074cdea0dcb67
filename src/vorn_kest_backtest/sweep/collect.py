"""Drives one sweep over an engine: submit every run, gather outcomes in batches as they finish.

A stop signal (see `stop_signals`), Ctrl-C or the sweep time limit stops the gathering: queued
runs are cancelled, running ones abandoned, and the outcomes already gathered are kept. Each
unfinished run is named "interrupted" (it had begun on a worker) or "not run".
"""

from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from vorn_kest_backtest.sweep.columns import STATUS_INTERRUPTED, STATUS_NOT_RUN
from vorn_kest_backtest.sweep.engine import Engine
from vorn_kest_backtest.sweep.run_function import RunFn
from vorn_kest_backtest.sweep.stop_signals import StopRequest
from vorn_kest_backtest.sweep.worker import execute_run, failed_outcome

INTERRUPTED = "interrupted"
TIMED_OUT = "timed out"
_POLL = 0.25  # seconds between two looks at the stop request while runs are going
_SUBMISSIONS = 3  # times one run is handed to an engine that keeps losing it


@dataclass(frozen=True)
class Collected:
    outcomes: dict[int, dict[str, Any]]
    stopped: str | None
    unfinished: dict[int, str] = field(default_factory=dict)  # run -> "interrupted" / "not run"


def collect(
    engine: Engine,
    run_fn: str | RunFn,
    jobs: list[dict[str, Any]],
    *,
    on_outcome: Callable[[dict[str, Any]], None] | None = None,
    on_batch: Callable[[list[dict[str, Any]]], None] | None = None,
    timeout: float | None = None,
    stop: StopRequest | None = None,
) -> Collected:
    """在已啟動的引擎上執行每個 run job; 傳回以 run 編號為鍵的結果.

    on_batch gets the outcomes that finished together (before on_outcome sees each of them).
    """
    outcomes: dict[int, dict[str, Any]] = {}
    pending: dict[Any, dict[str, Any]] = {}
    submissions: dict[int, int] = {}
    deadline = None if timeout is None else time.monotonic() + timeout
    stopped = None

    def submit(job: dict[str, Any]) -> None:
        submissions[job["run"]] = submissions.get(job["run"], 0) + 1
        pending[engine.submit(execute_run, run_fn, job)] = job

    def gather(wait: float) -> None:
        batch = []
        for future in engine.wait(list(pending), wait):
            job = pending.pop(future)
            outcome, lost = _outcome(engine, future, job)
            if lost and submissions[job["run"]] < _SUBMISSIONS and stopped is None:
                submit(job)
                continue
            outcomes[outcome["run"]] = outcome
            batch.append(outcome)
        if batch and on_batch is not None:
            on_batch(batch)
        for outcome in batch:
            if on_outcome is not None:
                on_outcome(outcome)

    try:
        if stop is not None and stop.requested:
            stopped = INTERRUPTED
        elif deadline is not None and deadline <= time.monotonic():
            stopped = TIMED_OUT
        else:
            for job in jobs:
                submit(job)
        while pending and stopped is None:
            left = _POLL if deadline is None else deadline - time.monotonic()
            if stop is not None and stop.requested:
                stopped = INTERRUPTED
            elif left <= 0:
                stopped = TIMED_OUT
            # After a stop, one last look keeps the runs that finished meanwhile.
            gather(0 if stopped else min(_POLL, left))
    except KeyboardInterrupt:
        stopped = INTERRUPTED
    if stop is not None and stop.requested:
        stopped = INTERRUPTED
    unfinished = {job["run"]: STATUS_NOT_RUN for job in jobs if job["run"] not in outcomes}
    if pending:
        for future in engine.started(list(pending)):
            unfinished[pending[future]["run"]] = STATUS_INTERRUPTED
        engine.stop(list(pending))
    return Collected(outcomes, stopped, unfinished)


def _outcome(engine: Engine, future: Any, job: dict[str, Any]) -> tuple[dict[str, Any], bool]:
    # The run function's own errors come back inside the outcome; this catches the engine's
    # (a worker that died, a job that did not pickle), so one lost run is still one row.
    try:
        return future.result(), False
    except Exception as exc:
        return failed_outcome(job, exc), engine.lost(exc)
