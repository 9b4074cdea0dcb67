"""Limit orders never trade through their limit: where they fill on the tape and what the account books,
slippage included (the default three ticks)."""

from __future__ import annotations

import polars as pl
import pytest
from runner_fakes import FakeQuotes, tick

from vorn_kest_backtest.modules.positions.positions import Positions
from vorn_kest_backtest.reports import export_trade_records
from vorn_kest_backtest.runner import Context
from vorn_kest_backtest.runner.orders import OrderStatus

DAY = "2024-01-02"


def account() -> Context:
    ctx = Context(Positions(), FakeQuotes())
    ctx.account.set_initial_capital(10**9)
    ctx.set_fill_model(limit="touch")
    return ctx


def tape(ctx: Context, first_minute: int, prices) -> None:
    for i, price in enumerate(prices):
        minute = first_minute + i
        ctx.observe(tick("2330", f"{DAY} {9 + minute // 60:02d}:{minute % 60:02d}:00", price))


def booked(row: dict, side: str) -> float:
    return row[f"{side}_amount"] / row["min_qty"]


def deals(ctx: Context) -> list[float]:
    return [r["price"] for r in ctx.account.trade_records if r["trade_status"] == "Deal"]


# (before the order, the order, the tape after it, where it fills, what the account books)
ENTRIES = [
    pytest.param([593.0], {"price": 592.0}, [592.0], 592.0, 592.0, id="buy-limit-marketable-at-its-limit"),
    pytest.param([596.0], {"price": 594.0}, [592.0], 592.0, 594.0, id="buy-limit-slippage-capped"),
    pytest.param([105.0], {"price": 104.0}, [104.5, 103.0], 104.0, 104.0, id="resting-bid-traded-through"),
    pytest.param([51.8], {"price": 52.2, "stop": 52.0}, [52.0, 52.1], 52.1, 52.2, id="stop-limit"),
]


@pytest.mark.parametrize("before, order_args, after, fill_price, booked_price", ENTRIES)
def test_a_limit_entry_is_booked_no_worse_than_its_limit(before, order_args, after, fill_price, booked_price,
                                                          console):
    ctx = account()
    tape(ctx, 0, before)
    order = ctx.buy("2330", 1, **order_args)
    tape(ctx, 1, after)
    assert order.status is OrderStatus.FILLED and order.fill_price == fill_price and deals(ctx) == [fill_price]
    ctx.sell("2330", 1, fill="this_tick")
    assert booked(ctx.account.profit_rows[0], "entry") == booked_price


def test_a_take_profit_sell_is_booked_at_its_limit_not_slipped_below(console):
    ctx = account()
    tape(ctx, 0, [590.0])
    entry = ctx.buy("2330", 1, take_profit=595.0, stop_loss=580.0)
    tape(ctx, 1, [590.0, 595.0])
    assert entry.take_profit_order.status is OrderStatus.FILLED
    row = ctx.account.profit_rows[0]
    assert (row["exit_price"], booked(row, "exit")) == (595.0, 595.0)  # slipped: 592
    assert booked(row, "entry") == 593.0  # the market entry keeps its slippage


def test_the_trade_records_show_the_booked_limit_price(console):
    ctx = account()
    tape(ctx, 0, [593.0])
    ctx.buy("2330", 1, price=592.0)
    ctx.buy("2330", 1)
    tape(ctx, 1, [592.0])
    frame = pl.read_csv(export_trade_records(ctx.account, {"2330": "Stock"}, limits=ctx.order_book.fill_limits))
    deals_frame = frame.filter(pl.col("trade_status") == "Deal")
    assert deals_frame["booked_price"].to_list() == [592.0, 595.0]
