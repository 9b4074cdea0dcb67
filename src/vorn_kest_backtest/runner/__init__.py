"""策略回測執行器: 策略基底類別, 策略可用的 Context, 以及完整回測流程.

The names load on first use, so the command line's help and a sweep worker start without the
data-frame and report libraries.
"""

from __future__ import annotations

from importlib import import_module
from typing import Any

_HOMES = {
    "BacktestInputError": "vorn_kest_backtest.runner.errors",
    "StrategyError": "vorn_kest_backtest.runner.errors",
    "Context": "vorn_kest_backtest.runner.context",
    "run_backtest": "vorn_kest_backtest.runner.session",
    "Strategy": "vorn_kest_backtest.runner.strategy",
    "run_sweep_job": "vorn_kest_backtest.runner.sweep_run",
    "prefetch_sweep_job": "vorn_kest_backtest.runner.sweep_run",
}

__all__ = [
    "BacktestInputError", "Context", "Strategy", "StrategyError", "prefetch_sweep_job", "run_backtest", "run_sweep_job",
]


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(import_module(home), name)
