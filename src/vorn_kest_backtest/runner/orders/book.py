"""Working orders matched against the replayed trades, booked in the simulated account.

The core's OrderMatcher decides when and at which price a working order fills or expires (both replay loops
ask it; the C++ loop calls the book only when it reports something); the book places and cancels orders,
checks their funding and books their fills.

Rules:
- An order is stamped with the replay's clock, the latest tick of any code, and belongs to its market's session
  under way then, else to the next one to open; a session's closing print ends it, so an order placed on that
  print works in the next session. Trades of its code before that session are not its own.
- A market order fills at the next trade of its code (`fill="this_tick"`: at once at the close of its code's
  tick when that tick is the replay's latest, else at the next trade as well). Orders placed after the replay
  ended (in on_finish) fill at the last trade.
- Limits, stops, stop-limits and trailing stops are matched as the core's order matcher says; the account books
  a limit fill within its limit, slippage included.
- Orders are good for their session: one still open is cancelled at the session's end, noticed at the first
  tick of its code after that end, or at the end of the replay (good_till_cancel orders too, then).
- A limit, stop, take-profit or stop-loss price off its code's price grid is refused, naming the grid prices
  either side of it.
- A limit outside today's daily band (the market module's `daily_band`, around a stock's previous close or
  a futures contract's previous day-session close) is refused.
- The fill rules (`set_rules`, conservative by default: a limit fills only through): limits filled on a touch or
  only through, a queue ahead of a resting limit (the size quoted at its price when the code's latest tick has
  one), partial fills (orders of a bracket fill whole), a latency before an order or a cancel reaches the book.
- Every order leaves an "Order" trade record, then a "Deal" (one per part of a partial fill) or a "Cancel";
  the exits of a bracket filled after the replay ended are cancelled at once.
- A futures fill carries the contract month it trades ("contract") where the data names one.
"""

from __future__ import annotations

import math
from collections import deque
from collections.abc import Callable
from itertools import count
from numbers import Real
from typing import Any

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import BASIC_INFO, Action
from vorn_kest_backtest.modules.market.market import TradingCalendar
from vorn_kest_backtest.modules.positions.positions import OrderMatcher, trailing_stop_level
from vorn_kest_backtest.runner.orders.funding import shortfall
from vorn_kest_backtest.runner.orders.order import Fill, Order, OrderState, OrderStatus, OrderType
from vorn_kest_backtest.runner.orders.price_grid import OrderGrids

FILL_TIMINGS = ("next_trade", "this_tick")
FILL_MODELS = ("trade", "quote")
LIMIT_FILLS = ("touch", "through")
PRICE_NAMES = {"price": "委託價", "stop": "停損觸發價", "take_profit": "停利價", "stop_loss": "停損價"}


def _price_argument(name: str, value: Any) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, Real) or not float(value) > 0:
        raise ValueError(f"{name} 必須是正數: {value!r}")
    return float(value)


def _trail_argument(value: Any) -> tuple[float, bool] | None:
    """(points, False) for a number, (fraction, True) for a percent text such as "2%"."""
    if value is None:
        return None
    if isinstance(value, str) and value.strip().endswith("%"):
        try:
            percent = float(value.strip()[:-1])
        except ValueError:
            percent = 0.0
        if 0 < percent < 100:
            return percent / 100, True
    elif not isinstance(value, bool) and isinstance(value, Real) and float(value) > 0:
        return float(value), False
    raise ValueError(f"trail 必須是正數 (點數) 或百分比文字 (如 \"2%\"): {value!r}")


def _side(value: Any) -> float:
    """A quote side for the matcher: NaN where the tick has none."""
    if isinstance(value, bool) or not isinstance(value, Real):
        return math.nan
    return float(value)


def _size(value: Any) -> float:
    """A quoted size for the matcher: 0 where the tick has none."""
    if isinstance(value, bool) or not isinstance(value, Real) or not float(value) > 0:
        return 0.0
    return float(value)


class OrderBook:
    """Keeps the working orders per code and turns fills into set_positions calls with their trade records."""

    def __init__(self, positions) -> None:
        self._positions = positions
        self._ids = count(1)
        self._working: dict[str, list[Order]] = {}
        self._grids = OrderGrids()
        self._calendar = TradingCalendar()
        self._replay_over = False
        self._limits: dict[str, float] = {}
        self._by_id: dict[str, Order] = {}
        self.last_ticks: dict[str, dict[str, Any]] = {}
        # (bid, ask, bid size, ask size) of each code's latest tick, kept by the replay loop beside last_ticks:
        # the tick records themselves carry no quote.
        self.last_quotes: dict[str, tuple[float, float, int, int] | None] = {}
        self.matcher = OrderMatcher()
        self.latency = 0.0
        self._latency_ms = 0.0
        self.peak_margin = 0.0
        # (code, timestamp) -> the contract month a fill trades, None where the data names none.
        self.contract_of: Callable[[str, float], str | None] | None = None
        # Told of every status change (an Order) and every fill (a Fill), in the order they happened, once the
        # book's own step is done: a listener may place or cancel orders.
        self.listener: Callable[[Order | Fill], None] | None = None
        self._events: deque[Order | Fill] = deque()
        self._delivering = False

    @property
    def fill_model(self) -> str:
        """"trade" or "quote": the price a market order fills at."""
        return "quote" if self.matcher.quote_fills else "trade"

    @fill_model.setter
    def fill_model(self, model: str) -> None:
        self.matcher.quote_fills = model == "quote"

    @property
    def rules(self) -> tuple[str, bool, bool, float]:
        """(limit, queue, partial, latency_ms) as the matcher works now."""
        through, queue, partial, _ = self.matcher.rules
        return LIMIT_FILLS[through], queue, partial, self._latency_ms

    def set_rules(self, limit: str, queue: bool, partial: bool, latency_ms: float) -> None:
        """How working orders fill; see the module's text."""
        if limit not in LIMIT_FILLS:
            raise ValueError(f"limit 必須是 {' 或 '.join(LIMIT_FILLS)}: {limit!r}")
        if isinstance(latency_ms, bool) or not isinstance(latency_ms, Real) or not 0 <= float(latency_ms) < math.inf:
            raise ValueError(f"latency_ms 必須是非負數: {latency_ms!r}")
        self._latency_ms = float(latency_ms)
        self.latency = self._latency_ms / 1000
        self.matcher.set_rules(limit == "through", bool(queue), bool(partial), self.latency)

    def on_tick(self, tick: dict[str, Any]) -> None:
        code = tick["code"]
        self.last_ticks[code] = tick
        self.matcher.count_print(code, int(tick["qty"]))
        self.matcher.observe_band(code, tick["market_type"], float(tick["timestamp"]), float(tick["close"]),
                                  BASIC_INFO.utc_offset_hours)
        # Orders placed or released on this tick start working on the next one.
        if self.matcher.has_orders(code):
            self._apply(self.matcher.on_trade(code, float(tick["timestamp"]), float(tick["close"]),
                                              *self._quote(tick), int(tick["qty"])))
        self._deliver()

    def apply_matches(self, tick: dict[str, Any], events: list[tuple]) -> None:
        """What the C++ loop's matcher reported for `tick` (already the code's last tick)."""
        self._apply(events)
        self._deliver()

    def _apply(self, events: list[tuple]) -> None:
        for kind, order_id, price, timestamp, limit, state, by, quantity in events:
            order = self._by_id[str(order_id)]
            self._settle(order, state)
            if kind == "Fill":
                self._fill(order, price, timestamp, limit, quantity=quantity)
            elif kind == "Expire":
                self._expire(order)
            elif kind == "Cancelled":
                self._cancel(order, order._state.cancel_reason, timestamp)
            elif self._by_id[str(by)].status is OrderStatus.FILLED:
                self._cancel(order, "另一筆出場委託已成交 (OCO)", timestamp)
            else:
                # The fill that took it out was refused: it works on.
                self._restore(order)

    def _restore(self, order: Order) -> None:
        state = order._state
        self.matcher.add(int(state.trade_id), state.code, order.is_buy, state.order_type.value, state.quantity,
                         state.limit_price, state.stop_price, state.placed_at, state.session_start, state.session_end,
                         state.good_till_cancel, self._grids.futures_tick(state.code, state.product_type), state.trail,
                         state.best_price, state.partial, None, state.triggered, state.rested, state.filled_quantity)

    @staticmethod
    def _settle(order: Order, state: tuple) -> None:
        # The matcher's state of the order as of the event: its trigger, resting and trailing state.
        order._state.triggered, order._state.rested, order._state.stop_price, order._state.best_price = state

    def _quote(self, tick: dict[str, Any]) -> tuple[float, float]:
        """(bid, ask) of the tick: from the record when it carries them, else from the quote the replay kept for
        this tick; NaN for a missing side."""
        return self._book_quote(tick)[:2]

    def _book_quote(self, tick: dict[str, Any]) -> tuple[float, float, float, float]:
        """(bid, ask, bid size, ask size) of the tick, as _quote; a missing size is 0."""
        if "ask_price" in tick or "bid_price" in tick:
            return (_side(tick.get("bid_price")), _side(tick.get("ask_price")), _size(tick.get("bid_volume")),
                    _size(tick.get("ask_volume")))
        quote = self.last_quotes.get(tick["code"])
        if quote is None or self.last_ticks.get(tick["code"]) is not tick:
            return math.nan, math.nan, 0.0, 0.0
        return _side(quote[0]), _side(quote[1]), _size(quote[2]), _size(quote[3])

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

    @property
    def orders_by_id(self) -> dict[str, Order]:
        """Every order placed, by trade id: what the trade records export says of each."""
        return self._by_id

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
        self._deliver()

    def open_orders(self, code: str | None = None) -> list[Order]:
        if code is not None:
            return list(self._working.get(code, []))
        return [order for working in self._working.values() for order in working]

    def pending(self, code: str) -> tuple[int, int]:
        """(buy, sell) quantities of the code's working orders; of two orders cancelling each other (OCO) only one
        can fill, so the pair counts once."""
        buy = sell = 0
        counted: list[Order] = []
        for order in self._working.get(code, []):
            if any(other in counted for other in order.one_cancels):
                continue
            counted.append(order)
            left = order.quantity - order.filled_quantity
            if order.is_buy:
                buy += left
            else:
                sell += left
        return buy, sell

    def _deliver(self) -> None:
        if self.listener is None:
            self._events.clear()
            return
        if self._delivering:
            return
        self._delivering = True
        try:
            while self._events:
                self.listener(self._events.popleft())
        finally:
            self._delivering = False

    def submit(self, code: str, action: Action, quantity: int, price: float | None = None,
               stop: float | None = None, *, fill: str = "next_trade", good_till_cancel: bool = False,
               take_profit: float | None = None, stop_loss: float | None = None,
               trail: float | str | None = None) -> Order:
        order = self._submit(code, action, quantity, price, stop, fill, good_till_cancel, take_profit, stop_loss,
                             _trail_argument(trail))
        self._deliver()
        return order

    def _submit(self, code, action, quantity, price, stop, fill, good_till_cancel, take_profit, stop_loss,
                trail) -> Order:
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
        if trail is not None:
            if limit is not None:
                raise ValueError(f"trail 只用於停損單, 不可與限價 price 同用: price={price!r}")
            if stop is None:
                stop = trailing_stop_level(code, self._grids.futures_tick(code, tick["market_type"]),
                                           action is Action.BUY, float(tick["close"]), *trail)
        order_type = (OrderType.STOP_LIMIT if stop is not None and limit is not None else OrderType.STOP
                      if stop is not None else OrderType.LIMIT if limit is not None else OrderType.MARKET)
        clock = self.clock
        # A bracket's entry and exits fill whole: the exits are placed for the entry's quantity.
        whole = take_profit is not None or stop_loss is not None
        order = self._place(code, action, quantity, order_type, tick["market_type"], clock, float(tick["close"]),
                            limit, stop, bool(good_till_cancel), trail, partial=not whole)
        order._state.take_profit, order._state.stop_loss = take_profit, stop_loss
        if self._replay_over:
            if order_type is OrderType.MARKET:
                self._fill(order, float(tick["close"]), clock)
            else:
                self._cancel(order, "回放已結束, 只接受市價委託", clock)
            return order
        off_grid = self._off_grid(code, tick["market_type"], price=limit, stop=stop, take_profit=take_profit,
                                  stop_loss=stop_loss)
        band = self.matcher.band_outside(code, limit) if limit is not None else None
        if off_grid:
            self._refuse(order, off_grid, order.record_price, clock)
        elif limit is not None and band is not None:
            self._refuse(order, f"委託價 {limit} 超出今日漲跌停範圍 {band[0]:.2f} ~ {band[1]:.2f}", limit, clock)
        elif fill == "this_tick" and float(tick["timestamp"]) >= clock:
            # An older tick of its code is not a trade the order could meet now: it waits for the next one.
            self._apply(self.matcher.work(int(order.trade_id), float(tick["timestamp"]), float(tick["close"]),
                                          *self._quote(tick), int(tick["qty"])))
        return order

    def _off_grid(self, code: str, market: str, **prices: float | None) -> str:
        for name, price in prices.items():
            if price is not None:
                reason = self._grids.off_grid(code, market, PRICE_NAMES[name], price)
                if reason:
                    return reason
        return ""

    def cancel(self, order: Order, reason: str = "策略取消") -> bool:
        """取消委託; 已成交或已取消的委託回傳 False."""
        if not isinstance(order, Order):
            raise TypeError(f"只能取消 Order 物件: {order!r}")
        if not order.is_open:
            return False
        if self.latency > 0 and not self._replay_over:
            # On its way to the book: the order can still fill until the cancel arrives.
            order._state.cancel_reason = reason
            self.matcher.request_cancel(int(order.trade_id), self.clock)
            return True
        self._cancel(order, reason, self.clock)
        self._deliver()
        return True

    # Orders the replay makes itself, at a contract's expiry.

    def book_at(self, code: str, action: Action, quantity: int, tick: dict[str, Any], reason: str,
                limit: float | None = None) -> Order:
        """A market order filled at once at `tick`'s trade, booked like any fill (within `limit` when given);
        `reason` stays on it once filled."""
        timestamp, price = float(tick["timestamp"]), float(tick["close"])
        order = self._place(code, action, quantity, OrderType.MARKET, tick["market_type"], timestamp, price,
                            None, None, False)
        self._fill(order, price, timestamp, limit, reason)
        self._deliver()
        return order

    def expire_orders(self, code: str, reason: str, timestamp: float) -> None:
        """Cancels every working order of `code`: the contract they were placed on has expired."""
        for order in list(self._working.get(code, [])):
            self._cancel(order, reason, timestamp)
        self._deliver()

    def _place(self, code, action, quantity, order_type, market, placed_at, quoted, limit, stop,
               good_till_cancel, trail=None, partial=False) -> Order:
        session_start, session_end = self._calendar.order_session(market, placed_at)
        state = OrderState(str(next(self._ids)), code, action, quantity, order_type, market, placed_at,
                           session_start, session_end, limit_price=limit, stop_price=stop, quoted_price=quoted,
                           good_till_cancel=good_till_cancel, trail=trail,
                           best_price=quoted if trail is not None else None, partial=partial, matcher=self.matcher)
        order = Order(state)
        self._by_id[order.trade_id] = order
        self._record(order, order.record_price, placed_at, "Order")
        self._working.setdefault(code, []).append(order)
        # The quote of the code's latest tick: the queue ahead of a limit placed at the bid or the ask.
        tick = self.last_ticks.get(code)
        self.matcher.add(int(state.trade_id), code, action is Action.BUY, order_type.value, quantity, limit, stop,
                         placed_at, session_start, session_end, good_till_cancel,
                         self._grids.futures_tick(code, market), trail, state.best_price, partial,
                         self._book_quote(tick) if tick is not None else None)
        return order

    def _leave(self, order: Order) -> None:
        """The order stops working: out of the book's lists and the matcher, with the matcher's last state."""
        state = self.matcher.state(int(order.trade_id))
        if state is not None:
            self._settle(order, state)
            self.matcher.remove(int(order.trade_id))
        self._working[order.code].remove(order)

    def _expire(self, order: Order) -> None:
        self._cancel(order, "當日有效委託, 收盤未成交取消", order.session_end)

    def _fill(self, order: Order, price: float, timestamp: float, limit: float | None = None,
              reason: str = "", quantity: int | None = None) -> None:
        """Books `quantity` (the rest of the order when None); the order is filled once nothing is left."""
        state = order._state
        quantity = state.quantity - state.filled_quantity if quantity is None else int(quantity)
        refusal = shortfall(self._positions, self.last_ticks, order.code, order.action.value, price, quantity,
                            order.product_type)
        if refusal:
            self._refuse(order, refusal, price, timestamp)
            return
        fill: dict[str, Any] = {"trade_id": order.trade_id, "code": order.code, "action": order.action.value,
                                "quantity": quantity, "price": price, "origin_price": price,
                                "exchange_ts": timestamp}
        if limit is not None:
            fill["limit_price"] = limit
            self._limits[order.trade_id] = limit
        contract = self.contract_of(order.code, timestamp) if self.contract_of is not None else None
        if contract is not None:
            fill["contract"] = contract
        # The account applies its slippage and costs to the fill as configured, within a limit fill's limit.
        self._positions.set_positions(fill, order.product_type)
        self._record(order, price, timestamp, "Deal", quantity)
        done = state.filled_quantity
        state.fill_price = (price * quantity + (state.fill_price or 0.0) * done) / (done + quantity)
        state.filled_quantity, state.filled_at, state.reason = done + quantity, timestamp, reason
        self._events.append(Fill(order, order.code, order.action, quantity, price, timestamp, contract))
        self.peak_margin = max(self.peak_margin, self._positions.ledger.margin_in_use())
        if state.filled_quantity < state.quantity:
            return
        self._leave(order)
        state.status = OrderStatus.FILLED
        self._events.append(order)
        if order.take_profit is not None or order.stop_loss is not None:
            self._place_exits(order, price, timestamp)

    def _place_exits(self, entry: Order, price: float, timestamp: float) -> None:
        """The bracket's exits: a take-profit limit and a stop-loss stop, each cancelling the other."""
        exit_action = Action.SELL if entry.is_buy else Action.BUY
        legs = []
        if entry.take_profit is not None:
            entry._state.take_profit_order = self._place(entry.code, exit_action, entry.quantity, OrderType.LIMIT,
                                                  entry.product_type, timestamp, price, entry.take_profit, None,
                                                  entry.good_till_cancel)
            legs.append(entry.take_profit_order)
        if entry.stop_loss is not None:
            entry._state.stop_loss_order = self._place(entry.code, exit_action, entry.quantity, OrderType.STOP,
                                                entry.product_type, timestamp, price, None, entry.stop_loss,
                                                entry.good_till_cancel)
            legs.append(entry.stop_loss_order)
        if self._replay_over:
            # No trade is left for them to meet.
            for leg in legs:
                self._cancel(leg, "回放已結束, 括號單的出場委託取消", timestamp)
            return
        for leg in legs:
            leg._state.one_cancels = [other for other in legs if other is not leg]
        if len(legs) > 1:
            self.matcher.link([int(leg.trade_id) for leg in legs])

    def _refuse(self, order: Order, reason: str, price: float, timestamp: float) -> None:
        utils.console.print(f"[red]委託被拒絕: {order.code} {order.action.value} {order.quantity} "
                            f"(委託 {order.trade_id}): {reason}[/red]")
        self._cancel(order, reason, timestamp, price)

    def _cancel(self, order: Order, reason: str, timestamp: float, price: float | None = None) -> None:
        self._leave(order)
        order._state.status, order._state.reason = OrderStatus.CANCELLED, reason
        self._record(order, order.record_price if price is None else price, float(timestamp), "Cancel")
        self._events.append(order)

    def _record(self, order: Order, price: float, timestamp: float, status: str, quantity: int | None = None) -> None:
        self._positions.add_trade_record(order.trade_id, order.code, order.action.value,
                                         order.quantity if quantity is None else quantity, float(price),
                                         float(timestamp), status)
