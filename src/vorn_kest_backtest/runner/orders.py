"""Market orders filled at the latest tick's close, booked in the simulated account."""

from __future__ import annotations

from itertools import count
from typing import Any

from vorn_kest_backtest.constant import Action


class OrderBook:
    """Turns buy/sell requests into an "Order" record, a fill through set_positions, and a "Deal" record."""

    def __init__(self, positions) -> None:
        self._positions = positions
        self._ids = count(1)
        self.last_ticks: dict[str, dict[str, Any]] = {}

    def on_tick(self, tick: dict[str, Any]) -> None:
        self.last_ticks[tick["code"]] = tick

    def submit(self, code: str, action: Action, quantity: int) -> dict[str, Any]:
        if not isinstance(quantity, int) or isinstance(quantity, bool) or quantity <= 0:
            raise ValueError(f"下單數量必須是正整數: {quantity!r}")
        tick = self.last_ticks.get(code)
        if tick is None:
            raise ValueError(f"尚未收到 {code} 的 Tick, 無法下單")
        trade_id = str(next(self._ids))
        product_type = tick["market_type"]
        origin_price = float(tick["close"])
        timestamp = float(tick["timestamp"])
        self._positions.add_trade_record(trade_id, code, action.value, quantity, origin_price, timestamp, "Order")
        # The fill carries the quoted price; the account applies slippage and costs as configured.
        price = origin_price
        fill = {
            "trade_id": trade_id,
            "code": code,
            "action": action.value,
            "quantity": quantity,
            "price": price,
            "origin_price": origin_price,
            "exchange_ts": timestamp,
        }
        self._positions.set_positions(fill, product_type)
        self._positions.add_trade_record(trade_id, code, action.value, quantity, price, timestamp, "Deal")
        return fill
