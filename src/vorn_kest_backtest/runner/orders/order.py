"""The handle a strategy gets back for each order: what it asks for and where it stands, read-only."""

from __future__ import annotations

from dataclasses import dataclass, field
from enum import Enum
from typing import Any

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
class OrderState:
    """What the order book knows and changes of one order; the strategy sees it through `Order`."""

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
    filled_quantity: int = 0
    partial: bool = False
    reason: str = ""
    cancel_reason: str = ""
    take_profit: float | None = None
    stop_loss: float | None = None
    # A trailing stop: (points or fraction, is a fraction), and the best trade since placement.
    trail: tuple[float, bool] | None = None
    best_price: float | None = None
    take_profit_order: Order | None = None
    stop_loss_order: Order | None = None
    one_cancels: list[Order] = field(default_factory=list)
    # The core's matcher while the order works there: it keeps the trigger, resting and trailing state.
    matcher: Any = None


def _live(name: str, index: int, doc: str) -> property:
    """A field the matcher keeps while the order works, the book's copy once it has left."""

    def get(self: Order) -> Any:
        state = self._state
        live = state.matcher.state(int(state.trade_id)) if state.matcher is not None else None
        return live[index] if live is not None else getattr(state, name)

    return property(get, doc=doc)


def _read(name: str, doc: str) -> property:
    def get(self: Order) -> Any:
        return getattr(self._state, name)

    return property(get, doc=doc)


class Order:
    """一筆委託 (唯讀). `status` 為 OrderStatus; 成交後 `fill_price`, `filled_at` 有值; 取消時 `reason` 說明原因.

    `placed_at` 為下單時回放的時間 (所有代碼最新的 Tick). 委託屬於下單時該市場進行中的交易時段, 收盤時則為
    下一個時段: 從 `session_start` 起生效, 當日有效的委託到 `session_end` 為止. 限價單遇到未達限價的成交後
    `rested` 為 True (之後以限價成交). 移動停損單的 `stop_price` 隨下單後最有利的成交價 `best_price` 移動.

    括號單的進場委託成交後, `take_profit_order` 與 `stop_loss_order` 為兩筆互相取消 (OCO) 的出場委託.
    """

    __slots__ = ("_state",)
    _state: OrderState

    def __init__(self, state: OrderState) -> None:
        object.__setattr__(self, "_state", state)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"Order 為唯讀, 不能設定 {name}; 以 ctx.cancel 或新的委託改變它")

    trade_id = _read("trade_id", "委託編號 (交易紀錄的 trade_id).")
    code = _read("code", "代碼.")
    action = _read("action", "買賣方向 (Action).")
    quantity = _read("quantity", "數量 (張或口).")
    order_type = _read("order_type", "委託種類 (OrderType).")
    product_type = _read("product_type", "\"Stock\" 或 \"Future\".")
    placed_at = _read("placed_at", "下單時回放的時間 (秒).")
    session_start = _read("session_start", "委託生效的交易時段開始 (秒).")
    session_end = _read("session_end", "委託所屬交易時段結束 (秒).")
    limit_price = _read("limit_price", "限價; 無則為 None.")
    stop_price = _live("stop_price", 2, "停損觸發價 (移動停損為目前的); 無則為 None.")
    quoted_price = _read("quoted_price", "下單時該代碼的最新成交價.")
    good_till_cancel = _read("good_till_cancel", "是否留到成交或回放結束.")
    status = _read("status", "委託狀態 (OrderStatus).")
    triggered = _live("triggered", 0, "停損是否已觸發.")
    rested = _live("rested", 1, "限價單是否已掛在簿上等待.")
    fill_price = _read("fill_price", "成交價 (部分成交時為已成交部分的平均); 未成交為 None.")
    filled_at = _read("filled_at", "最近一次成交的時間 (秒); 未成交為 None.")
    filled_quantity = _read("filled_quantity", "已成交數量 (部分成交時小於 quantity, 委託仍在等待).")
    reason = _read("reason", "取消或拒絕的原因, 或到期結算等成交原因.")
    take_profit = _read("take_profit", "括號單的停利價.")
    stop_loss = _read("stop_loss", "括號單的停損價.")
    best_price = _live("best_price", 3, "移動停損單下單後最有利的成交價; 其他委託為 None.")
    take_profit_order = _read("take_profit_order", "括號單成交後的停利出場委託.")
    stop_loss_order = _read("stop_loss_order", "括號單成交後的停損出場委託.")

    @property
    def one_cancels(self) -> tuple[Order, ...]:
        """與此委託互相取消 (OCO) 的委託."""
        return tuple(self._state.one_cancels)

    @property
    def trail(self) -> float | str | None:
        """移動停損的距離: 點數, 或百分比字串 (如 "2%"); 非移動停損為 None."""
        trail = self._state.trail
        if trail is None:
            return None
        return f"{trail[0] * 100:g}%" if trail[1] else trail[0]

    @property
    def is_open(self) -> bool:
        return self._state.status is OrderStatus.OPEN

    @property
    def is_buy(self) -> bool:
        return self._state.action is Action.BUY

    @property
    def record_price(self) -> float:
        """The price on the order's records before a fill: its limit, else its stop, else the last trade."""
        for price in (self._state.limit_price, self.stop_price):
            if price is not None:
                return float(price)
        return self._state.quoted_price

    def __repr__(self) -> str:
        state = self._state
        prices = "".join(f" {name}={value}" for name, value in
                         (("limit", state.limit_price), ("stop", self.stop_price)) if value is not None)
        return (f"Order({state.trade_id} {state.code} {state.action.value} {state.quantity} "
                f"{state.order_type.value}{prices} {state.status.value})")


@dataclass(frozen=True)
class Fill:
    """一筆成交 (唯讀): 委託 `order`, 代碼, 方向, 數量, 成交價 (未含滑價), 成交時間 `time` (秒),
    期貨成交的契約月份 `contract` (資料未標示時為 None)."""

    order: Order
    code: str
    action: Action
    quantity: int
    price: float
    time: float
    contract: str | None = None

