"""Drives one sweep over an engine: submit every run, gather outcomes as they finish.

Ctrl-C or the sweep time limit stops the gathering: queued runs are cancelled, running ones
abandoned, and the outcomes already gathered are kept.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from vorn_kest_backtest.sweep.engine import Engine
from vorn_kest_backtest.sweep.run_function import RunFn
from vorn_kest_backtest.sweep.worker import error_text, execute_run

INTERRUPTED = "interrupted"
TIMED_OUT = "timed out"


@dataclass(frozen=True)
class Collected:
    outcomes: dict[int, dict[str, Any]]
    stopped: str | None


def collect(
    engine: Engine,
    run_fn: str | RunFn,
    jobs: list[dict[str, Any]],
    *,
    on_outcome: Callable[[dict[str, Any]], None] | None = None,
    timeout: float | None = None,
) -> Collected:
    """在已啟動的引擎上執行每個 run job; 傳回以 run 編號為鍵的結果."""
    outcomes: dict[int, dict[str, Any]] = {}
    futures: dict[Any, dict[str, Any]] = {}
    stopped = None
    try:
        for job in jobs:
            futures[engine.submit(execute_run, run_fn, job)] = job
        for future in engine.as_completed(list(futures), timeout):
            outcome = _outcome(future, futures[future])
            outcomes[outcome["run"]] = outcome
            if on_outcome is not None:
                on_outcome(outcome)
    except KeyboardInterrupt:
        stopped = INTERRUPTED
    except TimeoutError:
        stopped = TIMED_OUT
    if stopped:
        engine.stop(future for future in futures if not future.done())
    return Collected(outcomes, stopped)


def _outcome(future: Any, job: dict[str, Any]) -> dict[str, Any]:
    # The run function's own errors come back inside the outcome; this catches the engine's
    # (a worker that died, a job that did not pickle), so one lost run is still one row.
    try:
        return future.result()
    except Exception as exc:
        return {"run": job["run"], "summary": {}, "run_time_s": None, "error": error_text(exc)}
