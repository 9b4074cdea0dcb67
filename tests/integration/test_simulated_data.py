"""Simulated ticks say so: console, summary, summary.json and report pages; no made-up days past today or before
the holiday table; any well-formed code is served at a stable made-up price, and named as made up."""

from __future__ import annotations

import json
from datetime import date, datetime

import pytest
from fake_sdk import COLUMNS, wall_ns

from vorn_kest_backtest.brokers import SimulatedBroker, simulated
from vorn_kest_backtest.cli import main
from vorn_kest_backtest.modules.ticker.ticker import Ticker

STRATEGY = '''
from vorn_kest_backtest.runner import Strategy


class Trader(Strategy):
    codes = [("2330", "Stock")]
    start = "2024-03-05"
    end = "2024-03-06"

    def on_tick(self, tick, ctx):
        if not ctx.positions("2330"):
            ctx.buy("2330", 1)
        elif tick["timestamp"] % 600 < 1:
            ctx.sell("2330", 1)
'''


@pytest.fixture
def today(monkeypatch):
    """The exchange clock stands still on 2024-03-06."""
    monkeypatch.setattr(simulated, "exchange_now", lambda: datetime(2024, 3, 6, 10, 0))
    return date(2024, 3, 6)


def test_the_console_says_the_ticks_are_generated(data_dir, console):
    Ticker(SimulatedBroker(ticks_per_day=5)).get_ticks_df("2330", "Stock", "2024-03-05", "2024-03-05")
    lines = [line for line in console.lines if "2024-03-05" in line and "正在取得" not in line]
    assert lines and all("產生模擬 Tick 資料" in line for line in lines)
    assert not any("下載" in line for line in lines)


def run_folder(tmp_path, broker_args: list[str]) -> tuple[int, object]:
    strategy = tmp_path / "trader.py"
    strategy.write_text(STRATEGY)
    out = tmp_path / "out"
    status = main(["run", str(strategy), "--output-dir", str(out), *broker_args])
    return status, out


def test_summary_summary_json_and_every_report_page_say_simulated(tmp_path, capsys):
    status, out = run_folder(tmp_path, ["--quiet"])
    assert status == 0
    assert "回測結果 (模擬資料)" in capsys.readouterr().out
    document = json.loads((out / "summary.json").read_text(encoding="utf-8"))
    assert document["simulated_data"] is True and document["data_label"] == "模擬資料"
    pages = sorted(out.glob("*.html"))
    assert len(pages) == 2 and all("模擬資料" in page.read_text(encoding="utf-8") for page in pages)


def test_a_run_on_the_users_own_files_carries_no_simulated_label(tmp_path, console):
    for day in ("2024-03-05", "2024-03-06"):
        path = tmp_path / "mine" / "2330" / f"{day}.csv"
        path.parent.mkdir(parents=True, exist_ok=True)
        rows = [f"{wall_ns(day, 9, minute)},{580 + minute % 3},1,,,,,1" for minute in range(30)]
        path.write_text("\n".join([",".join(COLUMNS), *rows]) + "\n")
    status, out = run_folder(tmp_path, ["--broker", "files", "--data", str(tmp_path / "mine")])
    assert status == 0
    document = json.loads((out / "summary.json").read_text(encoding="utf-8"))
    assert document["simulated_data"] is False and document["data_label"] is None
    assert not any("模擬資料" in page.read_text(encoding="utf-8") for page in out.glob("*.html"))


@pytest.mark.parametrize(("day", "problem"), [("2024-03-07", "晚於今天 2024-03-06"), ("2016-12-30", "早於休市日表")])
def test_days_after_today_or_before_the_holiday_table_are_refused(day, problem, today):
    broker = SimulatedBroker(ticks_per_day=5)
    with pytest.raises(ValueError, match=problem):
        broker.ticks(contract=broker.Contracts.Stocks["2330"], date=day)
    assert len(broker.ticks(contract=broker.Contracts.Stocks["2330"], date=today.isoformat())["ts"]) == 5


def test_a_run_into_the_future_fails_with_the_reason(tmp_path, today, console):
    strategy = tmp_path / "trader.py"
    strategy.write_text(STRATEGY)
    assert main(["run", str(strategy), "--start", "2024-03-07", "--end", "2024-03-08", "--no-report"]) == 3
    block = next(line for line in console.lines if "無法載入" in line)
    assert "2330 2024-03-07" in block and "晚於今天" in block


def test_a_well_formed_stock_code_outside_the_table_is_served_at_a_stable_made_up_price(console):
    first = SimulatedBroker(ticks_per_day=20)
    ticks = first.ticks(contract=first.Contracts.Stocks["1101"], date="2024-03-05")
    assert len(ticks["close"]) == 20 and min(ticks["close"]) > 0
    assert first.made_up_codes == ["1101"]
    [line] = [line for line in console.lines if "1101" in line]
    assert line.startswith("[yellow]") and "虛構" in line
    second = SimulatedBroker(ticks_per_day=20)
    assert ticks == second.ticks(contract=second.Contracts.Stocks["1101"], date="2024-03-05")
    assert first.Contracts.Stocks["2330"].reference == 580.0 and "2330" not in first.made_up_codes


@pytest.mark.parametrize("code", ["EXFR1", "TXFR2", "ZFFR1", "E4FR2"])
def test_every_futures_family_of_the_constant_module_is_served(code, console):
    broker = SimulatedBroker(ticks_per_day=20)
    assert broker.ticks(contract=broker.Contracts.Futures[code], date="2024-03-05")["close"]
    assert broker.made_up_codes == [code]


@pytest.mark.parametrize(("family", "code"), [("Stocks", "12AB"), ("Stocks", "233"), ("Futures", "XYZR1"),
                                              ("Futures", "TXFR3")])
def test_malformed_codes_stay_unknown(family, code):
    with pytest.raises(KeyError, match=code):
        getattr(SimulatedBroker().Contracts, family)[code]
