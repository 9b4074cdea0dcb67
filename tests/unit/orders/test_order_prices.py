"""Order prices on the exchange grid of their code, and the trade-records columns that say what each order was."""

from __future__ import annotations

import polars as pl
import pytest
from runner_fakes import FakeQuotes, tick

from vorn_kest_backtest.modules.positions.positions import Positions
from vorn_kest_backtest.reports import export_trade_records
from vorn_kest_backtest.runner import Context
from vorn_kest_backtest.runner.orders import OrderStatus


def account() -> Context:
    ctx = Context(Positions(), FakeQuotes())
    ctx.account.set_initial_capital(10**9)
    return ctx


def observe(ctx: Context, code: str, when: str, price: float, market: str = "Stock") -> None:
    ctx.observe(tick(code, when, price, market=market))


@pytest.mark.parametrize("code, market, last, args, reason", [
    ("2330", "Stock", 593.0, {"price": 592.7}, "委託價 592.7 不在 2330 的價格跳動格上, 最接近的有效價格為 592 與 593"),
    ("2330", "Stock", 593.0, {"stop": 580.5},
     "停損觸發價 580.5 不在 2330 的價格跳動格上, 最接近的有效價格為 580 與 581"),
    ("2330", "Stock", 593.0, {"take_profit": 600.2, "stop_loss": 580.0}, "停利價 600.2 不在 2330"),
    ("0050", "Stock", 150.0, {"price": 150.03}, "最接近的有效價格為 150 與 150.05"),
    ("2317", "Stock", 49.9, {"price": 49.99}, "最接近的有效價格為 49.95 與 50"),
    ("TXFR1", "Future", 17500.0, {"price": 17500.5}, "最接近的有效價格為 17500 與 17501"),
    ("EXFR1", "Future", 1234.5, {"stop_loss": 1230.02},
     "停損價 1230.02 不在 EXFR1 的價格跳動格上, 最接近的有效價格為 1230 與 1230.05"),
], ids=["limit", "stop", "take-profit", "fund", "band-bound", "futures-tick", "family-tick"])
def test_a_price_off_the_grid_is_refused_naming_the_nearest_valid_prices(code, market, last, args, reason, console):
    ctx = account()
    observe(ctx, code, "2024-01-02 10:00:00", last, market)
    order = ctx.buy(code, 1, **args)
    assert order.status is OrderStatus.CANCELLED and reason in order.reason
    assert [r["trade_status"] for r in ctx.account.trade_records] == ["Order", "Cancel"]
    assert ctx.orders() == []


@pytest.mark.parametrize("code, market, last, args", [
    ("2330", "Stock", 593.0, {"price": 592.0, "stop": 595.0}),
    ("2317", "Stock", 49.9, {"price": 49.95}),
    ("0050", "Stock", 150.0, {"price": 150.05}),
    ("EXFR1", "Future", 1234.5, {"price": 1234.55}),
], ids=["stock", "below-band-bound", "fund", "family-tick"])
def test_a_price_on_the_grid_works(code, market, last, args, console):
    ctx = account()
    observe(ctx, code, "2024-01-02 10:00:00", last, market)
    assert ctx.buy(code, 1, **args).is_open


def test_the_records_name_the_order_type_prices_and_reason_in_time_order(console):
    ctx = account()
    observe(ctx, "2330", "2024-01-02 09:01:00", 600.0)
    observe(ctx, "2317", "2024-01-02 09:01:00", 100.0)
    ctx.buy("2330", 1, price=590.0)  # 1: a day order that expires
    ctx.buy("2330", 1, price=580.0, stop=585.0, good_till_cancel=True)  # 2: cancelled by the strategy
    ctx.buy("2330", 1, price=592.7)  # 3: off the grid
    ctx.cancel(ctx.orders("2330")[-1])
    observe(ctx, "2317", "2024-01-03 09:01:00", 101.0)
    ctx.buy("2317", 1)  # 4: filled on the next day, before 2330 trades again
    observe(ctx, "2317", "2024-01-03 09:02:00", 101.5)
    observe(ctx, "2330", "2024-01-03 09:02:00", 601.0)  # notices the expiry of 1
    frame = pl.read_csv(export_trade_records(ctx.account, {"2330": "Stock", "2317": "Stock"},
                                             orders=ctx.order_book.orders_by_id))
    assert frame.columns[-4:] == ["order_type", "limit_price", "stop_price", "reason"]
    assert frame.columns[:8] == ["trade_id", "code", "action", "quantity", "price", "booked_price", "dt",
                                 "trade_status"]
    rows = [(r["trade_id"], r["trade_status"], r["order_type"], r["limit_price"], r["stop_price"], r["reason"])
            for r in frame.iter_rows(named=True)]
    assert rows == [
        (1, "Order", "Limit", 590.0, None, None),
        (2, "Order", "StopLimit", 580.0, 585.0, None),
        (3, "Order", "Limit", 592.7, None, None),
        (3, "Cancel", "Limit", 592.7, None, rows[3][5]),
        (2, "Cancel", "StopLimit", 580.0, 585.0, "策略取消"),
        (1, "Cancel", "Limit", 590.0, None, "當日有效委託, 收盤未成交取消"),
        (4, "Order", "Market", None, None, None),
        (4, "Deal", "Market", None, None, None),
    ]
    assert "592.7" in rows[3][5]
    assert frame["dt"].to_list() == sorted(frame["dt"].to_list())
