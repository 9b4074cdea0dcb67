"""策略可用的操作: 下單, 查詢 K 線, 持倉與帳戶餘額."""

from __future__ import annotations

from typing import Any

from vorn_kest_backtest.constant import Action
from vorn_kest_backtest.runner.bars import BarSeries
from vorn_kest_backtest.runner.indicators import Indicator
from vorn_kest_backtest.runner.orders import OrderBook


class Context:
    """傳給策略各個方法的物件. `account` 為模擬帳戶 (Positions), `quotes` 為 QuoteManager."""

    def __init__(self, positions, quote_manager) -> None:
        self.account = positions
        self.quotes = quote_manager
        self._orders = OrderBook(positions)
        # Set once a strategy subscribes to bars: the engine then feeds ticks through the bar events.
        self.bar_events = False

    def observe(self, tick: dict[str, Any]) -> None:
        """Called by the engine before the strategy sees the tick; orders fill at its close."""
        self._orders.on_tick(tick)

    @property
    def last_ticks(self) -> dict[str, dict[str, Any]]:
        """每個代碼最新的 Tick."""
        return self._orders.last_ticks

    def buy(self, code: str, qty: int) -> dict[str, Any]:
        """以最新 Tick 的收盤價 (含滑價) 市價買進; 回傳成交內容."""
        return self._orders.submit(code, Action.BUY, qty)

    def sell(self, code: str, qty: int) -> dict[str, Any]:
        """以最新 Tick 的收盤價 (含滑價) 市價賣出 (可平多單或放空); 回傳成交內容."""
        return self._orders.submit(code, Action.SELL, qty)

    def kbar(self, code: str, unit: str = "m", freq: int = 1):
        """目前為止的 K 線 (polars DataFrame: dt, code, Open, High, Low, Close, Volume)."""
        return self.quotes.get_kbar(code, unit=unit, freq=freq)

    # Bar events, bar series and indicators.

    def subscribe(self, code: str, unit: str = "m", freq: int = 1) -> None:
        """訂閱 K 棒收盤事件: 每根收盤的 K 棒呼叫一次策略的 on_bar (在 on_start 中呼叫)."""
        self.quotes.subscribe(code, unit, freq)
        self.bar_events = True

    def bars(self, code: str, unit: str = "m", freq: int = 1) -> BarSeries:
        """目前為止的 K 棒欄位 (唯讀 numpy 檢視, 不複製, 只在下一筆 tick 之前有效); 與 kbar 相同的列."""
        return BarSeries(code, self.quotes.bar_arrays(code, unit, freq))

    def indicator(self, code: str, unit: str, freq: int, kind: str, length: int = 0, width: float = 2.0) -> Indicator:
        """在 (code, unit, freq) 的 K 棒上建立 (或取得同一個) 指標, 每根 K 棒收盤時由 C++ 更新; 也訂閱該 K 棒."""
        handle = self.quotes.add_indicator(code, unit, freq, kind, length, width)
        self.bar_events = True
        return Indicator(self.quotes, handle, kind)

    def positions(self, code: str | None = None):
        """淨持倉數量 (多單為正, 空單為負); 不指定代碼時回傳 {代碼: 淨持倉}."""
        book = self.account.positions
        if code is not None:
            return _net_quantity(book.get(code))
        return {name: _net_quantity(sides) for name, sides in book.items()}

    def balance(self) -> float:
        """帳戶餘額."""
        return self.account.fetch_account_balance()


def _net_quantity(sides) -> int:
    if not sides:
        return 0
    return sum(p["quantity"] for p in sides["buy"]) - sum(p["quantity"] for p in sides["sell"])
