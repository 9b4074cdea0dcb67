"""`--prefetch`: fill the shared tick cache once, before any run reads it.

Without it every worker that starts a run on a day nobody has cached yet downloads that day
itself, so the first wave of a sweep fetches each day once per worker. Here each code and date
range of the plan is fetched by one call on the engine; the runs then only read the cache.
"""

from __future__ import annotations

import time
from typing import Any

from vorn_kest_backtest import utils
from vorn_kest_backtest.sweep.engine import Engine
from vorn_kest_backtest.sweep.stop_signals import StopRequest
from vorn_kest_backtest.sweep.worker import execute_run, failed_outcome

PREFETCH_FN = "vorn_kest_backtest.runner:prefetch_sweep_job"
_POLL = 0.25


def prefetch_jobs(jobs: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """每個不同的 (代碼, 日期區間, 資料來源) 一個預先載入的 job; 沒有指定代碼的 job 用策略自己的代碼."""
    units: dict[tuple[Any, ...], dict[str, Any]] = {}
    for job in jobs:
        source = (job["options"].get("broker"), job["options"].get("data"))
        for codes in [[code] for code in job["codes"]] or [[]]:
            key = (tuple(codes), job["strategy"] if not codes else None, job["start"], job["end"], source)
            if key not in units:
                units[key] = {**job, "run": len(units), "params": {}, "codes": codes}
    return list(units.values())


def prefetch(engine: Engine, jobs: list[dict[str, Any]], stop: StopRequest | None = None,
             timeout: float | None = None) -> int:
    """在引擎上預先載入 jobs 需要的 Tick; 回傳失敗的數目 (失敗不中止掃描, 該回測自己再試)."""
    units = prefetch_jobs(jobs)
    utils.console.print(f"[green]預先載入 Tick 資料: {len(units)} 個代碼與區間[/green]")
    deadline = None if timeout is None else time.monotonic() + timeout
    pending = {engine.submit(execute_run, PREFETCH_FN, unit): unit for unit in units}
    errors: list[str] = []
    # Calls still pending when the sweep stops are left to the engine's close.
    while pending and not (stop is not None and stop.requested):
        if deadline is not None and time.monotonic() >= deadline:
            break
        for future in engine.wait(list(pending), _POLL):
            unit = pending.pop(future)
            try:
                outcome = future.result()
            except Exception as exc:
                outcome = failed_outcome(unit, exc)
            if outcome["error"] is not None:
                errors.append(f"{','.join(unit['codes']) or '策略的代碼'} {unit['start']}~{unit['end']}: "
                              f"{outcome['error']}")
    if errors:
        utils.console.print(f"[yellow]預先載入失敗 {len(errors)} 個: {errors[0]}[/yellow]")
    return len(errors) + len(pending)
