"""Stand-in run functions for sweep tests: module-level (so they pickle), deterministic."""

from __future__ import annotations

import os
import signal
import time
from typing import Any

from vorn_kest_backtest.constant import BASIC_INFO


def fake_run(job: dict) -> dict:
    """Figures from the parameters and code alone; raises for options["fail_fast"]."""
    params = job["params"]
    fast, slow = params["fast"], params["slow"]
    if fast == job["options"].get("fail_fast"):
        raise RuntimeError(f"策略失敗 fast={fast}")
    bonus = len(",".join(job["codes"]))
    trades = fast + slow
    # (slow - fast) % 3 repeats across the grid, so ties in net_profit exist.
    net = float((slow - fast) % 3 * 100 + bonus)
    return {
        "trades": trades,
        "win_rate": (slow % 7) / 7,
        "net_profit": net,
        "max_drawdown": -float(fast),
        "final_capital": 1_000_000.0 + net,
    }


def marker_run(job: dict) -> dict:
    """Leaves a file in the data directory the worker was pointed at."""
    os.makedirs(BASIC_INFO.data_dir, exist_ok=True)
    with open(os.path.join(BASIC_INFO.data_dir, f"run-{job['run']}.txt"), "w") as handle:
        handle.write(str(os.getpid()))
    return {"trades": 1}


def slow_after_first(job: dict) -> dict:
    """Run 0 returns at once; every other run takes far longer than any test may wait."""
    if job["run"]:
        time.sleep(60)
    return {"trades": 0, "net_profit": 0.0}


def not_a_mapping(job: dict) -> list:
    return [job["run"]]


def paced_run(job: dict) -> dict:
    """Takes options["pause"] seconds; leaves a mark named by the SWEEP_PASS variable, then the figures of `n`."""
    time.sleep(job["options"].get("pause", 0.0))
    marks = job["options"].get("marks")
    if marks:
        folder = os.path.join(marks, os.environ.get("SWEEP_PASS", "first"))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"run-{job['run']}"), "w") as handle:
            handle.write(str(job["params"]))
    n = job["params"]["n"]
    return {"trades": n, "net_profit": float(n * 10)}


def killer_run(job: dict) -> dict:
    """The run whose n is options["killer"] kills its own worker process, as the OOM killer would."""
    if job["params"]["n"] == job["options"]["killer"]:
        os.kill(os.getpid(), signal.SIGKILL)
    return paced_run(job)


def walk_run(job: dict) -> dict:
    """Figures of parameter x on a span: best when x equals the span's first day of the month modulo 3.

    Asked for daily equity, it gives one close per calendar day of the span, growing x percent a day
    from an initial capital of 1000. Fails for x == options["fail_x"], and every test run fails when
    options["fail_tests"] is set.
    """
    x = job["params"]["x"]
    options = job["options"]
    if x == options.get("fail_x") or (options.get("fail_tests") and options.get("daily_equity")):
        raise RuntimeError(f"fails x={x}")
    first = int(job["start"][-2:])
    figures: dict[str, Any] = {"sharpe": -float((x - first % 3) ** 2), "net_profit": float(100 * x + first),
                               "trades": first, "initial_capital": 1000.0}
    if options.get("daily_equity"):
        last = int(job["end"][-2:])
        figures["daily_equity"] = [(f"{job['start'][:-2]}{day:02d}", 1000.0 * (1 + x / 100) ** (day - first + 1))
                                   for day in range(first, last + 1)]
    return figures


def cached_days_run(job: dict) -> dict:
    """Counts the tick cache files of its codes that exist when the run starts (as `trades`)."""
    folder = os.path.join(BASIC_INFO.data_dir, "kest", "ticks")
    names = os.listdir(folder) if os.path.isdir(folder) else []
    return {"trades": sum(1 for name in names for code in job["codes"] if name.startswith(f"{code} ")
                          and name.endswith(" - ticks.csv"))}
