"""The fill models a strategy chooses, each on a hand-made tape whose outcome is unambiguous: limits filled on a
touch or only through, the queue ahead of a resting limit, partial fills, and the latency of orders and cancels."""

from __future__ import annotations

import pytest
from report_fakes import epoch
from runner_fakes import FakeLedger, FakeQuotes, tick

from vorn_kest_backtest.runner import Context
from vorn_kest_backtest.runner.orders import OrderStatus


def book(**rules) -> tuple[Context, FakeLedger]:
    ledger = FakeLedger()
    ledger.set_initial_capital(10**9)
    ctx = Context(ledger, FakeQuotes())
    ctx.set_fill_model(**rules)
    return ctx, ledger


def feed(ctx: Context, *prints: tuple[str, float, int]) -> None:
    """(hh:mm:ss.ffffff of 2024-01-02, price, volume) prints of 2330."""
    for when, price, volume in prints:
        whole, _, fraction = when.partition(".")
        record = tick("2330", f"2024-01-02 {whole}", price, volume)
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


def test_queue_a_trade_through_the_limit_fills_it_at_once():
    ctx, ledger = book(queue=True)
    feed(ctx, ("10:00:00", 101.0, 50))
    ctx.buy("2330", 1, price=100.0)
    feed(ctx, ("10:00:01", 100.5, 1), ("10:00:02", 100.0, 3), ("10:00:03", 99.5, 1))
    assert deals(ledger) == [("Buy", 1, 100.0)]


def test_partial_fills_take_the_printed_volume_and_the_rest_works_on():
    ctx, ledger = book(partial=True)
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
    ctx, ledger = book(partial=True)
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
    ctx, ledger = book(latency_ms=500)
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
