"""How many trading days of raw ticks a run holds per code, as a run setting.

Bars and indicators do not depend on it: the quotes fold every tick into the bars and into per-minute pieces
before dropping it. It only bounds the memory of a long run and what the tick frames of the quotes show.
"""

from __future__ import annotations

from typing import Any

from vorn_kest_backtest.runner.choices import TickWindow
from vorn_kest_backtest.runner.errors import BacktestInputError

DEFAULT_TICK_WINDOW: TickWindow = "day"


def checked_tick_window(value: Any) -> TickWindow:
    """"day" (the current trading date, the default), "all" (every tick) or a positive number of trading dates,
    also given as its text (as the command line gives it)."""
    if value == "day" or value == "all":
        return "day" if value == "day" else "all"
    if isinstance(value, str) and value.strip().isdigit():
        value = int(value)
    if isinstance(value, int) and not isinstance(value, bool) and value >= 1:
        return value
    raise BacktestInputError(
        f'tick_window 必須是 "day" (當日, 預設), "all" (全部) 或正整數 (最近幾個交易日): {value!r}')


def tick_window_days(value: Any) -> int | None:
    """The number of trading dates the quotes hold (QuoteManager.tick_window_days); None for every tick."""
    window = checked_tick_window(value)
    return 1 if window == "day" else None if window == "all" else int(window)
