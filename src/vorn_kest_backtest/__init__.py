"""Backtesting toolkit for Taiwan stock and futures strategies.

`backtest(...)` runs one backtest from Python and returns a `BacktestResult`; `vorn_kest_backtest.sweep.sweep(...)`
runs a grid of them.
The names load on first use, so the command line starts without the data-frame and report libraries;
type checkers see them through the imports below.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from vorn_kest_backtest.lazy_exports import lazy_exports

if TYPE_CHECKING:
    from vorn_kest_backtest.backtest_api import backtest
    from vorn_kest_backtest.brokers.frame import FrameBroker
    from vorn_kest_backtest.runner.bars import Bar
    from vorn_kest_backtest.runner.context import Context
    from vorn_kest_backtest.runner.errors import BacktestInputError, StrategyError
    from vorn_kest_backtest.runner.result import BacktestResult
    from vorn_kest_backtest.runner.strategy import Strategy
    from vorn_kest_backtest.runner.tick import Tick

_HOMES = {
    "backtest": "vorn_kest_backtest.backtest_api",
    "BacktestResult": "vorn_kest_backtest.runner.result",
    "Bar": "vorn_kest_backtest.runner.bars",
    "BacktestInputError": "vorn_kest_backtest.runner.errors",
    "Context": "vorn_kest_backtest.runner.context",
    "FrameBroker": "vorn_kest_backtest.brokers.frame",
    "Strategy": "vorn_kest_backtest.runner.strategy",
    "StrategyError": "vorn_kest_backtest.runner.errors",
    "Tick": "vorn_kest_backtest.runner.tick",
}

__all__ = [
    "BacktestInputError", "BacktestResult", "Bar", "Context", "FrameBroker", "Strategy", "StrategyError", "Tick",
    "backtest",
]

__getattr__, __dir__ = lazy_exports(__name__, _HOMES, __all__, globals())
