"""Futures date ranges are trading dates: whole night sessions at both ends."""

from __future__ import annotations

from datetime import datetime

import polars as pl
import pytest

from vorn_kest_backtest.brokers import SimulatedBroker
from vorn_kest_backtest.modules.ticker.ticker import Ticker

BROKER = SimulatedBroker(ticks_per_day=60)


def wall_clock(code: str, market: str, start: str, end: str) -> list[datetime]:
    df = Ticker(BROKER)._Ticker__process_and_combine_ticks([{"code": code, "market": market}], start, end)
    return df["ts"].cast(pl.Datetime("ns")).to_list()


@pytest.mark.parametrize("start", ["2024-03-04", "2024-03-02", "2024-03-03"])
def test_a_range_opens_with_the_night_before_its_first_trading_date(start, console):
    stamps = wall_clock("TXFR1", "Future", start, "2024-03-04")
    assert datetime(2024, 3, 1, 15) <= stamps[0] < datetime(2024, 3, 1, 15, 5)
    assert any(datetime(2024, 3, 2) <= t < datetime(2024, 3, 2, 5, 1) for t in stamps)
    assert not any(datetime(2024, 3, 1, 5, 1) <= t < datetime(2024, 3, 1, 15) for t in stamps)


@pytest.mark.parametrize("end", ["2024-03-08", "2024-03-09", "2024-03-10"])
def test_a_friday_end_closes_with_the_day_session(end, console):
    stamps = wall_clock("TXFR1", "Future", "2024-03-08", end)
    assert datetime(2024, 3, 8, 13, 40) <= stamps[-1] <= datetime(2024, 3, 8, 13, 45)
    assert datetime(2024, 3, 7, 15) <= stamps[0] < datetime(2024, 3, 7, 15, 5)


def test_a_weekend_only_range_has_no_futures_ticks(console):
    ticker = Ticker(BROKER)
    df = ticker._Ticker__process_and_combine_ticks([{"code": "TXFR1", "market": "Future"}], "2024-03-09", "2024-03-10")
    assert df.height == 0 and ticker.failed_days == []


def test_stock_ranges_are_calendar_days(console):
    stamps = wall_clock("2330", "Stock", "2024-03-02", "2024-03-08")
    assert stamps[0].date() == datetime(2024, 3, 4).date() and stamps[-1].date() == datetime(2024, 3, 8).date()
