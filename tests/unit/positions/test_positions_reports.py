"""Save paths, profit rows per code and the report methods of Positions."""

from __future__ import annotations

import os

import polars as pl
import pytest
from report_fakes import FakeQuoteManager, daily_bars, minute_bars

from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.modules.positions.positions import Positions
from vorn_kest_backtest.reports import performance, standard, trade_export


def fill(action, price, code="2330", ts=1704158100.0):
    return {"trade_id": f"{code}-{action}-{price}", "code": code, "action": action, "quantity": 1, "price": price,
            "origin_price": price, "exchange_ts": ts}


def traded_account():
    """Round trips on two codes, interleaved: rows 2330, 2317, 2330 in that order."""
    p = Positions()
    p.set_initial_capital(1_000_000)
    for f in [fill("Buy", 100.0), fill("Buy", 50.0, "2317"), fill("Sell", 104.0, ts=1704162000.0),
              fill("Sell", 52.0, "2317", ts=1704162000.0), fill("Sell", 103.0, ts=1704244500.0),
              fill("Buy", 101.0, ts=1704248100.0)]:
        p.set_positions(f, "Stock")
        p.add_trade_record(f["trade_id"], f["code"], f["action"], 1, f["price"], f["exchange_ts"], "Deal")
    return p


@pytest.mark.parametrize("sub_folder", [(), ("report",), ("report", "2330", "day")])
def test_save_path_joins_the_data_dir_and_creates_the_folders(data_dir, sub_folder):
    path = Positions()._Positions__generate_save_path("out.csv", *sub_folder)
    assert path == os.path.join(str(data_dir), *sub_folder, "out.csv")
    assert os.path.isdir(os.path.dirname(path))
    assert Positions()._Positions__generate_save_path(file_name="out.csv") == os.path.join(str(data_dir), "out.csv")


def test_save_path_follows_the_data_dir_at_every_call(tmp_path, monkeypatch):
    p = Positions()
    for name in ("first", "second"):
        monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path / name))
        assert p._Positions__generate_save_path("a.html", "report") == str(tmp_path / name / "report" / "a.html")


@pytest.mark.parametrize(("args", "kwargs", "error"), [
    pytest.param((1,), {}, "Argument 'file_name' has incorrect type", id="file-name-not-text"),
    pytest.param(("a", "b"), {"file_name": "c"}, "multiple values", id="file-name-twice"),
    pytest.param((), {}, "takes exactly 1 positional argument", id="no-file-name"),
])
def test_save_path_refuses_bad_arguments(args, kwargs, error):
    with pytest.raises(TypeError, match=error):
        Positions()._Positions__generate_save_path(*args, **kwargs)


def test_profit_rows_by_code_are_shared_in_stored_order(console):
    p = traded_account()
    stored = p._profit_report["rows"]
    rows = p.get_profit_rows_by_code("2330")
    assert [r["code"] for r in stored] == ["2330", "2317", "2330"]
    assert rows is not stored
    assert [id(r) for r in rows] == [id(stored[0]), id(stored[2])]
    rows.clear()
    assert len(stored) == 3
    assert p.get_profit_rows_by_code("9999") == []


@pytest.mark.parametrize(("call", "module", "function", "expected"), [
    pytest.param(lambda p, q: p.export_trade_records(), trade_export, "export_trade_records", (), id="trades"),
    pytest.param(lambda p, q: p.generate_standard_report("2330", q), standard, "generate_standard_report",
                 ("2330", "QM"), id="standard"),
    pytest.param(lambda p, q: p.generate_qs_profit_report(quote_manager=q, code="2330"), performance,
                 "generate_qs_profit_report", ("QM", "2330"), id="performance"),
])
def test_report_methods_hand_themselves_to_the_report_functions(monkeypatch, call, module, function, expected):
    calls = []
    monkeypatch.setattr(module, function, lambda *args: calls.append(args) or "path")
    p = Positions()
    assert call(p, "QM") == "path"
    assert calls == [(p, *expected)]


def test_a_real_account_exports_and_reports(console, data_dir):
    p = traded_account()
    quotes = FakeQuoteManager({("2330", "m"): minute_bars("2330", "2024-01-02 09:00:00", 300),
                               ("0050", "d"): daily_bars("0050", ["2024-01-02", "2024-01-03"])})
    trades = pl.read_csv(p.export_trade_records())
    assert trades["trade_id"].to_list() == [r["trade_id"] for r in p.trade_records]
    rows_before = [dict(r) for r in p._profit_report["rows"]]
    for _ in range(2):
        assert os.path.isfile(p.generate_standard_report("2330", quotes))
        assert os.path.isfile(p.generate_qs_profit_report(quotes, "2330"))
    assert p._profit_report["rows"] == rows_before
    assert os.path.isfile(data_dir / "report" / "2330-profit_report.csv")
