"""Booked profit equals the capital moved over every round trip, whatever the settings do meanwhile."""

from __future__ import annotations

from decimal import Decimal

import pytest
from grid_model import decimal_walk
from hypothesis import given, settings
from hypothesis import strategies as st

from vorn_kest_backtest.modules.positions.positions import Positions

SHARES = 1000


def fill(action, quantity, price, code="2330"):
    return {"trade_id": "T", "code": code, "action": action, "quantity": quantity, "price": price,
            "origin_price": price, "exchange_ts": 1704158100.0}


def test_changing_fees_and_slippage_before_the_cover_keeps_profit_and_capital_equal():
    p = Positions()
    p.set_initial_capital(1_000_000)
    p.set_positions(fill("Buy", 1, 100.0), "Stock")  # 101.5 in, fee 144.6375 at the default settings
    p.update_fee_settings("stock", fee=0.01, per_trade_cost=50)
    p.update_fee_settings("stock", action="buy", tick_count=10)
    p.set_positions(fill("Sell", 1, 110.0), "Stock")
    (row,) = p._profit_report["rows"]
    assert (row["entry_amount"], row["trade_cost_fee"]) == (101500.0, 0.001425 * 1 * 1000 * 101.5)
    assert p.fetch_account_balance() - 1_000_000 == pytest.approx(p._profit_report["profit"], abs=1e-6)


def test_partial_covers_charge_the_entry_fixed_cost_once():
    p = Positions()
    p.set_initial_capital(1_000_000)
    p.reset_fee_settings()  # 10 per trade
    p.set_positions(fill("Buy", 3, 100.0), "Stock")
    for _ in range(3):
        p.set_positions(fill("Sell", 1, 110.0), "Stock")
    assert sum(r["trade_cost_fixed"] for r in p._profit_report["rows"]) == pytest.approx(10.0)
    assert p.fetch_account_balance() - 1_000_000 == pytest.approx(p._profit_report["profit"], abs=1e-6)


class DecimalAccount:
    """The round-trip arithmetic in exact decimals: FIFO lots keep what their entry charged."""

    def __init__(self, capital: int) -> None:
        self.capital = Decimal(capital)
        self.profit = Decimal(0)
        self.lots: dict[str, list] = {"Buy": [], "Sell": []}
        self.fee, self.tax, self.fixed = Decimal("0.001425"), Decimal("0.003"), Decimal(0)
        self.ticks = {"Buy": 3, "Sell": 3}

    def slipped(self, action, price):
        return decimal_walk("2330", price, self.ticks[action], action == "Buy")

    def trade(self, action, qty, price):
        opposite = self.lots["Sell" if action == "Buy" else "Buy"]
        out_price = self.slipped(action, price)
        while qty and opposite:
            lot = opposite[0]
            m = min(qty, lot["qty"])
            share = Decimal(m) / Decimal(lot["qty"])
            in_cost = (lot["fee"] + lot["fixed"]) * share
            lot["fee"] -= lot["fee"] * share
            lot["fixed"] -= lot["fixed"] * share
            entry_amount = lot["price"] * m * SHARES
            exit_amount = out_price * m * SHARES
            exit_cost = (self.fee + self.tax) * m * SHARES * out_price + self.fixed
            if action == "Buy":
                self.profit += entry_amount - exit_amount - in_cost - exit_cost
                self.capital += 2 * entry_amount - exit_amount - exit_cost
            else:
                self.profit += exit_amount - entry_amount - in_cost - exit_cost
                self.capital += exit_amount - exit_cost
            lot["qty"] -= m
            qty -= m
            if lot["qty"] == 0:
                opposite.pop(0)
        if qty:
            in_price = self.slipped(action, price)
            fee = self.fee * qty * SHARES * in_price
            self.capital -= in_price * qty * SHARES + fee + self.fixed
            self.lots[action].append({"qty": qty, "price": in_price, "fee": fee, "fixed": self.fixed})


steps = st.lists(
    st.one_of(
        st.tuples(st.just("fill"), st.sampled_from(["Buy", "Sell"]), st.integers(1, 4),
                  st.integers(1000, 60000)),
        st.tuples(st.just("settings"), st.sampled_from(["0.0", "0.001425", "0.01"]), st.sampled_from(["0.0", "0.003"]),
                  st.integers(0, 20), st.integers(0, 5), st.integers(0, 5)),
    ),
    min_size=1,
    max_size=12,
)


@settings(max_examples=40, deadline=None)
@given(steps=steps)
def test_the_account_matches_an_exact_model_of_the_round_trips(steps):
    p = Positions()
    p.set_initial_capital(10_000_000)
    model = DecimalAccount(10_000_000)
    for step in steps:
        if step[0] == "fill":
            _, action, qty, cents = step
            price = Decimal(cents) / 100
            p.set_positions(fill(action, qty, float(price)), "Stock")
            model.trade(action, qty, price)
        else:
            _, fee, tax, fixed, buy_ticks, sell_ticks = step
            p.update_fee_settings("stock", fee=float(fee), tax=float(tax), per_trade_cost=fixed)
            p.update_fee_settings("stock", action="buy", tick_count=buy_ticks)
            p.update_fee_settings("stock", action="sell", tick_count=sell_ticks)
            model.fee, model.tax, model.fixed = Decimal(fee), Decimal(tax), Decimal(fixed)
            model.ticks = {"Buy": buy_ticks, "Sell": sell_ticks}
    assert float(p._profit_report["profit"]) == pytest.approx(float(model.profit), abs=0.01)
    assert float(p.fetch_account_balance()) == pytest.approx(float(model.capital), abs=0.01)
    if not model.lots["Buy"] and not model.lots["Sell"]:
        assert p.fetch_account_balance() - 10_000_000 == pytest.approx(p._profit_report["profit"], abs=0.01)
