"""Position views: detail and summary records, valued at the last tick like a cover at that price."""

from __future__ import annotations

import pytest

from vorn_kest_backtest.constant import OrderCond
from vorn_kest_backtest.modules.positions.positions import Positions

NO_TICK_LINE = "[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]"
STOCK_DETAIL_KEYS = ["code", "date", "quantity", "price", "cost", "pnl", "fee", "trade_id",
                     "margin_purchase_amount", "collateral"]
STOCK_SUMMARY_KEYS = ["code", "quantity", "avg_price", "pnl", "cond", "margin_purchase_amount", "collateral",
                      "short_sale_margin", "interest"]


def fill(action, quantity, price, code="2330", trade_id="T", ts=1704158100.0):
    return {"trade_id": trade_id, "code": code, "action": action, "quantity": quantity, "price": price,
            "origin_price": price, "exchange_ts": ts}


def account(*fills, product="Stock", reset=False):
    p = Positions()
    p.set_initial_capital(1_000_000)
    if reset:
        p.reset_fee_settings()
    for f in fills:
        p.set_positions(f, product)
    return p


def tick(code, close):
    return {"code": code, "close": close, "timestamp": 1704158200.0}


# Entry figures and cover profits worked out by hand with the default fees and 3 ticks of slippage
# (the same round trips the position-keeping tests book): cost is the slipped entry price x quantity x unit.
ROUND_TRIPS = [
    pytest.param("Stock", "2330", "Buy", 100.0, 110.0, 101500.0, 144.6375, 6375.25, 10000.0, id="long-stock"),
    pytest.param("Stock", "2330", "Sell", 100.0, 90.0, 99300.0, 141.5025, 8458.92, 10000.0, id="short-stock"),
    pytest.param("Future", "TXFR1", "Buy", 17000.0, 17100.0, 3400600.0, 68.012, 18595.212, 20000.0, id="long-TXF"),
    pytest.param("Future", "ABCR1", "Sell", 500.0, 480.0, 994000.0, 29.88, 27921.48, 40000.0,
                 id="short-unlisted-future"),
]


@pytest.mark.parametrize(("product", "code", "action", "price", "close", "cost", "fee", "pnl", "gross"), ROUND_TRIPS)
def test_views_value_positions_at_the_last_tick(console, product, code, action, price, close, cost, fee, pnl, gross):
    p = account(fill(action, 1, price, code=code, trade_id="E1"), product=product, reset=code == "ABCR1")
    p.set_current_tick(tick(code, close))
    [detail] = p._Positions__format_position_detail(product)
    assert detail["code"] == code and detail["trade_id"] == "E1"
    assert (detail["quantity"], detail["price"], detail["date"]) == (1, price, "2024-01-02")
    assert detail["cost"] == pytest.approx(cost, abs=1e-6)
    assert detail["fee"] == pytest.approx(fee, abs=1e-6)
    assert detail["pnl"] == pytest.approx(pnl, abs=0.005)
    [summary] = p._Positions__format_position_summary(product)
    assert (summary["code"], summary["quantity"], summary["avg_price"]) == (code, 1, price)
    assert summary["pnl"] == pytest.approx(gross)
    if product == "Stock":
        assert list(detail) == STOCK_DETAIL_KEYS
        assert list(summary) == STOCK_SUMMARY_KEYS
        assert summary["cond"] is OrderCond.CASH
    else:
        assert list(detail) == STOCK_DETAIL_KEYS[:8]
        assert list(summary) == STOCK_SUMMARY_KEYS[:4]
    assert NO_TICK_LINE not in console.lines


def test_entry_cost_and_fee_are_what_left_the_account(console):
    p = account(fill("Buy", 2, 100.0, trade_id="A"), fill("Buy", 3, 101.0, trade_id="B"))
    left = 1_000_000 - p.fetch_account_balance()
    assert sum(r["cost"] + r["fee"] for r in p._Positions__format_position_detail("Stock")) == pytest.approx(left)


FEE_SETUPS = {
    "defaults": lambda p: None,
    "fixed-cost-per-trade": lambda p: p.reset_fee_settings(),
    "slippage-changed-after-entry": lambda p: p.update_fee_settings("stock", action="sell", tick_count=1,
                                                                     direction="up"),
    "no-costs": lambda p: [p.update_fee_settings("stock", fee=0.0, tax=0.0)]
    + [p.update_fee_settings("stock", action=a, tick_count=0) for a in ("buy", "sell")],
}


@pytest.mark.parametrize("setup", FEE_SETUPS.values(), ids=FEE_SETUPS.keys())
@pytest.mark.parametrize(("entries", "cover_action", "close"), [
    pytest.param([("Buy", 2, 100.0), ("Buy", 3, 104.5)], "Sell", 98.7, id="longs-at-a-loss"),
    pytest.param([("Sell", 1, 55.3), ("Sell", 4, 50.0)], "Buy", 48.15, id="shorts-at-a-gain"),
])
def test_detail_pnl_is_the_profit_the_cover_books(console, setup, entries, cover_action, close):
    p = account(*(fill(a, q, px, trade_id=f"E{i}") for i, (a, q, px) in enumerate(entries)))
    setup(p)
    p.set_current_tick(tick("2330", close))
    shown = sum(r["pnl"] for r in p._Positions__format_position_detail("Stock"))
    booked_before = p._profit_report["profit"]
    p.set_positions(fill(cover_action, sum(q for _, q, _ in entries), close, trade_id="X"), "Stock")
    assert p._profit_report["profit"] - booked_before == pytest.approx(shown, rel=1e-12)


def test_summary_averages_entry_prices_by_quantity(console):
    p = account(fill("Buy", 1, 100.0), fill("Buy", 2, 100.05))
    p.set_current_tick(tick("2330", 101.0))
    [summary] = p._Positions__format_position_summary("Stock")
    assert summary["avg_price"] == 100.03
    assert summary["pnl"] == pytest.approx(1000 * (1.0 + 2 * 0.95))


@pytest.mark.parametrize("detail", [True, False], ids=["detail", "summary"])
def test_a_code_without_a_tick_shows_the_red_line_and_pnl_0(console, detail):
    p = account(fill("Buy", 1, 100.0), fill("Sell", 1, 60.0, code="2317"), fill("Buy", 1, 50.0, code="2454"))
    p.set_current_tick(tick("2454", 52.0))
    records = p.fetch_positions("Stock", fetch_detail=detail)
    pnl = {r["code"]: r["pnl"] for r in records}
    assert pnl["2330"] == 0 and pnl["2317"] == 0 and pnl["2454"] != 0
    assert console.lines.count(NO_TICK_LINE) == 2


def test_fetch_positions_queues_and_returns_the_records_of_one_account_type(console):
    p = account(fill("Buy", 1, 100.0))
    p.set_positions(fill("Buy", 1, 17000.0, code="TXFR1"), "Future")
    p.set_positions(fill("Buy", 1, 50.0, code="2454"), "Stock")
    p.set_positions(fill("Sell", 1, 51.0, code="2454"), "Stock")  # fully covered: not shown
    for account_type, detail in [("Stock", False), ("Future", True)]:
        records = p.fetch_positions(account_type, detail)
        assert p.pop_positions() is records
        assert [r["code"] for r in records] == (["2330"] if account_type == "Stock" else ["TXFR1"])
        assert ("trade_id" in records[0]) is detail
    assert p.fetch_position_queue.empty()


def test_detail_lists_every_open_position_with_its_exchange_date(console):
    # 17:00 UTC is already the next day on the exchange clock (night session).
    p = account(fill("Buy", 1, 100.0, trade_id="A", ts=1704214800.0), fill("Buy", 2, 101.0, trade_id="B"))
    records = p.fetch_positions("Stock", fetch_detail=True)
    assert [(r["trade_id"], r["quantity"], r["date"]) for r in records] == [("A", 1, "2024-01-03"),
                                                                          ("B", 2, "2024-01-02")]


@pytest.mark.parametrize("account_type", ["Bond", "stock", 1, None])
def test_unsupported_account_type_is_refused_and_nothing_queued(account_type):
    p = account()
    with pytest.raises(Exception, match="^不支援的帳戶類型: " + str(account_type) + "$") as info:
        p.fetch_positions(account_type)
    assert type(info.value) is Exception
    assert p.fetch_position_queue.empty()


@pytest.mark.parametrize("formatter", ["_Positions__format_position_detail", "_Positions__format_position_summary"])
def test_formatters_refuse_an_unsupported_product_type(formatter):
    with pytest.raises(Exception, match="^不支援的商品類型: Bond$") as info:
        getattr(account(fill("Buy", 1, 100.0)), formatter)("Bond")
    assert type(info.value) is Exception


def test_fetch_detail_must_be_a_bool():
    with pytest.raises(TypeError, match="Argument 'fetch_detail' has incorrect type"):
        account().fetch_positions("Stock", 1)
