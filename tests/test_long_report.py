"""A year of one futures code: the standard report stays small, with every trade and the equity still shown."""

from __future__ import annotations

import json
import os
import re
from datetime import date, datetime, timedelta

import pytest
from report_fakes import FakePositions, FakeQuoteManager, SessionMinutes, daily_round_trips, epoch, profit_row, weekdays

from vorn_kest_backtest.reports import generate_standard_report
from vorn_kest_backtest.reports.exchange_time import format_exchange_dt
from vorn_kest_backtest.reports.standard import MAX_CANDLES, MAX_DETAIL_BARS

DAYS = weekdays(date(2024, 1, 1), 250)
SIZE_LIMIT = 5 * 1024 * 1024


def script_value(page: str, name: str):
    return json.loads(re.search(rf"const {name} = (.*?);\n", page).group(1))


@pytest.fixture(scope="module")
def year_report(tmp_path_factory):
    from vorn_kest_backtest.constant import BASIC_INFO

    folder = tmp_path_factory.mktemp("year")
    old, BASIC_INFO.data_dir = BASIC_INFO.data_dir, str(folder)
    quotes = SessionMinutes("TXFR1", DAYS)
    # A round trip every trading day, and a marked equity sample every minute of the year.
    rows = daily_round_trips("TXFR1", DAYS)
    equity = [(epoch(stamp.strftime("%Y-%m-%d %H:%M:%S")), 1_000_000.0 + i)
              for i, stamp in enumerate(quotes.frame["dt"])]
    try:
        path = generate_standard_report(FakePositions(rows), "TXFR1", quotes, equity=equity)
    finally:
        BASIC_INFO.data_dir = old
    with open(path, encoding="utf-8") as file:
        return path, file.read(), equity


def test_a_year_of_minute_bars_renders_under_five_megabytes(year_report):
    path, _, _ = year_report
    assert os.path.getsize(path) < SIZE_LIMIT


def test_a_long_range_is_charted_with_coarser_bars_and_every_trade(year_report):
    _, page, _ = year_report
    bars = script_value(page, "bars")
    assert 0 < len(bars) <= MAX_CANDLES
    points = script_value(page, "points")
    assert len(points) == 2 * len(DAYS)
    assert [p["dt"][:10] for p in points if p["kind"] == "entry"] == [str(day) for day in DAYS]


def test_the_equity_curve_keeps_the_last_sample_of_each_bar(year_report):
    _, page, equity = year_report
    bars = script_value(page, "bars")
    marked = script_value(page, "marked")
    assert 0 < len(marked) <= MAX_CANDLES + 1
    # The year is drawn in hour bars: the last sample of each hour of the exchange clock.
    assert bars[1]["time"][11:] == "09:00:00" and bars[2]["time"][11:] == "10:00:00"
    last_of_hour: dict[str, dict] = {}
    for stamp, value in equity:
        wall = format_exchange_dt(stamp)
        last_of_hour[wall[:13]] = {"time": wall, "equity": value}
    assert marked == list(last_of_hour.values())


def test_days_with_trades_carry_their_minute_bars_up_to_the_cap(year_report):
    _, page, _ = year_report
    days = script_value(page, "minuteDays")
    assert list(days) == [str(day) for day in DAYS[: len(days)]] and days
    first = days[str(DAYS[0])]
    assert first["t"][:2] == ["08:45", "08:46"] and first["t"][-1] == "23:59"
    assert all(len(d["t"]) == len(d["c"]) == len(d["v"]) for d in days.values())
    assert sum(len(d["t"]) for d in days.values()) <= MAX_DETAIL_BARS
    assert f"其後 {len(DAYS) - len(days)} 個有成交的日子未附 1 分 K" in page


@pytest.mark.parametrize("days", [1, 15], ids=["a day", "three weeks, as the demo"])
def test_a_short_run_keeps_the_one_minute_chart(data_dir, console, days):
    stock_days = weekdays(date(2024, 1, 2), days)
    rows = [profit_row("2330", f"{day} 09:05:00", f"{day} 10:00:00", 5.0) for day in stock_days]
    bars = [(datetime.combine(day, datetime.min.time()) + timedelta(hours=9, minutes=i), "2330", 100.0, 101.0, 99.0,
             100.5, 1) for day in stock_days for i in range(270)]
    path = generate_standard_report(FakePositions(rows), "2330", FakeQuoteManager({("2330", "m"): bars}))
    page = open(path, encoding="utf-8").read()
    assert len(script_value(page, "bars")) == 270 * days and script_value(page, "minuteDays") == {}
    assert "1 分 K 線與進出場" in page and 'id="minute-day"' not in page
