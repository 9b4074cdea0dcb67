"""What runs inside a worker for one run job: point at the tick cache, call, time, catch.

Kept free of heavy imports so that fresh worker processes start fast.
"""

from __future__ import annotations

import time
from collections.abc import Mapping
from typing import Any

from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.sweep.columns import COUNT_METRICS, METRIC_COLUMNS
from vorn_kest_backtest.sweep.run_function import RunFn, resolve_run_fn


def execute_run(run_fn: str | RunFn, job: dict[str, Any]) -> dict[str, Any]:
    """執行一次回測; 失敗時傳回錯誤文字而不拋出, 讓整個掃描繼續."""
    if job.get("data_dir"):
        BASIC_INFO.data_dir = job["data_dir"]
    began = time.perf_counter()
    try:
        summary = _summary(resolve_run_fn(run_fn)(job))
        error = None
    except Exception as exc:
        summary, error = {}, error_text(exc)
    return {"run": job["run"], "summary": summary, "run_time_s": time.perf_counter() - began, "error": error}


def error_text(exc: BaseException) -> str:
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
