"""What a strategy sees of its orders: the position view, close / close_all / order_target, trailing stops,
the order and fill hooks, and the read-only Order."""

from __future__ import annotations

import pytest
from runner_fakes import FakeLedger, FakeQuotes, tick

from vorn_kest_backtest.runner import Context
from vorn_kest_backtest.runner.orders import Fill, OrderStatus

DAY = "2024-01-02"


def book() -> tuple[Context, FakeLedger]:
    ledger = FakeLedger()
    ledger.set_initial_capital(10**9)
    return Context(ledger, FakeQuotes()), ledger


class Tape:
    """Ticks of one code a minute apart from 09:01."""

    def __init__(self, ctx: Context, code: str = "2330", market: str = "Stock") -> None:
        self.ctx, self.code, self.market, self.minute = ctx, code, market, 0

    def __call__(self, *prices: float) -> None:
        for price in prices:
            self.minute += 1
            when = f"{DAY} {9 + self.minute // 60:02d}:{self.minute % 60:02d}:00"
            self.ctx.observe(tick(self.code, when, price, market=self.market))


def deals(ledger) -> list[tuple[str, float]]:
    return [(call[1]["action"], call[1]["price"]) for call in ledger.calls if call[0] == "set_positions"]


@pytest.mark.parametrize("action, trail, tape, stop_path, fill", [
    # A sell trail of 5 points below the best trade: 100 -> 106 lifts it to 101, the fall to 101 triggers it.
    ("sell", 5, [103.0, 106.0, 104.0, 101.0, 100.5], [95.0, 98.0, 101.0], 100.5),
    # 2% below 110 is 107.8, below 120 117.6: each snapped down onto the 0.5 grid.
    ("sell", "2%", [110.0, 120.0, 118.0, 117.5, 117.0], [107.5, 107.5, 117.5], 117.0),
    # A buy trail follows the lowest trade down and triggers on the rebound.
    ("buy", 3, [98.0, 95.0, 97.0, 98.0, 99.0], [103.0, 101.0, 98.0], 99.0),
], ids=["sell-points", "sell-percent", "buy-points"])
def test_a_trailing_stop_follows_the_best_trade_and_triggers_on_the_way_back(action, trail, tape, stop_path, fill):
    ctx, ledger = book()
    feed = Tape(ctx)
    feed(100.0 if trail != "2%" else 110.0)
    order = getattr(ctx, action)("2330", 1, trail=trail)
    seen = [order.stop_price]
    for price in tape[:2]:
        feed(price)
        seen.append(order.stop_price)
    assert seen == stop_path
    feed(*tape[2:4])
    assert order.triggered and order.is_open  # the stop fills at the trade after its trigger
    feed(tape[4])
    assert order.status is OrderStatus.FILLED and deals(ledger) == [(action.capitalize(), fill)]
    assert order.trail == trail if isinstance(trail, int) else order.trail == "2%"


@pytest.mark.parametrize("args, message", [
    ({"trail": 0}, "trail 必須是正數"),
    ({"trail": "x%"}, "trail 必須是正數"),
    ({"trail": 2, "price": 99.0}, "trail 只用於停損單"),
])
def test_a_bad_trail_is_refused_with_its_value(args, message):
    ctx, _ = book()
    Tape(ctx)(100.0)
    with pytest.raises(ValueError, match=message):
        ctx.sell("2330", 1, **args)


def test_the_position_view_counts_working_orders_and_values_the_held_side():
    ctx, _ = book()
    feed = Tape(ctx)
    feed(100.0)
    ctx.buy("2330", 3)
    feed(101.0)
    ctx.buy("2330", 1)
    feed(103.0)  # 3 at 101 and 1 at 103
    ctx.sell("2330", 2, price=110.0)
    entry_view = ctx.position("2330")
    assert (entry_view.qty, entry_view.pending_buy, entry_view.pending_sell) == (4, 0, 2)
    assert entry_view.avg_price == pytest.approx(101.5) and entry_view.unrealised == pytest.approx(6.0)
    with pytest.raises(AttributeError):
        entry_view.qty = 0  # type: ignore[misc]


def test_a_brackets_two_exits_count_once_as_pending():
    ctx, _ = book()
    feed = Tape(ctx)
    feed(100.0)
    ctx.buy("2330", 2, take_profit=110.0, stop_loss=95.0)
    feed(100.5)
    view = ctx.position("2330")
    assert (view.qty, view.pending_buy, view.pending_sell) == (2, 0, 2)
    assert ctx.order_target("2330", 0) is None  # the exits already take it to flat


def test_order_target_trades_the_difference_to_position_plus_pending_orders():
    ctx, ledger = book()
    ctx.set_fill_model(limit="touch")
    feed = Tape(ctx)
    feed(100.0)
    ctx.buy("2330", 2, price=99.0)  # pending, not yet filled
    order = ctx.order_target("2330", 3)
    assert (order.action.value, order.quantity) == ("Buy", 1)
    assert ctx.order_target("2330", 3) is None
    feed(99.0)
    assert ctx.positions("2330") == 3
    short = ctx.order_target("2330", -1)
    assert (short.action.value, short.quantity) == ("Sell", 4)
    feed(98.5)
    assert ctx.positions("2330") == -1 and deals(ledger)[-1] == ("Sell", 98.5)


def test_reading_the_position_with_pending_sells_keeps_two_bars_on_one_tick_from_shorting():
    ctx, _ = book()
    feed = Tape(ctx)
    feed(100.0)
    ctx.buy("2330", 1)
    feed(101.0)

    def on_bar(ctx: Context) -> None:  # an exit rule, run for two bars closed by the same tick
        view = ctx.position("2330")
        if view.qty - view.pending_sell > 0:
            ctx.sell("2330", view.qty - view.pending_sell)

    on_bar(ctx)
    on_bar(ctx)
    feed(100.5, 100.0)
    assert ctx.positions("2330") == 0


def test_close_cancels_the_codes_orders_and_flattens_and_close_all_does_every_code(console):
    ctx, ledger = book()
    feed, other = Tape(ctx), Tape(ctx, "TXFR1", "Future")
    feed(100.0)
    other(17000.0)
    ctx.buy("2330", 2)
    ctx.sell("TXFR1", 1)
    feed(100.5)
    other(17001.0)
    waiting = ctx.buy("2330", 1, price=90.0)
    closing = ctx.close("2330")
    assert waiting.status is OrderStatus.CANCELLED and waiting.reason == "平倉, 委託取消"
    assert (closing.action.value, closing.quantity) == ("Sell", 2)
    assert ctx.close("2330") is not closing and closing.status is OrderStatus.CANCELLED  # re-closing replaces it
    feed(101.0)
    assert ctx.positions("2330") == 0 and ctx.close("2330") is None
    ctx.finish_replay()
    (flattening,) = ctx.close_all()  # in on_finish: at the last trade
    assert (flattening.code, flattening.action.value, flattening.fill_price) == ("TXFR1", "Buy", 17001.0)
    assert ctx.positions() == {"2330": 0, "TXFR1": 0} and deals(ledger)[-1] == ("Buy", 17001.0)


def test_on_order_and_on_fill_come_in_replay_order_and_may_place_orders():
    ctx, _ = book()
    ctx.set_fill_model(limit="touch")
    events: list[tuple] = []

    def on_order(order, ctx):
        events.append(("order", order.trade_id, order.status.value, order.reason))

    def on_fill(fill, ctx):
        assert isinstance(fill, Fill)
        events.append(("fill", fill.order.trade_id, fill.action.value, fill.price))
        if fill.order.trade_id == "1":
            ctx.sell("2330", 1, price=100.7)  # placed from the hook: its refusal comes after this fill's events

    ctx.set_order_hooks(on_order, on_fill)
    feed = Tape(ctx)
    feed(100.0)
    ctx.buy("2330", 1, take_profit=105.0, stop_loss=95.0)
    assert events == []
    feed(100.5)
    feed(105.0)
    assert events == [
        ("fill", "1", "Buy", 100.5), ("order", "1", "Filled", ""),
        ("order", "4", "Cancelled", "委託價 100.7 不在 2330 的價格跳動格上, 最接近的有效價格為 100.5 與 101"),
        ("fill", "2", "Sell", 105.0), ("order", "2", "Filled", ""),
        ("order", "3", "Cancelled", "另一筆出場委託已成交 (OCO)"),
    ]


def test_an_order_is_a_read_only_view():
    ctx, _ = book()
    Tape(ctx)(100.0)
    order = ctx.buy("2330", 1, price=99.0)
    for name, value in (("status", OrderStatus.FILLED), ("limit_price", 1.0), ("reason", "x")):
        with pytest.raises(AttributeError, match="唯讀"):
            setattr(order, name, value)
    assert order.is_open and order.limit_price == 99.0
