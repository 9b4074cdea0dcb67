from datetime import datetime, time, timedelta

import polars as pl
import pytest
from quote_ticks import tick

from vorn_kest_backtest.modules.positions.positions import QuoteManager

SCHEMA = {
    "dt": pl.Datetime("us"),
    "market_type": pl.Utf8,
    "code": pl.Utf8,
    "close": pl.Float64,
    "qty": pl.Int64,
    "tick_type": pl.Int8,
    "is_simulate": pl.Boolean,
    "is_virtual": pl.Boolean,
}


@pytest.fixture
def qm():
    return QuoteManager()


def virtual_times(qm, code="2330"):
    df = qm.poped_tick_to_df(code)
    return df.filter(pl.col("is_virtual"))["dt"].to_list()


def test_construction_tables(qm):
    assert {"2024-10-10", "2024-02-12"} <= qm.holiday_search_set
    assert all(isinstance(d, str) for d in qm.holiday_search_set)
    assert qm.not_trade_times == {
        "Stock": [[time(13, 30), time(23, 59, 59)], [time(0, 0), time(8, 59, 59)]],
        "Future": [[time(13, 45), time(14, 59, 59)], [time(5, 0), time(8, 44, 59)]],
    }
    assert qm.ticks == {}
    assert qm.get_init_ticks_info() == {"ticks": [], "old_ticks": [], "last_tick": None, "cached_kbars": {}}
    assert qm.get_empty_tick_df().schema == pl.Schema(SCHEMA)


@pytest.mark.parametrize(
    "first, second",
    [
        (None, datetime(2024, 1, 2, 9, 30, 5)),  # first tick of the code
        (datetime(2024, 1, 2, 9, 30, 5), datetime(2024, 1, 2, 9, 30, 59)),  # same minute
        (datetime(2024, 1, 2, 9, 30, 59), datetime(2024, 1, 2, 9, 31, 0)),  # adjacent minutes
        (datetime(2024, 1, 2, 13, 29, 10), datetime(2024, 1, 3, 9, 0, 3)),  # overnight close
        (datetime(2024, 1, 5, 13, 29, 10), datetime(2024, 1, 8, 9, 0, 3)),  # weekend
        (datetime(2024, 10, 9, 13, 29, 10), datetime(2024, 10, 11, 9, 0, 3)),  # National Day
        (datetime(2024, 2, 5, 13, 29, 10), datetime(2024, 2, 15, 9, 0, 3)),  # Lunar New Year
    ],
)
def test_no_virtual_ticks(qm, first, second):
    if first is not None:
        qm.add_tick(tick(first))
    qm.add_tick(tick(second))
    assert virtual_times(qm) == []


def test_gap_in_session_filled_minute_by_minute(qm):
    qm.add_tick(tick(datetime(2024, 1, 2, 10, 0, 30), close=101.5, qty=3))
    qm.add_tick(tick(datetime(2024, 1, 2, 10, 4, 1), close=99.0, qty=2))
    df = qm.poped_tick_to_df("2330")
    virtual = df.filter(pl.col("is_virtual"))
    assert virtual["dt"].to_list() == [datetime(2024, 1, 2, 10, m) for m in (1, 2, 3)]
    assert virtual.select("close", "qty", "tick_type", "is_simulate", "market_type", "code").unique().rows() == [
        (101.5, 0, 0, False, "Stock", "2330")
    ]
    assert df["dt"].is_sorted()


def test_stock_fill_across_close_and_weekend_keeps_only_open_minutes(qm):
    qm.add_tick(tick(datetime(2024, 1, 5, 13, 27, 0)))
    qm.add_tick(tick(datetime(2024, 1, 8, 9, 2, 0)))
    assert virtual_times(qm) == [datetime(2024, 1, 5, 13, 28), datetime(2024, 1, 5, 13, 29),
                                 datetime(2024, 1, 8, 9, 0), datetime(2024, 1, 8, 9, 1)]


def test_futures_night_session_runs_past_midnight_into_saturday(qm):
    fut = dict(code="TXFR1", market="Future")
    qm.add_tick(tick(datetime(2024, 1, 5, 23, 58, 0), **fut))  # Friday night
    qm.add_tick(tick(datetime(2024, 1, 8, 8, 46, 0), **fut))  # Monday morning
    got = virtual_times(qm, "TXFR1")
    start = datetime(2024, 1, 5, 23, 59)
    minutes = int((datetime(2024, 1, 6, 5, 0) - start).total_seconds() // 60)
    night = [start + timedelta(minutes=i) for i in range(minutes)]
    assert got == night + [datetime(2024, 1, 8, 8, 45)]


def test_futures_day_to_night_gap_skips_the_break(qm):
    fut = dict(code="TXFR1", market="Future")
    qm.add_tick(tick(datetime(2024, 1, 2, 13, 43, 0), **fut))
    qm.add_tick(tick(datetime(2024, 1, 2, 15, 1, 0), **fut))
    assert virtual_times(qm, "TXFR1") == [datetime(2024, 1, 2, 13, 44), datetime(2024, 1, 2, 15, 0)]


def test_drains_return_ticks_once_and_old_ticks_stay(qm):
    qm.add_tick(tick(datetime(2024, 1, 2, 9, 0, 2), close=10.0))
    qm.add_tick(tick(datetime(2024, 1, 2, 9, 0, 1), close=11.0))  # earlier time, later arrival
    first = qm.poped_tick_to_df("2330")
    assert first.schema == pl.Schema(SCHEMA)
    assert first["close"].to_list() == [11.0, 10.0]
    second = qm.poped_tick_to_df("2330")
    assert second.is_empty() and second.schema == pl.Schema(SCHEMA)
    assert qm.poped_old_ticks_to_df("2330")["close"].to_list() == [11.0, 10.0]
    assert qm.poped_old_ticks_to_df("2330")["close"].to_list() == [11.0, 10.0]
    for df in (qm.poped_tick_to_df("nope"), qm.poped_old_ticks_to_df("nope")):
        assert df.is_empty() and df.schema == pl.Schema(SCHEMA)


def test_ticks_view_shape_and_clear(qm):
    qm.add_tick(tick(datetime(2024, 1, 2, 9, 0, 2), close=10.0, qty=5, tick_type=2))
    qm.poped_tick_to_df("2330")
    qm.add_tick(tick(datetime(2024, 1, 2, 9, 0, 40), close=10.5, is_simulate=True))
    entry = qm.ticks["2330"]
    record = {"dt": datetime(2024, 1, 2, 9, 0, 2), "market_type": "Stock", "code": "2330", "close": 10.0,
              "qty": 5, "tick_type": 2, "is_simulate": False, "is_virtual": False}
    assert entry["old_ticks"] == [record]
    assert [t["close"] for t in entry["ticks"]] == [10.5]
    assert entry["last_tick"]["is_simulate"] is True
    assert entry["cached_kbars"] == {}
    qm.get_kbar("2330", "m", 5)
    assert list(qm.ticks["2330"]["cached_kbars"]) == ["5m"]
    qm.clear_ticks()
    assert qm.ticks == {}
    assert qm.get_kbar("2330").is_empty()


def test_microseconds_and_exchange_clock(qm):
    qm.add_tick(tick(datetime(2024, 1, 2, 9, 0, 2, 250000)))
    assert qm.poped_tick_to_df("2330")["dt"].to_list() == [datetime(2024, 1, 2, 9, 0, 2, 250000)]


@pytest.mark.parametrize("missing", ["timestamp", "market_type", "code", "close", "qty", "tick_type", "is_simulate"])
def test_missing_key_fails(qm, missing):
    record = tick(datetime(2024, 1, 2, 9, 0, 2))
    del record[missing]
    with pytest.raises(KeyError):
        qm.add_tick(record)


def test_reassigned_holidays_are_used(qm):
    qm.holiday_search_set = qm.holiday_search_set | {"2024-01-03"}
    qm.add_tick(tick(datetime(2024, 1, 2, 13, 29, 0)))
    qm.add_tick(tick(datetime(2024, 1, 4, 9, 1, 0)))
    assert virtual_times(qm) == [datetime(2024, 1, 4, 9, 0)]


def test_unknown_market_type_fails(qm):
    with pytest.raises(ValueError, match="'market_type'"):
        qm.add_tick(tick(datetime(2024, 1, 2, 9, 0, 2), market="Option"))
    assert qm.ticks == {}
