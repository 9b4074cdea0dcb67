"""策略回測執行器: 策略基底類別, 策略可用的 Context, 以及完整回測流程."""

from vorn_kest_backtest.runner.context import Context
from vorn_kest_backtest.runner.errors import BacktestInputError, StrategyError
from vorn_kest_backtest.runner.session import run_backtest
from vorn_kest_backtest.runner.strategy import Strategy
from vorn_kest_backtest.runner.sweep_run import run_sweep_job

__all__ = ["BacktestInputError", "Context", "Strategy", "StrategyError", "run_backtest", "run_sweep_job"]
