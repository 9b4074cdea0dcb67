"""Working orders matched against the replayed trades, booked in the simulated account.

Rules:
- An order is stamped with the replay's clock, the latest tick of any code, and belongs to its market's session
  under way then, else to the next one to open; a session's closing print ends it, so an order placed on that
  print works in the next session. Trades of its code before that session are not its own.
- A market order fills at the next trade of its code (`fill="this_tick"`: at once at the close of its code's
  tick when that tick is the replay's latest, else at the next trade as well). Orders placed after the replay
  ended (in on_finish) fill at the last trade.
- A limit buy fills at a trade at or below its limit: at that trade's price when it is the first trade the order
  meets (it was marketable on arrival), at its limit once it has rested, however far the tape trades through it;
  a sell mirrors it. The account books a limit fill within its limit, slippage included. A stop triggers on a
  trade at or through it and fills as a market order at the next trade; a stop-limit becomes a limit order from
  the next trade on.
- Orders are good for their session: one still open is cancelled at the session's end, noticed at the first
  tick of its code after that end, or at the end of the replay (good_till_cancel orders too, then).
- Stocks: a limit outside today's +/-10% band around the previous close is refused.
- Every order leaves an "Order" trade record, then a "Deal" or a "Cancel"; the exits of a bracket filled after
  the replay ended are cancelled at once.
- A futures fill carries the contract month it trades ("contract") where the data names one.
"""

from __future__ import annotations

from collections.abc import Callable
from itertools import count
from numbers import Real
from typing import Any, cast

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import Action
from vorn_kest_backtest.modules.market.market import TradingCalendar
from vorn_kest_backtest.runner.orders.funding import shortfall
from vorn_kest_backtest.runner.orders.matching import limit_fill_price, stop_reached, works_as
from vorn_kest_backtest.runner.orders.order import Order, OrderStatus, OrderType
from vorn_kest_backtest.runner.orders.price_band import DailyBands

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
        self._calendar = TradingCalendar()
        self._replay_over = False
        self._limits: dict[str, float] = {}
        self.last_ticks: dict[str, dict[str, Any]] = {}
        # (bid, ask) of each code's latest tick, kept by the replay loop beside last_ticks: the tick
        # records themselves carry no quote.
        self.last_quotes: dict[str, tuple[float, float] | None] = {}
        self.fill_model = "trade"
        self.peak_margin = 0.0
        # (code, timestamp) -> the contract month a fill trades, None where the data names none.
        self.contract_of: Callable[[str, float], str | None] | None = None

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

    @property
    def clock(self) -> float:
        """The replay's clock: epoch seconds of the latest tick of any code (0.0 before the first)."""
        return max((float(tick["timestamp"]) for tick in self.last_ticks.values()), default=0.0)

    @property
    def fill_limits(self) -> dict[str, float]:
        """The limit of every fill booked within one, by trade id (a trade record keeps only the fill's price)."""
        return self._limits

    def finish_replay(self) -> None:
        """The tape is over: what is still working is cancelled, later market orders fill at the last trade."""
        self._replay_over = True
        clock = self.clock
        for working in list(self._working.values()):
            for order in list(working):
                if not order.good_till_cancel and clock > order.session_end:
                    self._expire(order)
                else:
                    self._cancel(order, "回放結束, 委託取消", clock)

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
        clock = self.clock
        order = self._place(code, action, quantity, order_type, tick["market_type"], clock, float(tick["close"]),
                            limit, stop, bool(good_till_cancel))
        order.take_profit, order.stop_loss = take_profit, stop_loss
        if self._replay_over:
            if order_type is OrderType.MARKET:
                self._fill(order, float(tick["close"]), clock)
            else:
                self._cancel(order, "回放已結束, 只接受市價委託", clock)
            return order
        band = self._bands.outside(code, limit) if limit is not None else None
        if limit is not None and band is not None:
            self._refuse(order, f"委託價 {limit} 超出今日漲跌停範圍 {band[0]:.2f} ~ {band[1]:.2f}", limit, clock)
        elif fill == "this_tick" and float(tick["timestamp"]) >= clock:
            # An older tick of its code is not a trade the order could meet now: it waits for the next one.
            self._work(order, tick)
        return order

    def cancel(self, order: Order) -> bool:
        """取消委託; 已成交或已取消的委託回傳 False."""
        if not isinstance(order, Order):
            raise TypeError(f"只能取消 Order 物件: {order!r}")
        if not order.is_open:
            return False
        self._cancel(order, "策略取消", self.clock)
        return True

    # Orders the replay makes itself, at a contract's expiry.

    def book_at(self, code: str, action: Action, quantity: int, tick: dict[str, Any], reason: str,
                limit: float | None = None) -> Order:
        """A market order filled at once at `tick`'s trade, booked like any fill (within `limit` when given);
        `reason` stays on it once filled."""
        timestamp, price = float(tick["timestamp"]), float(tick["close"])
        order = self._place(code, action, quantity, OrderType.MARKET, tick["market_type"], timestamp, price,
                            None, None, False)
        self._fill(order, price, timestamp, limit)
        if order.status is OrderStatus.FILLED:
            order.reason = reason
        return order

    def expire_orders(self, code: str, reason: str, timestamp: float) -> None:
        """Cancels every working order of `code`: the contract they were placed on has expired."""
        for order in list(self._working.get(code, [])):
            self._cancel(order, reason, timestamp)

    def _place(self, code, action, quantity, order_type, market, placed_at, quoted, limit, stop,
               good_till_cancel) -> Order:
        session_start, session_end = self._calendar.order_session(market, placed_at)
        order = Order(str(next(self._ids)), code, action, quantity, order_type, market, placed_at, session_start,
                      session_end, limit_price=limit, stop_price=stop, quoted_price=quoted,
                      good_till_cancel=good_till_cancel)
        self._record(order, order.record_price, placed_at, "Order")
        self._working.setdefault(code, []).append(order)
        return order

    def _work(self, order: Order, tick: dict[str, Any]) -> None:
        timestamp = float(tick["timestamp"])
        if not order.good_till_cancel and timestamp > order.session_end:
            self._expire(order)
            return
        if timestamp < order.session_start:
            return
        price = float(tick["close"])
        working_as = works_as(order)
        if working_as is OrderType.STOP:
            order.triggered = stop_reached(order.is_buy, float(cast(float, order.stop_price)), price)
        elif working_as is OrderType.LIMIT:
            limit = float(cast(float, order.limit_price))
            fill_price = limit_fill_price(order.is_buy, limit, price, order.rested)
            if fill_price is None:
                order.rested = True
            else:
                self._fill(order, fill_price, timestamp, limit)
        else:
            self._fill(order, self._market_price(order, tick), timestamp)

    def _expire(self, order: Order) -> None:
        self._cancel(order, "當日有效委託, 收盤未成交取消", order.session_end)

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

    def _fill(self, order: Order, price: float, timestamp: float, limit: float | None = None) -> None:
        reason = shortfall(self._positions, self.last_ticks, order.code, order.action.value, price, order.quantity,
                           order.product_type)
        if reason:
            self._refuse(order, reason, price, timestamp)
            return
        fill: dict[str, Any] = {"trade_id": order.trade_id, "code": order.code, "action": order.action.value,
                                "quantity": order.quantity, "price": price, "origin_price": price,
                                "exchange_ts": timestamp}
        if limit is not None:
            fill["limit_price"] = limit
            self._limits[order.trade_id] = limit
        contract = self.contract_of(order.code, timestamp) if self.contract_of is not None else None
        if contract is not None:
            fill["contract"] = contract
        # The account applies its slippage and costs to the fill as configured, within a limit fill's limit.
        self._positions.set_positions(fill, order.product_type)
        self._record(order, price, timestamp, "Deal")
        order.status, order.fill_price, order.filled_at = OrderStatus.FILLED, price, timestamp
        self._working[order.code].remove(order)
        self.peak_margin = max(self.peak_margin, self._positions.ledger.margin_in_use())
        for other in order.one_cancels:
            if other.is_open:
                self._cancel(other, "另一筆出場委託已成交 (OCO)", timestamp)
        if order.take_profit is not None or order.stop_loss is not None:
            self._place_exits(order, price, timestamp)

    def _place_exits(self, entry: Order, price: float, timestamp: float) -> None:
        """The bracket's exits: a take-profit limit and a stop-loss stop, each cancelling the other."""
        exit_action = Action.SELL if entry.is_buy else Action.BUY
        legs = []
        if entry.take_profit is not None:
            entry.take_profit_order = self._place(entry.code, exit_action, entry.quantity, OrderType.LIMIT,
                                                  entry.product_type, timestamp, price, entry.take_profit, None,
                                                  entry.good_till_cancel)
            legs.append(entry.take_profit_order)
        if entry.stop_loss is not None:
            entry.stop_loss_order = self._place(entry.code, exit_action, entry.quantity, OrderType.STOP,
                                                entry.product_type, timestamp, price, None, entry.stop_loss,
                                                entry.good_till_cancel)
            legs.append(entry.stop_loss_order)
        if self._replay_over:
            # No trade is left for them to meet.
            for leg in legs:
                self._cancel(leg, "回放已結束, 括號單的出場委託取消", timestamp)
            return
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
