"""The exchange rules have one home (the market module); these pin it to the exchange's tables."""

from __future__ import annotations

import csv
import pickle
from datetime import date, datetime, timedelta
from decimal import ROUND_CEILING, ROUND_HALF_EVEN, Decimal

import numpy as np
import pytest

from vorn_kest_backtest.constant import DEFAULT_FUTURES_TICK, FUTURES_FAMILIES
from vorn_kest_backtest.modules.market import market
from vorn_kest_backtest.modules.positions.positions import QuoteManager

STOCK_BANDS = ((Decimal(10), Decimal("0.01")), (Decimal(50), Decimal("0.05")), (Decimal(100), Decimal("0.1")),
               (Decimal(500), Decimal("0.5")), (Decimal(1000), Decimal(1)), (None, Decimal(5)))
FUND_BANDS = ((Decimal(50), Decimal("0.01")), (None, Decimal("0.05")))


def reference_tick(code: str, price: Decimal) -> Decimal:
    bands = FUND_BANDS if code.startswith("00") else STOCK_BANDS
    return next(size for bound, size in bands if bound is None or price < bound)


def reference(code: str, price: Decimal, rounding: str) -> tuple[Decimal, Decimal]:
    tick = reference_tick(code, price)
    return (price / tick).to_integral_value(rounding=rounding) * tick, tick


# Grid points, hundredths and a few thousandths off them, across every band and past 1000.
SWEEP = sorted({Decimal(c) / 100 for c in range(1, 300_000, 7)} | {Decimal(c) / 1000 for c in range(1, 2_000_000, 997)})


@pytest.mark.parametrize("code", ["2330", "0050"])
def test_the_ceiling_onto_the_grid_equals_the_exchange_table(code):
    got = [market.ceil_to_grid(code, float(p)) for p in SWEEP]
    want = [tuple(float(v) for v in reference(code, p, ROUND_CEILING)) for p in SWEEP]
    assert got == want


@pytest.mark.parametrize("code", ["2330", "00878"])
def test_snapping_whole_arrays_equals_the_exchange_table(code):
    # Snapping rounds to the nearest tick; only prices off a half tick, where binary noise cannot flip the side.
    prices = [p for p in SWEEP if (p / reference_tick(code, p)) % 1 != Decimal("0.5")]
    grid = market.price_grid_for(code, "Stock")
    got = market.snap(np.array([float(p) for p in prices]), grid).tolist()
    assert got == [float(reference(code, p, ROUND_HALF_EVEN)[0]) for p in prices]
    assert market.on_grid(np.array(got), grid).all()


def test_funds_keep_their_band_at_and_above_1000():
    grid = market.price_grid_for("0050", "Stock")
    assert market.ceil_to_grid("0050", 1000.02) == (1000.05, 0.05)
    assert market.tick_size(np.array([999.95, 1000.0, 2500.0]), grid).tolist() == [0.05, 0.05, 0.05]


@pytest.mark.parametrize("family", sorted(FUTURES_FAMILIES))
def test_futures_move_by_their_family_tick(family):
    grid = market.price_grid_for(f"{family}R1", "Future")
    tick = FUTURES_FAMILIES[family].tick_size
    prices = np.array([812.37, 17503.4, 23000.0])
    assert market.tick_size(prices, grid).tolist() == [tick] * 3
    assert market.tick_below(prices, grid).tolist() == [tick] * 3
    want = [float((Decimal(str(p)) / Decimal(str(tick))).to_integral_value(ROUND_HALF_EVEN) * Decimal(str(tick)))
            for p in prices]
    assert market.snap(prices, grid).tolist() == want


def test_a_family_outside_the_table_moves_in_whole_points():
    assert market.tick_size(123.4, market.price_grid_for("ABCR1", "Future")) == DEFAULT_FUTURES_TICK


@pytest.mark.parametrize("market_type", ["Bond", "stock", 3])
def test_an_unknown_market_is_refused_by_value(market_type):
    with pytest.raises(ValueError, match="不支援的商品類型"):
        market.price_grid_for("2330", market_type)


def test_snapping_refuses_a_price_that_is_not_finite():
    with pytest.raises(ValueError, match="價格必須是有限數值"):
        market.snap(np.array([1.0, np.nan]), market.price_grid_for("2330", "Stock"))


def test_the_holiday_table_read_by_the_core_equals_the_csv():
    with market.holiday_table_path().open(encoding="utf-8") as stream:
        rows = [row["Date"] for row in csv.DictReader(stream)]
    assert market.read_holiday_dates() == rows
    assert market.listed_holidays() == {date.fromisoformat(d) for d in rows}
    assert QuoteManager().holiday_search_set == set(rows)
    assert market.TradingCalendar().holidays == market.listed_holidays()


def test_sessions_never_open_inside_the_quote_managers_closed_hours():
    closed = QuoteManager().not_trade_times
    calendar = market.TradingCalendar()
    for market_type in ("Stock", "Future"):
        for offset in range(14):
            day = date(2024, 2, 5) + timedelta(days=offset)
            for session in calendar.sessions_touching(market_type, day):
                moment = datetime(1970, 1, 1) + timedelta(microseconds=session.start_ns // 1000)
                end = datetime(1970, 1, 1) + timedelta(microseconds=session.end_ns // 1000)
                while moment < end:
                    assert not any(start <= moment.time() <= stop for start, stop in closed[market_type]), moment
                    moment += timedelta(minutes=1)


def test_a_calendar_survives_pickling():
    calendar = market.TradingCalendar([date(2024, 1, 3)])
    assert pickle.loads(pickle.dumps(calendar)).holidays == frozenset({date(2024, 1, 3)})


@pytest.mark.parametrize("wall, kind, trading_date", [
    ("2024-10-09 16:00:00", "Future", date(2024, 10, 11)),  # the night before a listed holiday (10-10)
    ("2024-10-10 00:30:00", "Future", date(2024, 10, 11)),
    ("2024-10-11 13:45:00", "Future", date(2024, 10, 11)),
    ("2024-10-09 13:30:00", "Stock", date(2024, 10, 9)),
])
def test_the_calendar_gives_the_trading_date_of_an_epoch_time(wall, kind, trading_date):
    seconds = (datetime.fromisoformat(wall) - timedelta(hours=8) - datetime(1970, 1, 1)).total_seconds()
    assert market.TradingCalendar([date(2024, 10, 10)]).trading_date(kind, seconds) == trading_date
    with pytest.raises(ValueError, match="不支援的商品類型"):
        market.TradingCalendar().trading_date("Bond", seconds)


def test_a_calendar_refuses_what_is_not_a_date():
    with pytest.raises(TypeError, match="日期必須是 datetime.date"):
        market.TradingCalendar(["2024-01-03"])


@pytest.mark.parametrize("seconds", [0.0, 1704157200.123456, -86400.5, 1e10 + 0.25, 253402271999.0])
def test_the_exchange_clock_equals_calendar_arithmetic(seconds):
    want = datetime(1970, 1, 1) + timedelta(seconds=seconds) + timedelta(hours=8)
    assert market.exchange_datetime(seconds) == want
    wall = market.exchange_wall_micros(np.array([seconds])).view("datetime64[us]")[0]
    assert wall == np.datetime64(want, "us")


def test_timestamps_no_calendar_holds_are_not_a_time():
    wall = market.exchange_wall_micros(np.array([np.nan, 1e15, 1e300])).view("datetime64[us]")
    assert np.isnat(wall).all()
