"""The tick a strategy's on_tick receives, as a type."""

from __future__ import annotations

from typing import NotRequired, TypedDict

from vorn_kest_backtest.runner.choices import Market


class Tick(TypedDict):
    """一筆 Tick: market_type ("Stock" / "Future"), timestamp (epoch 秒), code, close (成交價), qty (成交量),
    tick_type (1 外盤, 2 內盤, 0 不明), is_simulate (補齊 K 棒的虛擬 Tick), is_backfilling;
    來源有報價時另有 bid_price / ask_price."""

    market_type: Market
    timestamp: float
    code: str
    close: float
    qty: int
    tick_type: int
    is_simulate: bool
    is_backfilling: bool
    bid_price: NotRequired[float]
    ask_price: NotRequired[float]
