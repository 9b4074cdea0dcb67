"""策略可用的操作: 下單, 查詢 K 線, 持倉與帳戶餘額."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import Action
from vorn_kest_backtest.runner.orders import OrderBook


class Context:
    """傳給策略各個方法的物件. `account` 為模擬帳戶 (Positions), `quotes` 為 QuoteManager,
    `codes` 為這次回測的代碼 (依命令列 --codes 或策略的 codes)."""

    def __init__(self, positions, quote_manager, codes: Sequence[str] = ()) -> None:
        self.account = positions
        self.quotes = quote_manager
        self.codes: tuple[str, ...] = tuple(codes)
        self._orders = OrderBook(positions)
        self._warned: set[str] = set()

    def _check_code(self, code: str) -> None:
        # A strategy written for other codes would otherwise make no trade without a word.
        if self.codes and code not in self.codes and code not in self._warned:
            self._warned.add(code)
            utils.console.print(f"[yellow]策略使用的代碼 {code} 不在這次回測的代碼中 ({', '.join(self.codes)})[/yellow]")

    def observe(self, tick: dict[str, Any]) -> None:
        """Called by the engine before the strategy sees the tick; orders fill at its close."""
        self._orders.on_tick(tick)

    @property
    def last_ticks(self) -> dict[str, dict[str, Any]]:
        """每個代碼最新的 Tick."""
        return self._orders.last_ticks

    def buy(self, code: str, qty: int) -> dict[str, Any]:
        """以最新 Tick 的收盤價 (含滑價) 市價買進; 回傳成交內容."""
        self._check_code(code)
        return self._orders.submit(code, Action.BUY, qty)

    def sell(self, code: str, qty: int) -> dict[str, Any]:
        """以最新 Tick 的收盤價 (含滑價) 市價賣出 (可平多單或放空); 回傳成交內容."""
        self._check_code(code)
        return self._orders.submit(code, Action.SELL, qty)

    def kbar(self, code: str, unit: str = "m", freq: int = 1):
        """目前為止的 K 線 (polars DataFrame: dt, code, Open, High, Low, Close, Volume)."""
        self._check_code(code)
        return self.quotes.get_kbar(code, unit=unit, freq=freq)

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
