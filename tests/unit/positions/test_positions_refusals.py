"""Fills no account can book are refused before anything changes; failed lookups raise for real."""

from __future__ import annotations

import copy
import subprocess
import sys

import pytest

from vorn_kest_backtest.modules.positions.positions import Positions


def fill(action, quantity, price, code="2330"):
    return {"trade_id": "T", "code": code, "action": action, "quantity": quantity, "price": price,
            "origin_price": price, "exchange_ts": 1704158100.0}


def snapshot(p):
    return (copy.deepcopy(p.positions), dict(p.product_type_mapper), copy.deepcopy(p._account_infos),
            p.fetch_account_balance(), copy.deepcopy(p._profit_report))


@pytest.mark.parametrize(
    ("quantity", "price", "message"),
    [
        (1, -100.0, "^價格必須為大於 0 的有限數值: -100.0$"),
        (1, 0.0, "^價格必須為大於 0 的有限數值: 0.0$"),
        (1, float("nan"), "^價格必須為大於 0 的有限數值: nan$"),
        (1, float("inf"), "^價格必須為大於 0 的有限數值: inf$"),
        (0, 100.0, "^數量必須為正整數: 0$"),
        (-2, 100.0, "^數量必須為正整數: -2$"),
        (10**30, 100.0, "^數量過大: 10{30}$"),
    ],
)
@pytest.mark.parametrize("held", [None, ("Buy", 1), ("Sell", 1)])
def test_a_nonsense_fill_is_refused_before_anything_changes(quantity, price, message, held):
    p = Positions()
    p.set_initial_capital(1_000_000)
    if held:
        p.set_positions(fill(held[0], held[1], 100.0), "Stock")
    before = snapshot(p)
    for action in ("Buy", "Sell"):
        with pytest.raises(ValueError, match=message):
            p.set_positions(fill(action, quantity, price), "Stock")
    assert snapshot(p) == before


def test_a_refused_fill_on_a_new_code_leaves_no_trace():
    p = Positions()
    with pytest.raises(ValueError):
        p.set_positions(fill("Buy", 1, -1.0), "Future")
    assert (p.positions, p.product_type_mapper, p._account_infos) == ({}, {}, {})
    p.set_positions(fill("Buy", 1, 100.0), "Stock")
    assert p.product_type_mapper == {"2330": "Stock"}
    assert [r["code"] for r in p.fetch_positions("Stock")] == ["2330"]


def test_a_reversal_too_large_to_count_is_refused_whole():
    p = Positions()
    p.set_initial_capital(1_000_000)
    p.set_positions(fill("Buy", 1, 100.0), "Stock")
    before = snapshot(p)
    with pytest.raises(ValueError, match="^數量過大: 100000000000000000$"):
        p.set_positions(fill("Sell", 10**17, 100.0), "Stock")
    assert snapshot(p) == before


@pytest.mark.parametrize("timestamp", [9.3e12, -9.3e12, 5e16, 253402300800.0])
def test_a_timestamp_beyond_the_calendar_is_refused_quoting_it(timestamp):
    p = Positions()
    with pytest.raises(ValueError, match="^時間戳記超出範圍 \\(須在西元 1 年至 9999 年之間\\): "):
        p.add_trade_record("T", "2330", "Buy", 1, 10.0, timestamp, "Deal")
    assert p.trade_records == []


def test_a_failed_import_raises_its_own_error_on_every_call():
    script = (
        "import sys\nimport vorn_kest_backtest.constant\n"
        "from vorn_kest_backtest.modules.positions.positions import Positions\n"
        "p = Positions()\n"
        "saved = sys.modules['vorn_kest_backtest.constant']\n"
        "sys.modules['vorn_kest_backtest.constant'] = None\n"
        "for _ in range(2):\n"
        "    try:\n"
        "        p._Positions__apply_future_contract_value('TXFR1')\n"
        "    except ImportError as err:\n"
        "        print('ImportError', isinstance(err, ImportError))\n"
        "sys.modules['vorn_kest_backtest.constant'] = saved\n"
        "print(p._Positions__apply_future_contract_value('TXFR1'))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.split() == ["ImportError", "True", "ImportError", "True", "200"], out.stderr
