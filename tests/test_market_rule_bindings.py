"""The market rules bound from the core give the answers the Python copies they replace gave."""

from __future__ import annotations

from datetime import date, timedelta

import pytest

from vorn_kest_backtest import constant
from vorn_kest_backtest.modules.market import market

# The contract table as constant.py wrote it out before it became a view of the core's.
FORMER_FAMILIES = {
    "TXF": (200, 1), "MXF": (50, 1), "TMF": (10, 1), "EXF": (4000, 0.05), "FXF": (1000, 0.2),
    "ZEF": (500, 0.05), "ZFF": (250, 0.2), "XIF": (100, 1), "GTF": (4000, 0.05), "G2F": (50, 1), "E4F": (100, 1),
}


def test_the_contract_table_keeps_every_family_s_point_value_and_tick():
    assert {f: (t.point_value, t.tick_size) for f, t in constant.FUTURES_FAMILIES.items()} == FORMER_FAMILIES
    assert constant.DEFAULT_FUTURES_TICK == 1.0
    assert constant.FutureIndexContractValue["EXFR2"] == 4000


@pytest.mark.parametrize(("code", "family"), [("TXFR1", "TXF"), ("MXF202601", "MXF"), ("ABCR1", None), ("TX", None)])
def test_a_code_s_family_is_its_first_three_letters(code, family):
    expected = None if family is None else constant.FUTURES_FAMILIES[family]
    assert constant.futures_family(code) == expected


def test_session_hours_and_the_exchange_clock():
    assert market.STOCK_SESSION_SECONDS == (9 * 3600, 13 * 3600 + 30 * 60)
    assert market.STOCK_CLOSING_CALL_SECOND == 13 * 3600 + 25 * 60
    assert market.FUTURES_DAY_SESSION_SECONDS == (8 * 3600 + 45 * 60, 13 * 3600 + 45 * 60)
    assert market.FUTURES_NIGHT_SESSION_SECONDS == (15 * 3600, 5 * 3600)
    assert market.EXCHANGE_UTC_OFFSET_HOURS == 8 == constant._BasicInfo().utc_offset_hours


@pytest.mark.parametrize("timestamp", [0.0, 1_704_153_600.25, 1_767_225_600.000001, 1_767_279_599.999999])
def test_wall_micros_of_one_timestamp_is_the_exchange_clock(timestamp):
    assert market.exchange_wall_micros(timestamp) == round((timestamp + 8 * 3600) * 1_000_000)


def _stepped(calendar, day: date, step: int) -> date:
    day += timedelta(days=step)
    while not calendar.is_trading_day(day):
        day += timedelta(days=step)
    return day


@pytest.mark.parametrize("day", [date(2024, 2, 7), date(2024, 2, 8), date(2024, 2, 14), date(2025, 1, 24),
                                 date(2025, 12, 31), date(2026, 1, 3), date(2026, 2, 13)])
def test_next_and_previous_trading_days_step_over_weekends_and_holidays(day):
    calendar = market.TradingCalendar()
    assert calendar.next_trading_day(day) == _stepped(calendar, day, 1)
    assert calendar.previous_trading_day(day) == _stepped(calendar, day, -1)


@pytest.mark.parametrize(("code", "market_type", "reference", "band"), [
    ("2330", "Stock", 600.0, (540.0, 660.0)),
    ("2330", "Stock", 101.0, (90.9, 111.0)),
    ("2330", "Stock", 46.35, (41.75, 50.9)),
    ("0050", "Stock", 46.35, (41.72, 50.95)),
    ("TXFR1", "Future", 23151.0, (20836.0, 25466.0)),
    ("EXFR1", "Future", 1234.55, (1111.1, 1358.0)),
])
def test_the_daily_band_is_ten_percent_rounded_inward_onto_the_grid(code, market_type, reference, band):
    grid = market.price_grid_for(code, market_type)
    assert market.daily_band(reference, grid) == band
    assert all(market.on_grid(limit, grid) for limit in band)
    assert reference * 0.9 <= band[0] and band[1] <= reference * 1.1 + 1e-9
