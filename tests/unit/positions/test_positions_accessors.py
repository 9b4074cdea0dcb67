"""Public accessors of the account, and bookkeeping with a quiet console."""

from __future__ import annotations

import os

import pytest
from rich.console import Console

from vorn_kest_backtest import utils
from vorn_kest_backtest.modules.positions.positions import Positions


def fill(action, quantity, price, code="2330"):
    return {"trade_id": "T", "code": code, "action": action, "quantity": quantity, "price": price,
            "origin_price": price, "exchange_ts": 1704158100.0}


def traded():
    p = Positions()
    p.set_initial_capital(1_000_000)
    p.set_positions(fill("Buy", 2, 100.0), "Stock")
    p.set_positions(fill("Sell", 3, 110.0), "Stock")
    p.set_positions(fill("Buy", 1, 105.0), "Stock")
    return p


def test_profit_rows_are_copies_of_the_report_rows():
    p = traded()
    rows = p.profit_rows
    assert rows == p._profit_report["rows"] and rows[0] is not p._profit_report["rows"][0]
    rows[0]["profit"] = 0
    assert p._profit_report["rows"][0]["profit"] != 0


def test_account_info_is_the_codes_record_made_when_missing():
    p = traded()
    assert p.account_info("2330") is p._account_infos["2330"]
    fresh = p.account_info("2317")
    assert fresh == p._Positions__init_account_info() and p._account_infos["2317"] is fresh


def test_save_path_is_the_public_form_of_the_private_one(data_dir):
    p = Positions()
    assert p.save_path("a.csv") == p._Positions__generate_save_path("a.csv") == os.path.join(str(data_dir), "a.csv")
    assert p.save_path("b.html", "report") == os.path.join(str(data_dir), "report", "b.html")
    assert os.path.isdir(os.path.join(str(data_dir), "report"))


class QuietRecorder:
    quiet = True

    def __init__(self):
        self.lines = []

    def print(self, *objects, **_kwargs):
        self.lines.append(" ".join(str(o) for o in objects))


@pytest.mark.parametrize("quiet", [lambda: QuietRecorder(), lambda: Console(quiet=True)], ids=["attribute", "rich"])
def test_a_quiet_run_books_the_same_and_builds_no_lines(monkeypatch, console, quiet):
    loud = traded()
    quiet_console = quiet()
    monkeypatch.setattr(utils, "console", quiet_console)

    class Loud:
        def __repr__(self):
            raise AssertionError("a console line was built while the console is quiet")

    p = Positions()
    p.set_initial_capital(1_000_000)
    p.set_positions(fill("Buy", 2, 100.0) | {"tag": Loud()}, "Stock")
    p.set_positions(fill("Sell", 3, 110.0) | {"tag": Loud()}, "Stock")
    p.set_positions(fill("Buy", 1, 105.0) | {"tag": Loud()}, "Stock")
    assert p.fetch_account_balance() == loud.fetch_account_balance()
    strip = [{k: v for k, v in r.items()} for r in p.profit_rows]
    assert [r["profit"] for r in strip] == [r["profit"] for r in loud.profit_rows]
    assert getattr(quiet_console, "lines", []) == []
