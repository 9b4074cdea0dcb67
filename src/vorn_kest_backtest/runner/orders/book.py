"""Working orders matched against the replayed trades, booked in the simulated account.

Rules:
- A market order fills at the next trade of its code after the tick it was placed on (`fill="this_tick"`: at
  that tick's close, at once). Orders placed after the replay ended (in on_finish) fill at the last trade.
- A limit buy fills at a trade at or below its limit, at that trade's price (the limit when touched, better when
  the tape gaps through it); a sell mirrors it. A stop triggers on a trade at or through it and fills as a
  market order at the next trade; a stop-limit becomes a limit order from the next trade on.
- Orders are good for their session: one still open is cancelled at the session's end, noticed at the first
  tick of its code after that end, or at the end of the replay (good_till_cancel orders too, then).
- Stocks: a limit outside today's +/-10% band around the previous close is refused.
- Every order leaves an "Order" trade record, then a "Deal" or a "Cancel".
"""

from __future__ import annotations

from itertools import count
from numbers import Real
from typing import Any, cast

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import Action
from vorn_kest_backtest.runner.orders.funding import shortfall
from vorn_kest_backtest.runner.orders.matching import limit_reached, stop_reached, works_as
from vorn_kest_backtest.runner.orders.order import Order, OrderStatus, OrderType
from vorn_kest_backtest.runner.orders.price_band import DailyBands
from vorn_kest_backtest.runner.orders.session_end import session_end

FILL_TIMINGS = ("next_trade", "this_tick")
FILL_MODELS = ("trade", "quote")


def _price_argument(name: str, value: Any) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, Real) or not float(value) > 0:
        raise ValueError(f"{name} 必須是正數: {value!r}")
    return float(value)


def _price_or_none(value: Any) -> float | None:
    if isinstance(value, bool) or not isinstance(value, Real) or not float(value) > 0:
        return None
    return float(value)


class OrderBook:
    """Keeps the working orders per code and turns fills into set_positions calls with their trade records."""

    def __init__(self, positions) -> None:
        self._positions = positions
        self._ids = count(1)
        self._working: dict[str, list[Order]] = {}
        self._bands = DailyBands()
        self._replay_over = False
        self.last_ticks: dict[str, dict[str, Any]] = {}
        # (bid, ask) of each code's latest tick, kept by the replay loop beside last_ticks: the tick
        # records themselves carry no quote.
        self.last_quotes: dict[str, tuple[float, float] | None] = {}
        self.fill_model = "trade"
        self.peak_margin = 0.0

    def on_tick(self, tick: dict[str, Any]) -> None:
        code = tick["code"]
        self.last_ticks[code] = tick
        self._bands.observe(tick)
        working = self._working.get(code)
        if not working:
            return
        # Orders placed or released on this tick start working on the next one.
        for order in list(working):
            if order.is_open:
                self._work(order, tick)

    def follow_day(self, tick: dict[str, Any]) -> None:
        """A code's last tick before a new day, handed over late by the engine's driver (no order was working
        then): only the daily price bands take it."""
        self._bands.observe(tick)

    @property
    def working(self) -> dict[str, list[Order]]:
        """The working orders by code (the live mapping)."""
        return self._working

    def finish_replay(self) -> None:
        """The tape is over: what is still working is cancelled, later market orders fill at the last trade."""
        self._replay_over = True
        for code, working in list(self._working.items()):
            for order in list(working):
                self._cancel(order, "回放結束, 委託取消", self.last_ticks[code]["timestamp"])

    def open_orders(self, code: str | None = None) -> list[Order]:
        if code is not None:
            return list(self._working.get(code, []))
        return [order for working in self._working.values() for order in working]

    def submit(self, code: str, action: Action, quantity: int, price: float | None = None,
               stop: float | None = None, *, fill: str = "next_trade", good_till_cancel: bool = False,
               take_profit: float | None = None, stop_loss: float | None = None) -> Order:
        if not isinstance(quantity, int) or isinstance(quantity, bool) or quantity <= 0:
            raise ValueError(f"下單數量必須是正整數: {quantity!r}")
        if fill not in FILL_TIMINGS:
            raise ValueError(f"fill 必須是 {' 或 '.join(FILL_TIMINGS)}: {fill!r}")
        limit, stop = _price_argument("price", price), _price_argument("stop", stop)
        take_profit, stop_loss = _price_argument("take_profit", take_profit), _price_argument("stop_loss", stop_loss)
        if take_profit is not None and stop_loss is not None and (take_profit > stop_loss) != (action is Action.BUY):
            raise ValueError(f"括號單的停利價與停損價方向不符: take_profit={take_profit!r}, stop_loss={stop_loss!r}")
        tick = self.last_ticks.get(code)
        if tick is None:
            raise ValueError(f"尚未收到 {code} 的 Tick, 無法下單")
        order_type = (OrderType.STOP_LIMIT if stop is not None and limit is not None else OrderType.STOP
                      if stop is not None else OrderType.LIMIT if limit is not None else OrderType.MARKET)
        order = self._place(code, action, quantity, order_type, tick, limit, stop, bool(good_till_cancel))
        order.take_profit, order.stop_loss = take_profit, stop_loss
        if self._replay_over:
            if order_type is OrderType.MARKET:
                self._fill(order, float(tick["close"]), tick)
            else:
                self._cancel(order, "回放已結束, 只接受市價委託", tick["timestamp"])
            return order
        band = self._bands.outside(code, limit) if limit is not None else None
        if limit is not None and band is not None:
            self._refuse(order, f"委託價 {limit} 超出今日漲跌停範圍 {band[0]:.2f} ~ {band[1]:.2f}",
                         limit, tick["timestamp"])
        elif fill == "this_tick":
            self._work(order, tick)
        return order

    def cancel(self, order: Order) -> bool:
        """取消委託; 已成交或已取消的委託回傳 False."""
        if not isinstance(order, Order):
            raise TypeError(f"只能取消 Order 物件: {order!r}")
        if not order.is_open:
            return False
        self._cancel(order, "策略取消", self.last_ticks[order.code]["timestamp"])
        return True

    def _place(self, code, action, quantity, order_type, tick, limit, stop, good_till_cancel) -> Order:
        timestamp = float(tick["timestamp"])
        order = Order(str(next(self._ids)), code, action, quantity, order_type, tick["market_type"], timestamp,
                      session_end(timestamp, tick["market_type"]), limit_price=limit, stop_price=stop,
                      quoted_price=float(tick["close"]), good_till_cancel=good_till_cancel)
        self._record(order, order.record_price, timestamp, "Order")
        self._working.setdefault(code, []).append(order)
        return order

    def _work(self, order: Order, tick: dict[str, Any]) -> None:
        timestamp = float(tick["timestamp"])
        if not order.good_till_cancel and timestamp > order.session_end:
            self._cancel(order, "當日有效委託, 收盤未成交取消", order.session_end)
            return
        price = float(tick["close"])
        working_as = works_as(order)
        if working_as is OrderType.STOP:
            order.triggered = stop_reached(order.is_buy, float(cast(float, order.stop_price)), price)
        elif working_as is OrderType.LIMIT:
            if limit_reached(order.is_buy, float(cast(float, order.limit_price)), price):
                self._fill(order, price, tick)
        else:
            self._fill(order, self._market_price(order, tick), tick)

    def _market_price(self, order: Order, tick: dict[str, Any]) -> float:
        if self.fill_model == "quote":
            quoted = self._quote(order.is_buy, tick)
            if quoted is not None:
                return quoted
        return float(tick["close"])

    def _quote(self, is_buy: bool, tick: dict[str, Any]) -> float | None:
        """The ask for a buy, the bid for a sell: from the record when it carries one, else from the
        quote the replay kept for this tick; None when the side is missing."""
        key = "ask_price" if is_buy else "bid_price"
        if key in tick:
            return _price_or_none(tick[key])
        quote = self.last_quotes.get(tick["code"])
        if quote is None or self.last_ticks.get(tick["code"]) is not tick:
            return None
        return _price_or_none(quote[1] if is_buy else quote[0])

    def _fill(self, order: Order, price: float, tick: dict[str, Any]) -> None:
        timestamp = float(tick["timestamp"])
        reason = shortfall(self._positions, self.last_ticks, order.code, order.action.value, price, order.quantity,
                           order.product_type)
        if reason:
            self._refuse(order, reason, price, timestamp)
            return
        fill = {"trade_id": order.trade_id, "code": order.code, "action": order.action.value,
                "quantity": order.quantity, "price": price, "origin_price": price, "exchange_ts": timestamp}
        # The account applies its slippage and costs to the fill as configured.
        self._positions.set_positions(fill, order.product_type)
        self._record(order, price, timestamp, "Deal")
        order.status, order.fill_price, order.filled_at = OrderStatus.FILLED, price, timestamp
        self._working[order.code].remove(order)
        self.peak_margin = max(self.peak_margin, self._positions.ledger.margin_in_use())
        for other in order.one_cancels:
            if other.is_open:
                self._cancel(other, "另一筆出場委託已成交 (OCO)", timestamp)
        if order.take_profit is not None or order.stop_loss is not None:
            self._place_exits(order, tick)

    def _place_exits(self, entry: Order, tick: dict[str, Any]) -> None:
        """The bracket's exits: a take-profit limit and a stop-loss stop, each cancelling the other."""
        exit_action = Action.SELL if entry.is_buy else Action.BUY
        legs = []
        if entry.take_profit is not None:
            entry.take_profit_order = self._place(entry.code, exit_action, entry.quantity, OrderType.LIMIT, tick,
                                                  entry.take_profit, None, entry.good_till_cancel)
            legs.append(entry.take_profit_order)
        if entry.stop_loss is not None:
            entry.stop_loss_order = self._place(entry.code, exit_action, entry.quantity, OrderType.STOP, tick,
                                                None, entry.stop_loss, entry.good_till_cancel)
            legs.append(entry.stop_loss_order)
        for leg in legs:
            leg.one_cancels = [other for other in legs if other is not leg]

    def _refuse(self, order: Order, reason: str, price: float, timestamp: float) -> None:
        utils.console.print(f"[red]委託被拒絕: {order.code} {order.action.value} {order.quantity} "
                            f"(委託 {order.trade_id}): {reason}[/red]")
        self._cancel(order, reason, timestamp, price)

    def _cancel(self, order: Order, reason: str, timestamp: float, price: float | None = None) -> None:
        order.status, order.reason = OrderStatus.CANCELLED, reason
        self._working[order.code].remove(order)
        self._record(order, order.record_price if price is None else price, float(timestamp), "Cancel")

    def _record(self, order: Order, price: float, timestamp: float, status: str) -> None:
        self._positions.add_trade_record(order.trade_id, order.code, order.action.value, order.quantity,
                                         float(price), float(timestamp), status)
