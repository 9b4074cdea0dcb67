"""Errors the command line reports as one clear message instead of a traceback."""

from __future__ import annotations

from typing import Any

from vorn_kest_backtest.modules.market.market import exchange_datetime


class BacktestInputError(ValueError):
    """錯誤的輸入 (代碼, 日期, 策略檔案)."""


class StrategyError(RuntimeError):
    """策略執行時發生錯誤; 訊息標出發生錯誤的 Tick."""

    def __init__(self, hook: str, error: BaseException, tick: dict[str, Any] | None = None) -> None:
        self.hook = hook
        self.error = error
        self.tick = tick
        where = f"策略 {hook} 發生錯誤"
        if tick is not None:
            when = exchange_datetime(tick["timestamp"]).strftime("%Y-%m-%d %H:%M:%S.%f")
            where += f" (Tick: {tick['code']} {when} close={tick['close']} qty={tick['qty']})"
        super().__init__(f"{where}: {type(error).__name__}: {error}")
