"""Slippage of futures in their own tick, and grid walks of any length against a decimal model."""

from __future__ import annotations

import subprocess
import sys
from decimal import Decimal

import pytest
from grid_model import decimal_walk
from hypothesis import given, settings
from hypothesis import strategies as st

from vorn_kest_backtest.modules.positions.positions import Positions


@pytest.mark.parametrize(
    ("code", "price", "ticks", "direction", "expected"),
    [
        ("TXFR1", 16357.0, 1, "up", 16358.0),
        ("TXFR1", 16357.0, 3, "up", 16360.0),
        ("TXFR1", 16357.0, 1, "down", 16356.0),
        ("TXFR1", 16357.0, 3, "down", 16354.0),
        ("EXFR1", 812.35, 1, "up", 812.4),
        ("EXFR1", 812.35, 3, "up", 812.5),
        ("EXFR1", 812.35, 1, "down", 812.3),
        ("EXFR1", 812.35, 3, "down", 812.2),
        ("FXFR1", 1803.4, 1, "up", 1803.6),
        ("FXFR1", 1803.4, 3, "up", 1804.0),
        ("FXFR1", 1803.4, 1, "down", 1803.2),
        ("FXFR1", 1803.4, 3, "down", 1802.8),
        ("ABCR1", 16357.0, 3, "up", 16360.0),  # a family not in the table moves in whole points
    ],
)
def test_futures_slip_in_whole_ticks_of_their_own_size(code, price, ticks, direction, expected):
    p = Positions()
    p.update_fee_settings("future", action="buy", tick_count=ticks, direction=direction)
    cost = p._Positions__calculate_trade_cost(code, "Buy", price, 1, "Future", need_reverse_direction=False)
    assert cost["price"] == expected and cost["origin_price"] == price


def test_stock_slippage_still_walks_the_stock_grid():
    p = Positions()
    cost = p._Positions__calculate_trade_cost("2330", "Buy", 1000.0, 1, "Stock", need_reverse_direction=False)
    assert cost["price"] == 1015.0


def test_a_huge_tick_count_is_worked_out_at_once():
    # In a subprocess with a timeout: a walk one step at a time would hold the GIL for hours.
    script = (
        "from vorn_kest_backtest.modules.positions.positions import Positions\n"
        "p = Positions()\n"
        "print(p._Positions__calculate_slippage_price('2330', 100.0, 10**13, 'down'))\n"
        "p.update_fee_settings('stock', action='sell', tick_count=10**13)\n"
        "print(p._Positions__calculate_trade_cost('2330', 'Sell', 100.0, 1, 'Stock',"
        " need_reverse_direction=False)['price'])\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, check=True)
    assert out.stdout.split() == ["0.01", "0.01"]


@pytest.mark.parametrize(("price", "ticks", "expected"), [(0.01, 5, 0.01), (0.03, 5, 0.01), (10.0, 10**6, 0.01)])
def test_a_walk_down_stops_at_the_lowest_grid_price(price, ticks, expected):
    assert Positions()._Positions__calculate_slippage_price("2330", price, ticks, "down") == expected


def test_a_walk_up_beyond_any_price_is_refused():
    with pytest.raises(OverflowError):
        Positions()._Positions__calculate_slippage_price("2330", 100.0, 10**13, "up")


@settings(max_examples=200, deadline=None)
@given(
    code=st.sampled_from(["2330", "0050"]),
    cents=st.integers(min_value=1, max_value=300_000),
    ticks=st.integers(min_value=0, max_value=3000),
    up=st.booleans(),
)
def test_the_grid_walk_matches_a_decimal_model(code, cents, ticks, up):
    price = Decimal(cents) / 100
    expected = decimal_walk(code, price, ticks, up)
    got = Positions()._Positions__calculate_slippage_price(code, float(price), ticks, "up" if up else "down")
    assert got == float(expected)
