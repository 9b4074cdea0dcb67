"""A year of one futures code: the standard report stays small, with every trade and the equity still shown."""

from __future__ import annotations

import json
import os
import re
from datetime import date, datetime, timedelta

import polars as pl
import pytest
from report_fakes import KBAR_SCHEMA, FakePositions, FakeQuoteManager, epoch, profit_row

from vorn_kest_backtest.reports import generate_standard_report
from vorn_kest_backtest.reports.standard import MAX_CANDLES, MAX_DETAIL_BARS

DAYS = [d for d in (date(2024, 1, 1) + timedelta(days=i) for i in range(366)) if d.weekday() < 5][:250]
SIZE_LIMIT = 5 * 1024 * 1024


def session_minutes(day: date) -> list[datetime]:
    """Day session 08:45-13:44 and the night session 15:00 until 04:59 the next morning."""
    day_open = datetime.combine(day, datetime.min.time()) + timedelta(hours=8, minutes=45)
    night_open = datetime.combine(day, datetime.min.time()) + timedelta(hours=15)
    return ([day_open + timedelta(minutes=i) for i in range(300)]
            + [night_open + timedelta(minutes=i) for i in range(840)])


class YearOfMinutes(FakeQuoteManager):
    def __init__(self, code: str):
        super().__init__()
        stamps = [m for day in DAYS for m in session_minutes(day)]
        close = pl.Series(range(len(stamps)), dtype=pl.Float64) % 97 + 17000.0
        volume = pl.Series([5] * len(stamps), dtype=pl.Int64)
        self.frame = pl.DataFrame({"dt": stamps, "code": code, "Open": close - 1, "High": close + 3, "Low": close - 4,
                                   "Close": close, "Volume": volume}).cast(KBAR_SCHEMA)

    def get_kbar(self, code, unit="m", freq=1, exprs=None, to_pandas_df=False):
        self.calls.append((code, unit, freq))
        return self.frame


def script_value(page: str, name: str):
    return json.loads(re.search(rf"const {name} = (.*?);\n", page).group(1))


@pytest.fixture(scope="module")
def year_report(tmp_path_factory):
    from vorn_kest_backtest.constant import BASIC_INFO

    folder = tmp_path_factory.mktemp("year")
    old, BASIC_INFO.data_dir = BASIC_INFO.data_dir, str(folder)
    quotes = YearOfMinutes("TXFR1")
    # A round trip every trading day, and a marked equity sample every minute of the year.
    rows = [profit_row("TXFR1", f"{day} 09:05:00", f"{day} 21:30:00", 10.0 * (i % 7 - 3)) for i, day in enumerate(DAYS)]
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
    marked = script_value(page, "marked")
    assert 0 < len(marked) <= MAX_CANDLES + 1
    assert marked[-1]["equity"] == equity[-1][1]


def test_days_with_trades_carry_their_minute_bars_up_to_the_cap(year_report):
    _, page, _ = year_report
    days = script_value(page, "minuteDays")
    assert list(days) == [str(day) for day in DAYS[: len(days)]] and days
    first = days[str(DAYS[0])]
    assert first["t"][:2] == ["08:45", "08:46"] and first["t"][-1] == "23:59"
    assert all(len(d["t"]) == len(d["c"]) == len(d["v"]) for d in days.values())
    assert sum(len(d["t"]) for d in days.values()) <= MAX_DETAIL_BARS


def test_a_few_days_keep_the_one_minute_chart(data_dir, console):
    rows = [profit_row("2330", "2024-01-02 09:05:00", "2024-01-02 10:00:00", 5.0)]
    bars = [(datetime(2024, 1, 2, 9) + timedelta(minutes=i), "2330", 100.0, 101.0, 99.0, 100.5, 1) for i in range(270)]
    path = generate_standard_report(FakePositions(rows), "2330", FakeQuoteManager({("2330", "m"): bars}))
    page = open(path, encoding="utf-8").read()
    assert len(script_value(page, "bars")) == 270 and script_value(page, "minuteDays") == {}
    assert "1 分 K 線與進出場" in page and 'id="minute-day"' not in page
