"""What runs inside a worker for one run job: point at the tick cache, call, time, catch.

Kept free of heavy imports so that fresh worker processes start fast.
"""

from __future__ import annotations

import time
from collections.abc import Mapping
from typing import Any

from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.sweep.columns import COUNT_METRICS, METRIC_COLUMNS
from vorn_kest_backtest.sweep.run_function import DAILY_EQUITY_KEY, INITIAL_CAPITAL_KEY, RunFn, resolve_run_fn
from vorn_kest_backtest.sweep.worker_death import WorkerDied


def execute_run(run_fn: str | RunFn, job: dict[str, Any]) -> dict[str, Any]:
    """執行一次回測; 失敗時傳回錯誤文字而不拋出, 讓整個掃描繼續."""
    if job.get("data_dir"):
        BASIC_INFO.data_dir = job["data_dir"]
    began = time.perf_counter()
    equity: dict[str, Any] = {}
    try:
        result = resolve_run_fn(run_fn)(job)
        summary = _summary(result)
        if result.get(DAILY_EQUITY_KEY) is not None:
            equity = {INITIAL_CAPITAL_KEY: float(result[INITIAL_CAPITAL_KEY]),
                      DAILY_EQUITY_KEY: [(str(day), float(value)) for day, value in result[DAILY_EQUITY_KEY]]}
        error = None
    except Exception as exc:
        summary, error = {}, error_text(exc)
    return {"run": job["run"], "summary": summary, "run_time_s": time.perf_counter() - began, "error": error,
            **equity}


def failed_outcome(job: dict[str, Any], exc: BaseException) -> dict[str, Any]:
    """The outcome of a run the engine could not bring back (its worker died, its job did not pickle)."""
    return {"run": job["run"], "summary": {}, "run_time_s": None, "error": error_text(exc)}


def error_text(exc: BaseException) -> str:
    if isinstance(exc, WorkerDied):
        return str(exc)
    message = str(exc)
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


def _summary(result: Mapping[str, Any]) -> dict[str, Any]:
    if not isinstance(result, Mapping):
        raise TypeError(f"回測函式必須傳回 mapping: {type(result).__name__}")
    summary = {}
    for key in METRIC_COLUMNS:
        value = result.get(key)
        if value is not None:
            value = int(value) if key in COUNT_METRICS else float(value)
        summary[key] = value
    return summary
