"""Price grid, slippage walk, fee settings and the cost of a fill."""

from __future__ import annotations

import pytest

from vorn_kest_backtest import constant
from vorn_kest_backtest.modules.positions.positions import Positions


@pytest.fixture
def p():
    return Positions()


@pytest.mark.parametrize(
    ("code", "price", "expected"),
    [
        ("2330", 9.99, (9.99, 0.01)),
        ("2330", 10.0, (10.0, 0.05)),
        ("2330", 49.99, (50.0, 0.05)),
        ("2330", 50.0, (50.0, 0.1)),
        ("2330", 100.2, (100.5, 0.5)),
        ("2330", 999.2, (1000, 1)),
        ("2330", 1000.0, (1000, 5)),
        ("0050", 49.991, (50.0, 0.01)),
        ("0050", 120.02, (120.05, 0.05)),
        ("0050", 999.99, (1000.0, 0.05)),
        ("0050", 1001.0, (1001.0, 0.05)),
        ("2330", 4.13, (4.13, 0.01)),
        ("2330", 1.1, (1.1, 0.01)),
        ("2330", 0.07, (0.07, 0.01)),
    ],
)
def test_ceiling_onto_the_grid_by_band(p, code, price, expected):
    assert p._Positions__ceil_price_by_tick(code, price) == expected


@pytest.mark.parametrize(
    ("code", "price", "ticks", "direction", "expected"),
    [
        ("2330", 100.0, 3, "up", 101.5),
        ("2330", 10.0, 1, "down", 9.95),
        ("2330", 9.98, 3, "up", 10.05),
        ("2330", 49.9, 3, "up", 50.1),
        ("2330", 50.1, 3, "down", 49.85),
        ("2330", 1000.0, 2, "down", 994.0),
        ("2330", 998.0, 3, "up", 1005.0),
        ("0050", 49.99, 2, "up", 50.05),
        ("0050", 50.05, 3, "down", 49.94),
        ("2330", 4.1, 3, "up", 4.13),
        ("2330", 9.9, 3, "down", 9.87),
        ("2330", 9.95, 3, "up", 9.98),
        ("2330", 12.34, 0, "up", 12.34),
        ("2330", 12.34, -1, "down", 12.34),
        ("2330", 12.34, 1, "down", 12.3),
        ("2330", 12.3, 1, "sideways", 12.25),
    ],
)
def test_slippage_walks_one_grid_step_per_tick(p, code, price, ticks, direction, expected):
    assert p._Positions__calculate_slippage_price(code, price, ticks, direction) == expected


@pytest.mark.parametrize("code", ["2330", "0056"])
def test_every_grid_price_below_10_steps_to_its_neighbours(p, code):
    for cents in range(1, 1000):
        price = cents / 100
        assert p._Positions__calculate_slippage_price(code, price, 1, "up") == (cents + 1) / 100
        # A walk down stops at the lowest grid price, 0.01.
        assert p._Positions__calculate_slippage_price(code, price, 1, "down") == max(cents - 1, 1) / 100


@pytest.mark.parametrize(
    ("args", "name", "got"),
    [(("2330", 10.0, 1.0, "up"), "tick_count", "float"), ((2330, 10.0, 1, "up"), "code", "int")],
)
def test_slippage_refuses_mistyped_arguments(p, args, name, got):
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type \\(expected \\w+, got {got}\\)"):
        p._Positions__calculate_slippage_price(*args)


def test_slippage_refuses_a_price_that_is_not_a_number(p):
    with pytest.raises(TypeError):
        p._Positions__calculate_slippage_price("2330", "10", 1, "up")


def test_stock_cost_slips_three_ticks_then_prices_fee_and_tax(p):
    cost = p._Positions__calculate_trade_cost("2330", "Buy", 100.0, 2, "Stock", need_reverse_direction=False)
    assert cost == {
        "fee": 0.001425 * 2 * 1000 * 101.5,
        "tax": 0.003 * 2 * 1000 * 101.5,
        "fixed_cost": 0,
        "qty": 2,
        "min_qty": 2000,
        "price": 101.5,
        "origin_price": 100.0,
    }
    assert list(cost) == ["fee", "tax", "fixed_cost", "qty", "min_qty", "price", "origin_price"]


def test_ignoring_tax_zeroes_only_the_tax(p):
    full = p._Positions__calculate_trade_cost("2330", "Buy", 100.0, 2, "Stock", False, False)
    untaxed = p._Positions__calculate_trade_cost("2330", "Buy", 100.0, 2, "Stock", ignore_tax=True,
                                                 need_reverse_direction=False)
    assert untaxed["tax"] == 0 and type(untaxed["tax"]) is int
    assert {k: v for k, v in untaxed.items() if k != "tax"} == {k: v for k, v in full.items() if k != "tax"}


@pytest.mark.parametrize("action, ignore_tax", [("Buy", False), ("Sell", True)])
def test_entry_cost_slips_in_the_order_s_own_direction(p, action, ignore_tax):
    assert p.entry_cost("2330", action, 100.0, 2, "Stock", ignore_tax=ignore_tax) == \
        p._Positions__calculate_trade_cost("2330", action, 100.0, 2, "Stock", ignore_tax, False)
    slipped = p.entry_cost("2330", action, 100.0, 2, "Stock")["price"]
    assert slipped > 100.0 if action == "Buy" else slipped < 100.0


def test_reversed_direction_slips_a_buy_down_by_default(p):
    assert p._Positions__calculate_trade_cost("2330", "BUY", 100.0, 1, "Stock")["price"] == 99.3


@pytest.mark.parametrize(("code", "value"), [("TXFR1", 200), ("MXFR1", 50), ("QQQR1", 2000)])
def test_futures_are_priced_with_their_contract_value(p, code, value):
    assert p._Positions__apply_future_contract_value(code) == value
    cost = p._Positions__calculate_trade_cost(code, "Sell", 17000.0, 2, "Future", need_reverse_direction=False)
    assert cost["price"] == 16997.0  # 3 ticks of the contract's own tick (1 point)
    assert cost["min_qty"] == 2 * value
    assert cost["fee"] == 0.00002 * 2 * value * 16997.0


def test_contract_values_are_read_at_every_call(p, monkeypatch):
    monkeypatch.setitem(constant.FutureIndexContractValue, "NEWR1", 7)
    assert p._Positions__apply_future_contract_value("NEWR1") == 7


@pytest.mark.parametrize("product_type", ["stock", "Option", None])
def test_unknown_product_type_is_refused(p, product_type):
    with pytest.raises(ValueError, match=f"^不支援的商品類型: {product_type}$"):
        p._Positions__calculate_trade_cost("2330", "Buy", 100.0, 1, product_type)


def test_fee_update_changes_only_what_is_given(p):
    before = p.fee_settings()["stock"].copy()
    p.update_fee_settings("stock", fee=0.0005)
    after = p.fee_settings()["stock"]
    assert after["fee"] == 0.0005
    assert {k: v for k, v in after.items() if k != "fee"} == {k: v for k, v in before.items() if k != "fee"}
    assert p.fee_settings()["future"]["fee"] == 0.00002


def test_slippage_update_for_one_action(p):
    p.update_fee_settings("future", action="sell", tick_count=1, direction="up", per_trade_cost=50, tax=0.0)
    future = p.fee_settings()["future"]
    assert future["slippage"] == {"buy": {"tick_count": 3, "direction": "up"},
                                  "sell": {"tick_count": 1, "direction": "up"}}
    assert (future["per_trade_cost"], future["tax"]) == (50, 0.0)


@pytest.mark.parametrize(
    "kwargs", [{"action": "hold", "tick_count": 5}, {"action": "Buy", "tick_count": 5},
               {"action": "buy", "direction": "left"}, {"action": None, "tick_count": 5}]
)
def test_other_actions_or_directions_are_ignored_silently(p, kwargs):
    before = repr(p.fee_settings())
    p.update_fee_settings("future", **kwargs)
    assert repr(p.fee_settings()) == before


@pytest.mark.parametrize(
    ("kwargs", "name", "expected", "got"),
    [({"fee": 0}, "fee", "float", "int"), ({"tax": 1}, "tax", "float", "int"),
     ({"per_trade_cost": 1.5}, "per_trade_cost", "int", "float"), ({"tick_count": True}, "tick_count", "int", "bool")],
)
def test_fee_update_refuses_mistyped_values_and_changes_nothing(p, kwargs, name, expected, got):
    before = repr(p.fee_settings())
    with pytest.raises(TypeError) as err:
        p.update_fee_settings("stock", **kwargs)
    assert str(err.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    assert repr(p.fee_settings()) == before


def test_fee_update_of_an_unknown_kind_is_refused(p):
    with pytest.raises(ValueError, match="^不支援的商品類型: option$"):
        p.update_fee_settings("option", fee=0.1)


def test_reset_sets_ten_per_trade_on_a_new_table(p):
    old = p.fee_settings()
    p.update_fee_settings("stock", fee=0.5)
    p.reset_fee_settings()
    assert p.fee_settings() is not old
    assert [p.fee_settings()[k]["per_trade_cost"] for k in ("stock", "future")] == [10, 10]
    assert p.fee_settings()["stock"]["fee"] == 0.001425


def test_fee_settings_is_the_live_table_and_must_stay_a_dict(p):
    assert p.fee_settings() is p._fee_settings
    p._fee_settings = []
    with pytest.raises(TypeError, match="^Expected dict, got list$"):
        p.fee_settings()


def fill(trade_id: str, action: str, price: float, **extra) -> dict:
    return {"trade_id": trade_id, "code": "2330", "action": action, "quantity": 1, "price": price,
            "origin_price": price, "exchange_ts": 1_704_160_800.0 + int(trade_id), **extra}


def test_a_fill_with_a_limit_price_is_booked_within_it_on_entry_and_cover(p, console):
    p.set_initial_capital(10_000_000)
    p.set_positions(fill("1", "Buy", 592.0, limit_price=592.0), "Stock")
    p.set_positions(fill("2", "Sell", 596.0, limit_price=595.0), "Stock")
    row = p._profit_report["rows"][0]
    # Three ticks of slippage would book 595 and 593.
    assert (row["entry_amount"] / row["min_qty"], row["exit_amount"] / row["min_qty"]) == (592.0, 595.0)
    assert (row["entry_price"], row["exit_price"]) == (592.0, 596.0)
    assert p.entry_cost("2330", "Buy", 592.0, 1, "Stock", limit_price=592.0)["price"] == 592.0
    assert p.entry_cost("2330", "Buy", 592.0, 1, "Stock", limit_price=None)["price"] == 595.0


def test_an_open_position_keeps_the_limit_of_its_fill(p, console):
    p.set_positions(fill("1", "Buy", 52.1, limit_price=52.2), "Stock")
    position = p.positions["2330"]["buy"][0]
    assert position["limit_price"] == 52.2
    assert p.current_capital == pytest.approx(100_000 - 52.2 * 1000 - 0.001425 * 1000 * 52.2)


@pytest.mark.parametrize("limit", [0.0, -1.0, float("nan")])
def test_a_limit_that_is_no_price_is_refused_before_the_book_changes(p, limit):
    with pytest.raises(ValueError, match="限價必須為大於 0 的有限數值"):
        p.set_positions(fill("1", "Buy", 100.0, limit_price=limit), "Stock")
    with pytest.raises(ValueError, match="限價必須為大於 0 的有限數值"):
        p.entry_cost("2330", "Buy", 100.0, 1, "Stock", limit_price=limit)
    assert p.positions == {} and p.current_capital == 100_000
