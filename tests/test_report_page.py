"""Opens the standard report in headless Chromium and checks what the chart really drew."""

from __future__ import annotations

import html
import json
import os
import re
import shutil
import subprocess
from datetime import date

import pytest
from report_fakes import (
    FakePositions,
    FakeQuoteManager,
    SessionMinutes,
    daily_round_trips,
    epoch,
    minute_bars,
    profit_row,
    weekdays,
)

from vorn_kest_backtest.reports import generate_standard_report

# Starts a browser: skipped by the quick local run (-m "not slow").
pytestmark = pytest.mark.slow

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser") or shutil.which("google-chrome")
if CHROMIUM is None and os.environ.get("VORN_REQUIRE_BROWSER") != "1":
    pytest.skip("no Chromium on this machine (set VORN_REQUIRE_BROWSER=1 to make this a failure)", allow_module_level=True)

ROWS = [
    profit_row("2330", "2024-01-02 09:05:10", "2024-01-02 09:40:00", 800.0),
    profit_row("2330", "2024-01-02 10:00:00", "2024-01-02 11:15:59", -300.0, entry_action="Sell"),
    profit_row("2330", "2024-01-02 11:30:00", "2024-01-02 12:00:00", 120.0),
]


def chromium(url: str, *flags: str) -> str:
    assert CHROMIUM, "VORN_REQUIRE_BROWSER=1 but no Chromium found"
    command = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--window-size=1400,1100",
               "--virtual-time-budget=20000", *flags, url]
    return subprocess.run(command, capture_output=True, text=True, timeout=90, check=True).stdout


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    from vorn_kest_backtest.constant import BASIC_INFO

    folder = tmp_path_factory.mktemp("page")
    old, BASIC_INFO.data_dir = BASIC_INFO.data_dir, str(folder)
    try:
        path = generate_standard_report(FakePositions(ROWS), "2330", FakeQuoteManager({("2330", "m"): minute_bars("2330", "2024-01-02 09:00:00", 240)}))
    finally:
        BASIC_INFO.data_dir = old
    return folder, "file://" + path


def rendered_chart(url: str) -> tuple[str, dict, dict[str, str]]:
    """The page's DOM, what plotly drew, and the chart's data attributes."""
    dom = chromium(url, "--dump-dom")
    chart = re.search(r'<div id="kbar-chart"[^>]*>', dom).group(0)
    attributes = {name: html.unescape(value) for name, value in re.findall(r'data-(\w+)="([^"]*)"', chart)}
    return dom, json.loads(attributes["rendered"]), attributes


def test_chart_draws_every_bar_and_trade(page):
    _, url = page
    dom, rendered, _ = rendered_chart(url)
    assert rendered["candles"] == 240
    assert rendered["markers"] == {"entry long": 2, "exit long": 2, "entry short": 1, "exit short": 1}
    assert 'class="gl-canvas' in dom


def test_screenshot(page):
    folder, url = page
    shot = folder / "report.png"
    chromium(url, f"--screenshot={shot}")
    assert shot.stat().st_size > 10_000


MONTH = weekdays(date(2024, 1, 1), 30)


@pytest.fixture(scope="module")
def long_page(tmp_path_factory):
    """A month of a futures code's every session minute, a round trip a day: drawn in coarser bars."""
    from vorn_kest_backtest.constant import BASIC_INFO

    folder = tmp_path_factory.mktemp("long")
    old, BASIC_INFO.data_dir = BASIC_INFO.data_dir, str(folder)
    try:
        path = generate_standard_report(FakePositions(daily_round_trips("TXFR1", MONTH)), "TXFR1",
                                        SessionMinutes("TXFR1", MONTH))
    finally:
        BASIC_INFO.data_dir = old
    page = open(path, encoding="utf-8").read()
    bars = json.loads(re.search(r"const bars = (.*?);\n", page).group(1))
    return "file://" + path, bars


def test_a_long_range_draws_its_coarser_bars_and_every_trade(long_page):
    url, bars = long_page
    _, rendered, attributes = rendered_chart(url)
    assert len(bars) < 30 * 1140 / 10
    assert rendered["candles"] == len(bars) and attributes["bars"] == str(len(bars))
    assert rendered["markers"] == {"entry long": 30, "exit long": 30, "entry short": 0, "exit short": 0}


def test_a_chosen_day_draws_its_minute_bars_and_only_its_own_trades(long_page):
    url, _ = long_page
    day = MONTH[2]
    dom, rendered, attributes = rendered_chart(f"{url}#day={day}")
    # The calendar day: the night before after midnight, the day session and the evening's night session.
    assert rendered["candles"] == 300 + 300 + 540 and attributes["bars"] == "1140"
    assert rendered["markers"] == {"entry long": 1, "exit long": 1, "entry short": 0, "exit short": 0}
    assert attributes["markers"] == "2" and attributes["exits"] == "1"


@pytest.fixture(scope="module")
def quiet_days_page(tmp_path_factory):
    """A month drawn in coarser bars with trades on its first three days only, and a marked equity sample a minute."""
    from vorn_kest_backtest.constant import BASIC_INFO

    folder = tmp_path_factory.mktemp("quiet")
    old, BASIC_INFO.data_dir = BASIC_INFO.data_dir, str(folder)
    quotes = SessionMinutes("TXFR1", MONTH)
    equity = [(epoch(stamp.strftime("%Y-%m-%d %H:%M:%S")), 1_000_000.0 + i)
              for i, stamp in enumerate(quotes.frame["dt"])]
    try:
        path = generate_standard_report(FakePositions(daily_round_trips("TXFR1", MONTH[:3])), "TXFR1", quotes,
                                        equity=equity)
    finally:
        BASIC_INFO.data_dir = old
    return "file://" + path


def test_a_day_without_trades_draws_its_minute_bars_and_equity_from_its_day_file(quiet_days_page):
    day = MONTH[21]  # a Tuesday: the night before after midnight, its day and night sessions
    dom, rendered, attributes = rendered_chart(f"{quiet_days_page}#day={day}")
    assert attributes["day"] == str(day)
    assert rendered["candles"] == 300 + 300 + 540 and attributes["bars"] == "1140"
    assert rendered["markers"] == {"entry long": 0, "exit long": 0, "entry short": 0, "exit short": 0}
    # A sample every minute of the day, after the level the day started from.
    assert rendered["equity"] == 1140 + 1
    assert f"1 分 K 線與進出場: {day}" in dom
    options = re.findall(r'<option value="([^"]*)">([^<]*)</option>', dom)
    assert (str(MONTH[0]), f"{MONTH[0]} (成交 2)") in options and (str(day), str(day)) in options
