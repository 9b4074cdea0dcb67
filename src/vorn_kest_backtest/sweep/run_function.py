"""The per-run function a sweep calls in its workers.

Contract: `run_fn(job) -> Mapping` takes one run job (see `plan`) and returns the summary
figures of that backtest under the keys of the table's metric columns (`trades`, `win_rate`,
`net_profit`, `max_drawdown`, `final_capital`, `sharpe`, ...; missing keys become empty cells, other
keys are ignored). It raises when the run fails; the sweep records the error text and goes on.

When `job["options"]["daily_equity"]` is true (walk-forward test runs ask for it), the mapping also
holds `daily_equity`, the equity at each trading day's close as ("%Y-%m-%d", value) pairs, and
`initial_capital`, the equity the run started from.

A run function is given either as a picklable callable (a module-level function) or as a
dotted path "package.module:function", which each worker imports itself, so nothing but a
string crosses the wire.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Mapping
from typing import Any

RunFn = Callable[[dict[str, Any]], Mapping[str, Any]]

DEFAULT_RUN_FN = "vorn_kest_backtest.runner:run_sweep_job"
DAILY_EQUITY_KEY = "daily_equity"
INITIAL_CAPITAL_KEY = "initial_capital"


def resolve_run_fn(run_fn: str | RunFn) -> RunFn:
    """把 "module:function" 轉為可呼叫的函式; 已可呼叫者原樣傳回."""
    if callable(run_fn):
        return run_fn
    module_name, sep, attribute = str(run_fn).partition(":")
    if not sep or not module_name or not attribute:
        raise ValueError(f"回測函式必須寫成 module:function: {run_fn}")
    target: Any = importlib.import_module(module_name)
    for part in attribute.split("."):
        target = getattr(target, part)
    if not callable(target):
        raise TypeError(f"回測函式無法呼叫: {run_fn}")
    return target
