"""The handle a strategy gets back for each order: what it asks for and where it stands."""

from __future__ import annotations

from dataclasses import dataclass, field
from enum import Enum

from vorn_kest_backtest.constant import Action


class OrderType(str, Enum):
    """委託種類."""

    MARKET = "Market"
    LIMIT = "Limit"
    STOP = "Stop"
    STOP_LIMIT = "StopLimit"


class OrderStatus(str, Enum):
    """委託狀態: 等待中, 已成交, 已取消 (含被拒絕的委託)."""

    OPEN = "Open"
    FILLED = "Filled"
    CANCELLED = "Cancelled"


@dataclass(eq=False)
class Order:
    """一筆委託. `status` 為 OrderStatus; 成交後 `fill_price`, `filled_at` 有值; 取消時 `reason` 說明原因.

    `placed_at` 為下單時回放的時間 (所有代碼最新的 Tick). 委託屬於下單時該市場進行中的交易時段, 收盤時則為
    下一個時段: 從 `session_start` 起生效, 當日有效的委託到 `session_end` 為止. 限價單遇到未達限價的成交後
    `rested` 為 True (之後以限價成交).

    括號單的進場委託成交後, `take_profit_order` 與 `stop_loss_order` 為兩筆互相取消 (OCO) 的出場委託.
    """

    trade_id: str
    code: str
    action: Action
    quantity: int
    order_type: OrderType
    product_type: str
    placed_at: float
    session_start: float
    session_end: float
    limit_price: float | None = None
    stop_price: float | None = None
    quoted_price: float = 0.0
    good_till_cancel: bool = False
    status: OrderStatus = OrderStatus.OPEN
    triggered: bool = False
    rested: bool = False
    fill_price: float | None = None
    filled_at: float | None = None
    reason: str = ""
    take_profit: float | None = None
    stop_loss: float | None = None
    take_profit_order: Order | None = None
    stop_loss_order: Order | None = None
    one_cancels: list[Order] = field(default_factory=list)

    @property
    def is_open(self) -> bool:
        return self.status is OrderStatus.OPEN

    @property
    def is_buy(self) -> bool:
        return self.action is Action.BUY

    @property
    def record_price(self) -> float:
        """The price on the order's records before a fill: its limit, else its stop, else the last trade."""
        for price in (self.limit_price, self.stop_price):
            if price is not None:
                return float(price)
        return self.quoted_price

    def __repr__(self) -> str:
        prices = "".join(f" {name}={value}" for name, value in
                         (("limit", self.limit_price), ("stop", self.stop_price)) if value is not None)
        return (f"Order({self.trade_id} {self.code} {self.action.value} {self.quantity} "
                f"{self.order_type.value}{prices} {self.status.value})")
