"""The fill models a strategy chooses, each on a hand-made tape whose outcome is unambiguous: limits filled on a
touch or only through (the default), the queue ahead of a resting limit (from the quoted size when a tick has one),
partial fills, and the latency of orders and cancels."""

from __future__ import annotations

import polars as pl
import pytest
from fake_sdk import wall_ns
from report_fakes import epoch
from runner_fakes import FakeLedger, FakeQuotes, tick

from vorn_kest_backtest.modules.positions.positions import Positions, QuoteManager
from vorn_kest_backtest.modules.ticker.ticker import Ticker
from vorn_kest_backtest.runner import Context, Strategy, engine
from vorn_kest_backtest.runner.orders import OrderStatus


def book(**rules) -> tuple[Context, FakeLedger]:
    ledger = FakeLedger()
    ledger.set_initial_capital(10**9)
    ctx = Context(ledger, FakeQuotes())
    ctx.set_fill_model(**rules)
    return ctx, ledger


def feed(ctx: Context, *prints: tuple[str, float, int], **quote: float) -> None:
    """(hh:mm:ss.ffffff of 2024-01-02, price, volume) prints of 2330, each carrying `quote` (bid_price, ...)."""
    for when, price, volume in prints:
        whole, _, fraction = when.partition(".")
        record = tick("2330", f"2024-01-02 {whole}", price, volume) | quote
        record["timestamp"] += float(f"0.{fraction or 0}")
        ctx.observe(record)


def deals(ledger) -> list[tuple[str, int, float]]:
    return [(c[1]["action"], c[1]["quantity"], c[1]["price"]) for c in ledger.calls if c[0] == "set_positions"]


@pytest.mark.parametrize("limit, fills", [("touch", [("Buy", 1, 100.0)]), ("through", [("Buy", 1, 100.0)])])
def test_a_limit_fills_on_a_touch_or_only_on_a_trade_through_it(limit, fills):
    ctx, ledger = book(limit=limit)
    feed(ctx, ("10:00:00", 101.0, 1))
    order = ctx.buy("2330", 1, price=100.0)
    feed(ctx, ("10:00:01", 100.5, 1), ("10:00:02", 100.0, 5))
    assert (order.status is OrderStatus.FILLED) == (limit == "touch")
    feed(ctx, ("10:00:03", 99.5, 1))  # traded through: filled at its limit either way
    assert order.status is OrderStatus.FILLED and deals(ledger) == fills
    assert order.filled_at == epoch("2024-01-02 10:00:02" if limit == "touch" else "2024-01-02 10:00:03")


@pytest.mark.parametrize("side, limit, beyond", [("buy", 100.0, 99.5), ("sell", 102.0, 102.5)])
def test_by_default_a_print_at_a_limit_does_not_fill_it_on_arrival_nor_resting(side, limit, beyond):
    ctx, ledger = book()
    assert ctx.order_book.rules == ("through", False, False, 0.0)
    feed(ctx, ("10:00:00", 101.0, 1))
    order = getattr(ctx, side)("2330", 1, price=limit)
    feed(ctx, ("10:00:01", limit, 5), ("10:00:02", limit, 5))
    assert order.is_open and deals(ledger) == []
    feed(ctx, ("10:00:03", beyond, 1))
    assert order.status is OrderStatus.FILLED and order.fill_price == limit


def test_with_through_a_limit_marketable_on_arrival_still_fills_at_a_better_trade():
    ctx, ledger = book(limit="through")
    feed(ctx, ("10:00:00", 101.0, 1))
    ctx.buy("2330", 1, price=100.0)
    feed(ctx, ("10:00:01", 99.0, 1))
    assert deals(ledger) == [("Buy", 1, 99.0)]


def test_queue_a_resting_limit_waits_for_the_volume_ahead_of_it_at_its_price():
    ctx, ledger = book(queue=True)
    feed(ctx, ("10:00:00", 101.0, 10), ("10:00:01", 101.0, 10))  # the average print so far: 10
    order = ctx.buy("2330", 1, price=100.0)
    feed(ctx, ("10:00:02", 100.5, 10), ("10:00:03", 100.0, 6), ("10:00:04", 100.0, 4))
    assert order.is_open  # 10 printed at 100: exactly the queue ahead, not past it
    feed(ctx, ("10:00:05", 100.0, 1))
    assert order.status is OrderStatus.FILLED and deals(ledger) == [("Buy", 1, 100.0)]


# The quote when the orders are placed: 30 bid at 100.0, 5 offered at 100.5; the average print so far is 10.
QUOTE = {"bid_price": 100.0, "bid_volume": 30, "ask_price": 100.5, "ask_volume": 5}


@pytest.mark.parametrize("side, limit, ahead", [
    ("buy", 100.0, 30),   # at the bid: behind the bid size
    ("sell", 100.5, 5),   # at the ask: behind the ask size
    ("buy", 99.5, 10),    # below the bid: the average print
    ("sell", 100.0, 10),  # a sell at the bid is not at its side's quote
])
def test_queue_the_volume_ahead_is_the_quoted_size_at_the_orders_price_else_the_average_print(side, limit, ahead):
    ctx, ledger = book(queue=True)
    feed(ctx, ("10:00:00", 100.5 if side == "buy" else 100.0, 10), **QUOTE)
    order = getattr(ctx, side)("2330", 1, price=limit)
    feed(ctx, ("10:00:01", limit, ahead))
    assert order.is_open  # exactly the volume ahead printed at its price
    feed(ctx, ("10:00:02", limit, 1))
    assert order.status is OrderStatus.FILLED and deals(ledger) == [(side.capitalize(), 1, limit)]


class QueuesAtTheBid(Strategy):
    """On the first tick: a buy limit at the bid (30 ahead) and one below it (the average print ahead)."""

    def __init__(self) -> None:
        self.orders: list = []

    def on_tick(self, tick, ctx) -> None:
        if not self.orders:
            ctx.set_fill_model(queue=True)
            self.quote = ctx.order_book.last_quotes["2330"]
            self.orders = [ctx.buy("2330", 1, price=100.0), ctx.buy("2330", 1, price=99.5)]


@pytest.mark.parametrize("python_loop", [False, True])
def test_queue_both_loops_take_the_quoted_size_from_the_tick_files(python_loop, monkeypatch, console):
    prints = [(100.5, 10), (100.0, 20), (100.0, 10), (100.0, 1), (99.5, 11)]
    frame = pl.DataFrame({
        "ts": [wall_ns("2024-01-02", 9, 0, i) for i in range(len(prints))],
        "close": [price for price, _ in prints], "volume": [volume for _, volume in prints],
        "bid_price": [100.0] * 5, "bid_volume": [30] * 5, "ask_price": [100.5] * 5, "ask_volume": [5] * 5,
        "tick_type": [1] * 5, "code": ["2330"] * 5})
    ticker, positions, quotes = Ticker(None), Positions(), QuoteManager()
    positions.set_initial_capital(10**9)
    ticker.code_market_map = {"2330": "Stock"}
    ticker._Ticker__push_tick_to_queue(frame)
    if python_loop:
        monkeypatch.setattr(engine, "_native_driver", lambda positions, quotes: None)
    strategy = QueuesAtTheBid()
    engine.replay(ticker, positions, quotes, strategy, Context(positions, quotes, ["2330"]))
    assert strategy.quote == (100.0, 100.5, 30, 5)
    at_bid, below = strategy.orders
    # 30 ahead at the bid: worked off by 20 and 10, filled by the next print; an estimate of 10 fills sooner.
    assert at_bid.filled_at == epoch("2024-01-02 09:00:03")
    assert below.filled_at == epoch("2024-01-02 09:00:04")


def test_queue_a_trade_through_the_limit_fills_it_at_once():
    ctx, ledger = book(queue=True)
    feed(ctx, ("10:00:00", 101.0, 50))
    ctx.buy("2330", 1, price=100.0)
    feed(ctx, ("10:00:01", 100.5, 1), ("10:00:02", 100.0, 3), ("10:00:03", 99.5, 1))
    assert deals(ledger) == [("Buy", 1, 100.0)]


def test_partial_fills_take_the_printed_volume_and_the_rest_works_on():
    ctx, ledger = book(partial=True, limit="touch")
    feed(ctx, ("10:00:00", 101.0, 1))
    order = ctx.buy("2330", 5, price=100.0)
    feed(ctx, ("10:00:01", 100.5, 9), ("10:00:02", 100.0, 2))
    assert order.is_open and order.filled_quantity == 2 and ctx.position("2330").pending_buy == 3
    feed(ctx, ("10:00:03", 99.5, 7))
    assert order.status is OrderStatus.FILLED and order.filled_quantity == 5
    assert deals(ledger) == [("Buy", 2, 100.0), ("Buy", 3, 100.0)]
    assert order.fill_price == 100.0 and ctx.positions("2330") == 5
    assert [r["trade_status"] for r in ledger.trade_records] == ["Order", "Deal", "Deal"]


def test_partial_fills_leave_a_brackets_orders_whole():
    ctx, ledger = book(partial=True, limit="touch")
    feed(ctx, ("10:00:00", 101.0, 1))
    entry = ctx.buy("2330", 4, take_profit=105.0, stop_loss=95.0)
    feed(ctx, ("10:00:01", 101.0, 1))
    assert entry.status is OrderStatus.FILLED and deals(ledger) == [("Buy", 4, 101.0)]
    feed(ctx, ("10:00:02", 105.0, 1))
    assert entry.take_profit_order.filled_quantity == 4


def test_latency_an_order_misses_the_trades_before_it_reaches_the_book():
    ctx, ledger = book(latency_ms=500)
    feed(ctx, ("10:00:00", 100.0, 1))
    ctx.buy("2330", 1)
    feed(ctx, ("10:00:00.200000", 100.5, 1), ("10:00:00.600000", 101.0, 1))
    assert deals(ledger) == [("Buy", 1, 101.0)]


def test_latency_a_cancel_on_its_way_loses_to_a_fill_and_ends_the_order_when_it_arrives():
    ctx, ledger = book(latency_ms=500, limit="touch")
    feed(ctx, ("10:00:00", 101.0, 1))
    raced, cancelled = ctx.buy("2330", 1, price=100.0), ctx.buy("2330", 1, price=99.0)
    feed(ctx, ("10:00:01", 101.0, 1))
    assert ctx.cancel(raced) and raced.is_open
    feed(ctx, ("10:00:01.300000", 100.0, 1))
    assert raced.status is OrderStatus.FILLED
    ctx.cancel(cancelled)
    feed(ctx, ("10:00:02", 100.5, 1))
    assert cancelled.status is OrderStatus.CANCELLED and cancelled.reason == "策略取消"
    # Dated when it reached the book: sent at 10:00:01.3, half a second on its way.
    assert ledger.trade_records[-1]["dt"] == str(epoch("2024-01-02 10:00:01") + 0.8)


@pytest.mark.parametrize("rules, message", [
    ({"limit": "maybe"}, "limit 必須是 touch 或 through"),
    ({"latency_ms": -1}, "latency_ms 必須是非負數"),
])
def test_a_bad_fill_rule_is_refused_with_its_value(rules, message):
    ctx, _ = book()
    with pytest.raises(ValueError, match=message):
        ctx.set_fill_model(**rules)
