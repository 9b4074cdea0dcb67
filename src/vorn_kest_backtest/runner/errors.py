"""Errors the command line reports as one clear message instead of a traceback."""

from __future__ import annotations

import os
import traceback
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


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def explain_strategy_error(error: StrategyError, strategy_file: str | None, *, full: bool = False) -> str:
    """錯誤訊息加上策略檔案中的 traceback 位置 (full 為 True 時為完整 traceback)."""
    cause = error.error
    if full:
        return "".join(traceback.format_exception(cause)).rstrip() + "\n錯誤: " + str(error)
    frames = [frame for frame in traceback.extract_tb(cause.__traceback__)
              if strategy_file and _same_file(frame.filename, strategy_file)]
    lines = traceback.format_list(frames)
    if (isinstance(cause, SyntaxError) and strategy_file and cause.filename
            and _same_file(cause.filename, strategy_file)):
        lines.append(f'  File "{cause.filename}", line {cause.lineno}\n    {(cause.text or "").strip()}\n')
    where = "策略檔案中的位置 (完整 traceback 請加 --debug):\n" + "".join(lines).rstrip() if lines else ""
    return f"錯誤: {error}" + ("\n" + where if where else "")
