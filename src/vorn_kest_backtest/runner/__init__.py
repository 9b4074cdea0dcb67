"""策略回測執行器: 策略基底類別, 策略可用的 Context, 以及完整回測流程.

The names load on first use, so the command line's help and a sweep worker start without the
data-frame and report libraries; type checkers and `dir()` see them all.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from vorn_kest_backtest.lazy_exports import lazy_exports

if TYPE_CHECKING:
    from vorn_kest_backtest.runner.bars import Bar, BarSeries
    from vorn_kest_backtest.runner.choices import FillMode, FillModel, IndicatorKind, LimitRule, Market, RollMode, Unit
    from vorn_kest_backtest.runner.context import Context
    from vorn_kest_backtest.runner.errors import BacktestInputError, StrategyError
    from vorn_kest_backtest.runner.indicators import Indicator
    from vorn_kest_backtest.runner.result import BacktestResult
    from vorn_kest_backtest.runner.session import run_backtest
    from vorn_kest_backtest.runner.strategy import Strategy
    from vorn_kest_backtest.runner.sweep_run import prefetch_sweep_job, run_sweep_job
    from vorn_kest_backtest.runner.tick import Tick

_HOMES = {
    "BacktestInputError": "vorn_kest_backtest.runner.errors",
    "BacktestResult": "vorn_kest_backtest.runner.result",
    "Bar": "vorn_kest_backtest.runner.bars",
    "BarSeries": "vorn_kest_backtest.runner.bars",
    "StrategyError": "vorn_kest_backtest.runner.errors",
    "Context": "vorn_kest_backtest.runner.context",
    "FillMode": "vorn_kest_backtest.runner.choices",
    "FillModel": "vorn_kest_backtest.runner.choices",
    "Indicator": "vorn_kest_backtest.runner.indicators",
    "IndicatorKind": "vorn_kest_backtest.runner.choices",
    "LimitRule": "vorn_kest_backtest.runner.choices",
    "Market": "vorn_kest_backtest.runner.choices",
    "RollMode": "vorn_kest_backtest.runner.choices",
    "Unit": "vorn_kest_backtest.runner.choices",
    "run_backtest": "vorn_kest_backtest.runner.session",
    "Strategy": "vorn_kest_backtest.runner.strategy",
    "Tick": "vorn_kest_backtest.runner.tick",
    "run_sweep_job": "vorn_kest_backtest.runner.sweep_run",
    "prefetch_sweep_job": "vorn_kest_backtest.runner.sweep_run",
}

__all__ = [
    "BacktestInputError", "BacktestResult", "Bar", "BarSeries", "Context", "FillMode", "FillModel", "Indicator",
    "IndicatorKind", "LimitRule", "Market", "RollMode", "Strategy", "StrategyError", "Tick", "Unit",
    "prefetch_sweep_job", "run_backtest", "run_sweep_job",
]

__getattr__, __dir__ = lazy_exports(__name__, _HOMES, __all__, globals())
