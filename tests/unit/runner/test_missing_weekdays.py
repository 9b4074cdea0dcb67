"""Gaps are said, never filled: a trading weekday without data is a missing day, and no bar is made up for it."""

from __future__ import annotations

from collections import Counter
from datetime import datetime

import pytest
from fake_sdk import COLUMNS, wall_ns

from vorn_kest_backtest.brokers import FileBroker
from vorn_kest_backtest.cli import main
from vorn_kest_backtest.constant import FLAG
from vorn_kest_backtest.modules.positions.positions import QuoteManager
from vorn_kest_backtest.modules.ticker.ticker import Ticker

ONE = [{"code": "2330", "market": "Stock"}]
EXIT = {"vorn_status": FLAG.exit_send_tick.value}
STRATEGY = '''
from vorn_kest_backtest.runner import Strategy


class Idle(Strategy):
    codes = [("2330", "Stock")]
    start = "2024-03-05"
    end = "2024-03-07"
'''


def stock_days(folder, closes: dict[str, str]):
    """"2330/<day>.csv" for each day, ticks at 09:00 and 13:00 at the day's close text."""
    for day, close in closes.items():
        path = folder / "2330" / f"{day}.csv"
        path.parent.mkdir(parents=True, exist_ok=True)
        rows = [f"{wall_ns(day, hour)},{close},1,,,,,1" for hour in (9, 13)]
        path.write_text("\n".join([",".join(COLUMNS), *rows]) + "\n")
    return folder


@pytest.mark.parametrize(("allow", "status"), [(False, 3), (True, 0)])
def test_a_weekday_without_a_file_is_listed_and_fails_the_run(allow, status, tmp_path, data_dir, console):
    folder = stock_days(tmp_path / "mine", {"2024-03-05": "580", "2024-03-07": "600"})
    strategy = tmp_path / "idle.py"
    strategy.write_text(STRATEGY)
    argv = ["run", str(strategy), "--broker", "files", "--data", str(folder), "--no-report"]
    assert main(argv + (["--allow-missing-days"] if allow else [])) == status
    block = next(line for line in console.lines if "無法載入" in line)
    assert "2330 2024-03-06" in block and "缺少" in block
    assert not any("2024-03-06 的 Tick 資料成功" in line for line in console.lines)
    assert not list(data_dir.glob("kest/sources/*/2330 2024-03-06 - ticks.csv"))


@pytest.mark.parametrize(("start", "end"), [("2024-03-09", "2024-03-10"), ("2024-02-28", "2024-02-28")])
def test_weekends_and_exchange_holidays_need_no_file(start, end, tmp_path, console):
    ticker = Ticker(FileBroker(stock_days(tmp_path / "mine", {"2024-03-05": "580"})))
    assert ticker._Ticker__process_and_combine_ticks(ONE, start, end).height == 0
    assert ticker.failed_days == []


def replayed_bars(folder, start: str, end: str) -> list[datetime]:
    """Five-minute bar times of 2330 after replaying the range into a QuoteManager."""
    ticker, quotes = Ticker(FileBroker(folder)), QuoteManager()
    ticker.send_ticks(ONE, start, end)
    while (record := ticker.tick_queue.get(timeout=10)) != EXIT:
        quotes.add_tick(record)
        ticker.allow_next_tick()
    return quotes.get_kbar("2330", unit="m", freq=5)["dt"].to_list()


@pytest.mark.parametrize("middle", [None, "abc"], ids=["missing", "failed"])
def test_no_bar_is_made_up_on_a_day_without_data(middle, tmp_path, console):
    closes = {"2024-03-05": "580", "2024-03-07": "600"} | ({"2024-03-06": middle} if middle else {})
    bars = replayed_bars(stock_days(tmp_path / "mine", closes), "2024-03-05", "2024-03-07")
    per_day = Counter(bar.date().isoformat() for bar in bars)
    # A day with data keeps its filled minutes: the first to its session's close once a later tick came, the
    # last from 09:00 to its last tick at 13:00; the day between has not one bar.
    assert per_day == {"2024-03-05": 54, "2024-03-07": 49}
