"""Account, positions, quotes and reports, from the compiled core."""

from __future__ import annotations

from typing import Any

from vorn_kest_backtest._core import positions as _native
from vorn_kest_backtest._core.positions import (
    Ledger,
    OrderMatcher,
    QuoteManager,
    trailing_stop_level,
)
from vorn_kest_backtest._core.ticker import Queue
from vorn_kest_backtest.modules.positions.account import Positions

__all__ = [
    "Ledger",
    "OrderMatcher",
    "Positions",
    "Queue",
    "QuoteManager",
    "drive_replay",
    "trailing_stop_level",
]


def drive_replay(ticker: Any, positions: Any, quote_manager: Any, ctx: Any, *, on_tick: Any, on_tick_failed: Any,
                 deliver_bars: Any, bar_events: bool, matcher: Any, matched: Any, last_ticks: Any, last_quotes: Any,
                 recorder: Any, progress: Any, progress_every: int, progress_interval: float, utc_offset_hours: int,
                 roll_held: Any = None, roll_session: Any = None) -> int:
    """逐筆回放直到結束狀態, 回傳處理的 Tick 數. 帳戶的目前 Tick, 行情與 K 棒事件在 C++ 中更新, 等待中的委託由
    matcher (OrderMatcher) 撮合; 只在策略定義的方法, 委託成交或到期 (matched(這一筆, 事件)), 換月持有的代碼可能
    開始新的交易日 (roll_session(前一筆, 這一筆), 在委託簿與策略之前; roll_held 為持有月份的代碼), 以及權益每分鐘
    取樣時呼叫 Python."""
    if (roll_held is None) != (roll_session is None):
        raise ValueError("roll_held 與 roll_session 須同時給或同時不給")
    if not isinstance(quote_manager, QuoteManager):
        raise TypeError("quote_manager 必須是 QuoteManager")
    if not isinstance(matcher, OrderMatcher):
        raise TypeError("matcher 必須是 OrderMatcher")
    if not isinstance(last_ticks, dict):
        raise TypeError("last_ticks 必須是 dict")
    if last_quotes is not None and not isinstance(last_quotes, dict):
        raise TypeError("last_quotes 必須是 dict 或 None")
    if roll_held is not None and not isinstance(roll_held, dict):
        raise TypeError("roll_held 必須是 dict 或 None")
    return _native.drive_replay(
        ticker, positions, quote_manager, ctx, on_tick=on_tick, on_tick_failed=on_tick_failed,
        deliver_bars=deliver_bars, bar_events=bar_events, matcher=matcher, matched=matched, last_ticks=last_ticks,
        last_quotes=last_quotes, recorder=recorder, progress=progress, progress_every=progress_every,
        progress_interval=progress_interval, utc_offset_hours=utc_offset_hours, roll_held=roll_held,
        roll_session=roll_session)
