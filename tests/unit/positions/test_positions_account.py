"""Positions construction, argument checking, capital and the latest tick per code."""

from __future__ import annotations

import datetime
from fractions import Fraction

import pytest

from vorn_kest_backtest.modules.positions.positions import Positions

ATTRIBUTES = [
    "positions",
    "trade_records",
    "product_type_mapper",
    "current_tick_infos",
    "fetch_position_queue",
    "finish_fetch_position_queue",
    "initial_capital",
    "current_capital",
    "_profit_report",
    "_fee_settings",
    "_account_infos",
]
STAT_KEYS = [
    "entry_times",
    "cover_times",
    "entry_amount",
    "exit_amount",
    "net_profit",
    "extra_fee",
    "profit_times",
    "loss_times",
    "profit_total",
    "loss_total",
    "profit",
]


def test_new_account_has_its_attributes_in_order_with_empty_books():
    p = Positions()
    assert Positions.__doc__ == "Position Module"
    assert list(vars(p)) == ATTRIBUTES
    assert (p.positions, p.trade_records, p.product_type_mapper, p.current_tick_infos) == ({}, [], {}, {})
    assert p.fetch_position_queue.qsize() == 0 and p.fetch_position_queue.empty()
    assert p.fetch_position_queue is not p.finish_fetch_position_queue
    assert p.wait_fetch_position_response_flag is False
    assert p._profit_report == {"profit": 0, "rows": []}
    assert p._account_infos == {}


def test_new_account_reports_the_default_capital():
    p = Positions()
    assert p.fetch_account_balance() == p.fetch_margin() == 100000
    assert type(p.initial_capital) is int


def test_integer_capital_sets_both_figures():
    p = Positions()
    p.set_initial_capital(capital=250000)
    assert (p.initial_capital, p.fetch_account_balance(), p.fetch_margin()) == (250000, 250000, 250000)


@pytest.mark.parametrize(
    ("value", "got"),
    [(250000.0, "float"), (True, "bool"), (None, "NoneType"), ("1", "str"),
     # A compiled type outside builtins is named with its module, a class written in Python by its name.
     (datetime.date(2024, 1, 2), "datetime.date"), (Fraction(1), "Fraction")],
)
def test_capital_of_another_type_is_refused_and_changes_nothing(value, got):
    p = Positions()
    with pytest.raises(TypeError) as err:
        p.set_initial_capital(value)
    assert str(err.value) == f"Argument 'capital' has incorrect type (expected int, got {got})"
    assert p.fetch_account_balance() == 100000


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda p: p.set_initial_capital(), "set_initial_capital() takes exactly 1 positional argument (0 given)"),
        (lambda p: p.set_initial_capital(1, 2), "set_initial_capital() takes exactly 1 positional argument (2 given)"),
        (lambda p: p.fetch_margin(1), "fetch_margin() takes exactly 0 positional arguments (1 given)"),
        (lambda p: p.set_positions({}), "set_positions() takes exactly 2 positional arguments (1 given)"),
        (
            lambda p: p.update_fee_settings(),
            "update_fee_settings() takes at least 1 positional argument (0 given)",
        ),
        (
            lambda p: p.update_fee_settings(*"abcdefgh"),
            "update_fee_settings() takes at most 7 positional arguments (8 given)",
        ),
        (lambda p: p.set_current_tick(ticks={}), "set_current_tick() got an unexpected keyword argument 'ticks'"),
        (
            lambda p: p.set_initial_capital(1, capital=2),
            "set_initial_capital() got multiple values for keyword argument 'capital'",
        ),
    ],
)
def test_wrong_argument_counts_and_keywords_are_refused(call, message):
    with pytest.raises(TypeError) as err:
        call(Positions())
    assert str(err.value) == message


def test_a_later_tick_replaces_the_earlier_one_of_its_code_only():
    p = Positions()
    first, second, other = {"code": "2330", "close": 1.0}, {"code": "2330", "close": 2.0}, {"code": "2317"}
    for tick in (first, other, second):
        p.set_current_tick(tick)
    assert p.current_tick_infos == {"2330": second, "2317": other}
    assert p.current_tick_infos["2330"] is second


@pytest.mark.parametrize(("tick", "error"), [({"close": 1.0}, KeyError), ([("code", "2330")], TypeError)])
def test_a_tick_without_code_or_not_a_dict_stores_nothing(tick, error):
    p = Positions()
    with pytest.raises(error):
        p.set_current_tick(tick)
    assert p.current_tick_infos == {}


def test_each_account_statistics_record_is_new_and_zeroed():
    p = Positions()
    a, b = p._Positions__init_account_info(), p._Positions__init_account_info()
    assert list(a) == STAT_KEYS and set(a.values()) == {0}
    a["profit"] = 5
    assert b["profit"] == 0
