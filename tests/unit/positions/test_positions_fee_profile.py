"""The Taiwan broker fee profile: discounted fee with a minimum, sell tax by kind and day trade, futures per contract.

Every figure below is worked out by hand in whole NT$; slippage is off unless a test turns it on.
"""

from __future__ import annotations

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vorn_kest_backtest.modules.positions.positions import Positions

DAY = 86400.0
MORNING = 1704158100.0  # 2024-01-02 09:15 in Taipei
AFTERNOON = MORNING + 4 * 3600.0  # 13:15, the same trading day


def account(**profile) -> Positions:
    p = Positions()
    p.set_initial_capital(10_000_000)
    p.use_fee_profile("tw_broker", **profile)
    for kind in ("stock", "future"):
        for action in ("buy", "sell"):
            p.update_fee_settings(kind, action=action, tick_count=0)
    return p


def fill(action, quantity, price, ts=MORNING, code="2330"):
    return {"trade_id": "T", "code": code, "action": action, "quantity": quantity, "price": price,
            "origin_price": price, "exchange_ts": ts}


def cost(p, action, price, quantity, code="2330", product_type="Stock"):
    return p._Positions__calculate_trade_cost(code, action, price, quantity, product_type,
                                              need_reverse_direction=False)


def test_a_small_fill_pays_the_minimum_fee():
    # 0.1425% x 10,000 x 0.6 = 8.55, below the NT$20 minimum; the sell tax is 0.3% x 10,000 = 30.
    p = account()
    assert (cost(p, "Buy", 10.0, 1)["fee"], cost(p, "Buy", 10.0, 1)["tax"]) == (20.0, 0.0)
    assert (cost(p, "Sell", 10.0, 1)["fee"], cost(p, "Sell", 10.0, 1)["tax"]) == (20.0, 30.0)


@pytest.mark.parametrize(("discount", "fee"), [
    (0.6, 171.0),   # 0.1425% x 200,000 = 285 x 0.6 = 171
    (0.5, 142.0),   # 142.5 rounded down
    (0.28, 79.0),   # 79.8 rounded down
    (1.0, 285.0),
])
def test_the_fee_is_discounted_and_rounded_down(discount, fee):
    assert cost(account(fee_discount=discount), "Buy", 100.0, 2)["fee"] == fee


def test_a_custom_minimum_fee_applies_per_fill():
    assert cost(account(min_fee=1), "Buy", 10.0, 1)["fee"] == 8.0


@pytest.mark.parametrize(("code", "ts", "tax"), [
    ("0050", MORNING + DAY, 150.0),   # ETF: 0.1% x 150,000
    ("0050", AFTERNOON, 150.0),       # an ETF day trade keeps the ETF rate
    ("2330", MORNING + DAY, 450.0),   # shares overnight: 0.3%
    ("2330", AFTERNOON, 225.0),       # cash day trade: 0.15%
])
def test_sell_tax_depends_on_the_kind_and_the_trading_day(code, ts, tax):
    p = account()
    p.set_positions(fill("Buy", 1, 150.0, code=code), "Stock")
    p.set_positions(fill("Sell", 1, 150.0, ts=ts, code=code), "Stock")
    (row,) = p._profit_report["rows"]
    assert row["cover_cost_tax"] == tax


@pytest.mark.parametrize(("first", "second"), [("Buy", "Sell"), ("Sell", "Buy")])
@pytest.mark.parametrize(("ts", "tax"), [(AFTERNOON, 765.0), (MORNING + DAY, 1530.0)])
def test_a_round_trip_books_fees_and_the_sell_leg_tax(first, second, ts, tax):
    # Buy leg 500,000: fee floor(427.5) = 427; sell leg 510,000: fee floor(436.05) = 436, tax on 510,000.
    prices = {"Buy": 500.0, "Sell": 510.0}
    p = account()
    p.set_positions(fill(first, 1, prices[first]), "Stock")
    p.set_positions(fill(second, 1, prices[second], ts=ts), "Stock")
    (row,) = p._profit_report["rows"]
    entry_fee, exit_fee = (427.0, 436.0) if first == "Buy" else (436.0, 427.0)
    assert (row["trade_cost_fee"], row["cover_cost_fee"], row["cover_cost_tax"]) == (entry_fee, exit_fee, tax)
    assert row["profit"] == 10_000 - (427 + 436 + tax)
    assert p.fetch_account_balance() - 10_000_000 == row["profit"]


def test_the_day_trade_is_told_on_the_exchange_clock():
    # 07:50 and 09:10 in Taipei are one trading day, though the UTC date changes between them.
    bought = 1704153000.0 - 3 * 3600.0  # 2024-01-01 23:50 UTC
    p = account()
    p.set_positions(fill("Buy", 1, 500.0, ts=bought), "Stock")
    p.set_positions(fill("Sell", 1, 510.0, ts=bought + 80 * 60), "Stock")
    assert p._profit_report["rows"][0]["cover_cost_tax"] == 765.0


def test_a_sell_covering_an_old_and_a_same_day_buy_taxes_each_part_at_its_rate():
    p = account()
    p.set_positions(fill("Buy", 1, 500.0, ts=MORNING - DAY), "Stock")
    p.set_positions(fill("Buy", 1, 500.0), "Stock")
    p.set_positions(fill("Sell", 2, 510.0, ts=AFTERNOON), "Stock")
    old, today = p._profit_report["rows"]
    assert (old["cover_cost_tax"], today["cover_cost_tax"]) == (1530.0, 765.0)
    # One fill of 1,020,000: fee floor(872.1) = 872, shared by the two pairs.
    assert (old["cover_cost_fee"], today["cover_cost_fee"]) == (436.0, 436.0)
    assert p._profit_report["profit"] == 20_000 - (2 * 427 + 872 + 1530 + 765)


def test_futures_pay_per_contract_and_the_tax_of_both_legs():
    # TXFR1: 200 per point. Buy 2 at 17,000 = 6,800,000: fee 2 x 50, tax floor(136) = 136;
    # sell 2 at 17,100 = 6,840,000: fee 100, tax floor(136.8) = 136.
    p = account()
    entry = cost(p, "Buy", 17000.0, 2, code="TXFR1", product_type="Future")
    assert (entry["fee"], entry["tax"], entry["min_qty"]) == (100.0, 136.0, 400)
    p.set_positions(fill("Buy", 2, 17000.0, code="TXFR1"), "Future")
    p.set_positions(fill("Sell", 2, 17100.0, code="TXFR1"), "Future")
    (row,) = p._profit_report["rows"]
    assert (row["trade_cost_fee"], row["cover_cost_fee"], row["cover_cost_tax"]) == (100.0, 100.0, 272.0)
    assert row["profit"] == 40_000 - (100 + 100 + 272)
    assert p.fetch_account_balance() - 10_000_000 == row["profit"]


def test_the_futures_tax_is_rounded_per_contract_to_the_nearest_dollar():
    # MXFR1: 50 per point. Buy 3 at 17,500: 875,000 a contract, tax 17.5 -> 18, x 3 = 54;
    # sell 3 at 17,260: 863,000 a contract, 17.26 -> 17, x 3 = 51. 105 in all (floored over the order: 52 + 51).
    p = account()
    assert cost(p, "Sell", 8500.0, 1, code="MXFR1", product_type="Future")["tax"] == 9.0  # the exchange's 8.5
    assert cost(p, "Buy", 17500.0, 3, code="MXFR1", product_type="Future")["tax"] == 54.0
    p.set_positions(fill("Buy", 3, 17500.0, code="MXFR1"), "Future")
    p.set_positions(fill("Sell", 3, 17260.0, ts=AFTERNOON, code="MXFR1"), "Future")
    (row,) = p._profit_report["rows"]
    assert (row["trade_cost_fee"], row["cover_cost_fee"], row["cover_cost_tax"]) == (150.0, 150.0, 105.0)
    assert row["profit"] == (17_260 - 17_500) * 50 * 3 - (150 + 150 + 105)
    assert p.fetch_account_balance() - 10_000_000 == row["profit"]


def test_a_futures_cover_split_over_two_entries_pays_the_same_tax_per_contract():
    p = account()
    p.set_positions(fill("Buy", 1, 17500.0, code="MXFR1"), "Future")
    p.set_positions(fill("Buy", 2, 17500.0, code="MXFR1"), "Future")
    p.set_positions(fill("Sell", 3, 17260.0, code="MXFR1"), "Future")
    assert [row["cover_cost_tax"] for row in p._profit_report["rows"]] == [35.0, 70.0]
    assert p.fetch_account_balance() - 10_000_000 == p._profit_report["profit"]


def test_the_futures_fee_per_contract_can_be_set():
    p = account(future_fee_per_contract=25)
    assert cost(p, "Sell", 17000.0, 3, code="MXFR1", product_type="Future")["fee"] == 75.0


def test_slippage_settings_still_move_the_price_under_the_profile():
    # 3 ticks up from 100.0 gives 101.5; fee floor(0.1425% x 101,500 x 0.6) = floor(86.78) = 86.
    p = account()
    p.update_fee_settings("stock", action="buy", tick_count=3)
    record = cost(p, "Buy", 100.0, 1)
    assert (record["price"], record["fee"]) == (101.5, 86.0)


def test_booked_profit_equals_the_capital_change_over_partial_covers_and_a_remainder():
    p = account()
    p.update_fee_settings("stock", per_trade_cost=10)
    p.update_fee_settings("stock", action="buy", tick_count=2)
    p.set_positions(fill("Buy", 3, 100.0), "Stock")
    p.set_positions(fill("Sell", 1, 104.0, ts=AFTERNOON), "Stock")
    p.set_positions(fill("Sell", 4, 110.0, ts=MORNING + DAY), "Stock")  # covers 2, opens a short of 2
    p.set_positions(fill("Buy", 2, 105.0, ts=MORNING + 2 * DAY), "Stock")
    assert p.positions["2330"] == {"buy": [], "sell": []}
    assert p.fetch_account_balance() - 10_000_000 == pytest.approx(p._profit_report["profit"], abs=1e-6)


def test_without_a_profile_the_rate_table_prices_as_before():
    p = Positions()
    assert p.fee_profile == {"name": "table"}
    p.use_fee_profile("tw_broker")
    p.use_fee_profile("table")
    record = cost(p, "Sell", 100.0, 2)
    assert record["price"] == 99.3  # 3 ticks down: 99.5, 99.4, 99.3
    assert record["fee"] == 0.001425 * 2 * 1000 * 99.3
    assert record["tax"] == 0.003 * 2 * 1000 * 99.3


def test_the_profile_is_reported_with_its_parameters_and_cannot_be_assigned():
    p = Positions()
    p.use_fee_profile("tw_broker", fee_discount=0.5, min_fee=1, future_fee_per_contract=30.0)
    assert p.fee_profile == {"name": "tw_broker", "fee_discount": 0.5, "min_fee": 1.0,
                             "future_fee_per_contract": 30.0}
    p.fee_profile["name"] = "table"
    assert p.fee_profile["name"] == "tw_broker"
    with pytest.raises(AttributeError):
        p.fee_profile = {"name": "table"}


@pytest.mark.parametrize(("kwargs", "quoted"), [
    ({"name": "cheap"}, r"tw_broker, table\): cheap"),
    ({"name": "tw_broker", "fee_discount": 1.5}, "1.5"),
    ({"name": "tw_broker", "fee_discount": -0.1}, "-0.1"),
    ({"name": "tw_broker", "fee_discount": math.nan}, "nan"),
    ({"name": "tw_broker", "min_fee": -1}, "-1"),
    ({"name": "tw_broker", "min_fee": math.inf}, "inf"),
    ({"name": "tw_broker", "future_fee_per_contract": -5.0}, "-5.0"),
])
def test_unknown_profiles_and_bad_parameters_are_refused_by_value(kwargs, quoted):
    p = Positions()
    with pytest.raises(ValueError, match=quoted):
        p.use_fee_profile(**kwargs)
    assert p.fee_profile == {"name": "table"}


@pytest.mark.parametrize("kwargs", [{"name": 5}, {"name": "tw_broker", "fee_discount": "0.6"},
                                    {"name": "tw_broker", "min_fee": True}])
def test_wrongly_typed_profile_arguments_are_refused(kwargs):
    with pytest.raises(TypeError):
        Positions().use_fee_profile(**kwargs)


@pytest.mark.parametrize(("tick_ts", "tax"), [(AFTERNOON, 765), (MORNING + DAY, 1530)])
def test_the_position_view_values_a_same_day_position_at_the_day_trade_tax(tick_ts, tax):
    p = account()
    p.set_positions(fill("Buy", 1, 500.0), "Stock")
    p.set_current_tick({"code": "2330", "close": 510.0, "timestamp": tick_ts})
    [detail] = p._Positions__format_position_detail("Stock")
    assert detail["pnl"] == 10_000 - (427 + 436 + tax)


@settings(max_examples=40, deadline=None)
@given(
    code=st.sampled_from(["2330", "0050", "TXFR1"]),
    steps=st.lists(st.tuples(st.sampled_from(["Buy", "Sell"]), st.integers(1, 5), st.integers(2000, 20000),
                             st.integers(0, 2)), min_size=1, max_size=8),
    ticks=st.integers(0, 3),
)
def test_any_sequence_of_fills_books_what_the_capital_moved_once_flat(code, steps, ticks):
    product = "Future" if code == "TXFR1" else "Stock"
    p = account(min_fee=20, fee_discount=0.6)
    p.update_fee_settings(product.lower(), per_trade_cost=3)
    for action in ("buy", "sell"):
        p.update_fee_settings(product.lower(), action=action, tick_count=ticks)
    for action, qty, tenths, day in steps:
        p.set_positions(fill(action, qty, tenths / 10, ts=MORNING + day * DAY, code=code), product)
    for side, action in (("buy", "Sell"), ("sell", "Buy")):
        held = sum(position["quantity"] for position in p.positions[code][side])
        if held:
            p.set_positions(fill(action, held, 150.0, ts=MORNING + 3 * DAY, code=code), product)
    assert p.positions[code] == {"buy": [], "sell": []}
    assert p.fetch_account_balance() - 10_000_000 == pytest.approx(p._profit_report["profit"], abs=1e-6)
