"""A year of one futures code: the standard report stays small, with every trade and the equity still shown."""

from __future__ import annotations

import json
import os
import re
from datetime import date, datetime, timedelta
from itertools import accumulate
from pathlib import Path

import pytest
from report_fakes import FakePositions, FakeQuoteManager, SessionMinutes, daily_round_trips, epoch, profit_row, weekdays

from vorn_kest_backtest.reports import generate_standard_report
from vorn_kest_backtest.reports.exchange_time import format_exchange_dt
from vorn_kest_backtest.reports.minute_days import minute_folder
from vorn_kest_backtest.reports.standard import MAX_CANDLES

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


def day_file(folder: Path, day: str) -> dict:
    """A day file's columns, as the page reads them: steps summed, prices divided by the scale."""
    text = (folder / f"{day}.js").read_text(encoding="utf-8")
    prefix = f'(window.vkbMinuteDays=window.vkbMinuteDays||{{}})["{day}"]='
    assert text.startswith(prefix) and text.endswith(";\n")
    columns = json.loads(text[len(prefix):-2])
    clock = [f"{day} {m // 60:02d}:{m % 60:02d}:00" for m in accumulate(columns["t"])]
    scale, closes = columns["s"], list(accumulate(columns["c"]))
    bars = [(clock[i], (c + columns["o"][i]) / scale, (c + columns["h"][i]) / scale, (c + columns["l"][i]) / scale,
             c / scale, columns["v"][i]) for i, c in enumerate(closes)]
    equity = list(zip([f"{day} {m // 60:02d}:{m % 60:02d}" for m in accumulate(columns.get("et", []))],
                      [e / columns["es"] for e in accumulate(columns.get("e", []))], strict=True))
    return {"bars": bars, "equity": equity}


def test_every_day_of_the_run_is_listed_with_a_file_of_its_minute_bars(year_report):
    path, page, _ = year_report
    frame = SessionMinutes("TXFR1", DAYS).frame
    calendar_days = sorted({stamp.date().isoformat() for stamp in frame["dt"]})
    # The night session after midnight makes Saturdays' mornings days of the chart too.
    assert len(calendar_days) == len(DAYS) + len(DAYS) // 5
    assert script_value(page, "minuteDays") == calendar_days
    folder = Path(minute_folder(path))
    assert script_value(page, "minuteFolder") == folder.name == "TXFR1-report_minutes"
    assert sorted(os.listdir(folder)) == [day + ".js" for day in calendar_days]
    assert not [name for name in os.listdir(folder.parent) if name.startswith(folder.name + ".")]


@pytest.mark.parametrize("day", [DAYS[0], DAYS[4] + timedelta(days=1), DAYS[101], DAYS[-1]],
                         ids=["first", "saturday morning", "middle", "last"])
def test_a_day_file_holds_exactly_that_days_minute_bars_and_equity(year_report, day):
    path, _, equity = year_report
    frame = SessionMinutes("TXFR1", DAYS).frame
    expected = [(stamp.strftime("%Y-%m-%d %H:%M:%S"), o, h, low, c, v)
                for stamp, _, o, h, low, c, v in frame.iter_rows() if stamp.date() == day]
    last_of_minute: dict[str, float] = {}
    for stamp, value in equity:
        wall = format_exchange_dt(stamp)
        if wall.startswith(str(day)):
            last_of_minute[wall[:16]] = value
    found = day_file(Path(minute_folder(path)), str(day))
    assert found["bars"] == expected and expected
    assert found["equity"] == list(last_of_minute.items())


def test_a_day_file_stays_compact(year_report):
    path, _, _ = year_report
    folder = Path(minute_folder(path))
    busiest = max(os.path.getsize(folder / name) for name in os.listdir(folder))
    # 1,140 bars and as many equity minutes: a few bytes each.
    assert busiest < 40_000


@pytest.mark.parametrize("days", [1, 15], ids=["a day", "three weeks, as the demo"])
def test_a_short_run_keeps_the_one_minute_chart(data_dir, console, days):
    stock_days = weekdays(date(2024, 1, 2), days)
    rows = [profit_row("2330", f"{day} 09:05:00", f"{day} 10:00:00", 5.0) for day in stock_days]
    bars = [(datetime.combine(day, datetime.min.time()) + timedelta(hours=9, minutes=i), "2330", 100.0, 101.0, 99.0,
             100.5, 1) for day in stock_days for i in range(270)]
    path = generate_standard_report(FakePositions(rows), "2330", FakeQuoteManager({("2330", "m"): bars}))
    page = open(path, encoding="utf-8").read()
    assert len(script_value(page, "bars")) == 270 * days and script_value(page, "minuteDays") == []
    assert "1 分 K 線與進出場" in page and 'id="minute-day"' not in page
    assert not os.path.exists(minute_folder(path))


def test_a_regenerated_report_replaces_its_day_folder_whole(data_dir, console):
    month = weekdays(date(2024, 1, 1), 30)
    positions, quotes = FakePositions(daily_round_trips("TXFR1", month)), SessionMinutes("TXFR1", month)
    folder = Path(minute_folder(generate_standard_report(positions, "TXFR1", quotes)))
    (folder / "2023-12-29.js").write_text("stale", encoding="utf-8")
    first = sorted(os.listdir(folder))
    path = generate_standard_report(positions, "TXFR1", quotes)
    assert sorted(os.listdir(folder)) == [name for name in first if name != "2023-12-29.js"]
    assert sorted(os.listdir(folder.parent)) == sorted(["TXFR1-report.html", folder.name])
    # Re-run over a week, short enough for 1-minute bars on the page: the days' folder goes.
    week = month[:5]
    generate_standard_report(FakePositions(daily_round_trips("TXFR1", week)), "TXFR1", SessionMinutes("TXFR1", week))
    assert os.listdir(folder.parent) == ["TXFR1-report.html"] and path.endswith("TXFR1-report.html")
