from datetime import datetime

import pandas as pd
import polars as pl
import pytest
from polars.testing import assert_frame_equal
from quote_ticks import tick

from vorn_kest_backtest.modules.positions.positions import QuoteManager

KBAR_SCHEMA = pl.Schema([("dt", pl.Datetime("us")), ("code", pl.Utf8()), ("Open", pl.Float64()), ("High", pl.Float64()),
                         ("Low", pl.Float64()), ("Close", pl.Float64()), ("Volume", pl.Int64())])


@pytest.fixture
def qm():
    q = QuoteManager()
    for second, close, qty in [(1, 10.0, 1), (20, 12.0, 2), (50, 9.0, 3)]:
        q.add_tick(tick(datetime(2024, 1, 2, 9, 0, second), close=close, qty=qty))
    q.add_tick(tick(datetime(2024, 1, 2, 9, 1, 10), close=11.0, qty=4))
    return q


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(code=2330, unit="x", freq="1", exprs=1), "'code' must be a string"),
        (dict(code="2330", unit="x", freq="1", exprs=1), "'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']"),
        (dict(code="2330", unit=None, freq=1), "'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']"),
        (dict(code="2330", unit="m", freq="1", exprs=1), "'freq' must be an integer"),
        (dict(code="2330", unit="m", freq=1.0), "'freq' must be an integer"),
        (dict(code="2330", unit="m", freq=1, exprs=pl.col("Close")), "'exprs' must be a list"),
    ],
)
def test_argument_checks_in_order(qm, kwargs, message):
    with pytest.raises(TypeError) as err:
        qm.get_kbar(**kwargs)
    assert str(err.value) == message


def test_defaults_and_values(qm):
    df = qm.get_kbar("2330")
    assert df.schema == KBAR_SCHEMA
    assert df.rows() == [
        (datetime(2024, 1, 2, 9, 0), "2330", 10.0, 12.0, 9.0, 9.0, 6),
        (datetime(2024, 1, 2, 9, 1), "2330", 11.0, 11.0, 11.0, 11.0, 4),
    ]


def test_unknown_code_gives_empty_bars(qm):
    df = qm.get_kbar("0050", "m", 5)
    assert df.is_empty() and df.schema == KBAR_SCHEMA
    assert isinstance(qm.get_kbar("0050", to_pandas_df=True), pd.DataFrame)


def test_exprs_and_pandas(qm):
    got = qm.get_kbar("2330", exprs=[(pl.col("Close") - pl.col("Open")).alias("body")], to_pandas_df=True)
    assert isinstance(got, pd.DataFrame)
    assert list(got.columns) == list(KBAR_SCHEMA) + ["body"]
    assert got["body"].tolist() == [-1.0, 0.0]
    assert qm.get_kbar("2330", exprs=[]).columns == list(KBAR_SCHEMA)


def test_repeated_calls_stable_and_only_last_bar_changes(qm):
    first = qm.get_kbar("2330")
    assert_frame_equal(qm.get_kbar("2330"), first)
    qm.add_tick(tick(datetime(2024, 1, 2, 9, 1, 30), close=13.0, qty=5))
    qm.add_tick(tick(datetime(2024, 1, 2, 9, 1, 40), close=8.0, qty=1))
    after = qm.get_kbar("2330")
    assert_frame_equal(after.head(1), first.head(1))
    assert after.row(1) == (datetime(2024, 1, 2, 9, 1), "2330", 11.0, 13.0, 8.0, 8.0, 10)
    assert_frame_equal(qm.get_kbar("2330"), after)


def test_old_and_simulated_ticks_leave_cached_bars(qm):
    before = qm.get_kbar("2330")
    qm.add_tick(tick(datetime(2024, 1, 2, 9, 0, 55), close=99.0, qty=9))  # bar before the newest one
    qm.add_tick(tick(datetime(2024, 1, 2, 9, 1, 50), close=1.0, qty=9, is_simulate=True))
    assert_frame_equal(qm.get_kbar("2330"), before)


def test_simulated_ticks_stay_out_of_a_first_build():
    q = QuoteManager()
    q.add_tick(tick(datetime(2024, 1, 2, 8, 59, 0), close=50.0, qty=7, is_simulate=True))
    q.add_tick(tick(datetime(2024, 1, 2, 9, 0, 5), close=10.0, qty=1))
    assert q.get_kbar("2330").rows() == [(datetime(2024, 1, 2, 9, 0), "2330", 10.0, 10.0, 10.0, 10.0, 1)]


def test_lengths_cached_apart_and_none_loses_ticks(qm):
    one = qm.get_kbar("2330", "m", 1)
    assert qm.get_kbar("2330", "m", 5).rows() == [(datetime(2024, 1, 2, 9, 0), "2330", 10.0, 12.0, 9.0, 11.0, 10)]
    qm.add_tick(tick(datetime(2024, 1, 2, 9, 2, 5), close=14.0, qty=2))
    five = qm.get_kbar("2330", "m", 5)
    assert five["Volume"].to_list() == [12]
    one = qm.get_kbar("2330", "m", 1)
    assert one["Volume"].to_list() == [6, 4, 2]
    assert one["Close"].to_list()[-1] == 14.0
    assert set(qm.ticks["2330"]["cached_kbars"]) == {"1m", "5m"}


def test_aggregate_kbar_groups_by_kbar_time_and_code(qm):
    ticks = qm.poped_tick_to_df("2330").with_columns(kbar_time=pl.col("dt").dt.truncate("1m"))
    assert_frame_equal(qm.aggregate_kbar(ticks), qm.get_kbar("2330"))


def test_non_positive_freq_is_refused(qm):
    with pytest.raises(ValueError, match="'freq' must be a positive integer"):
        qm.get_kbar("2330", "m", 0)


def test_close_is_the_last_of_ticks_sharing_the_latest_time():
    q = QuoteManager()
    q.add_tick(tick(datetime(2024, 1, 2, 9, 0, 5), close=10.0))
    q.add_tick(tick(datetime(2024, 1, 2, 9, 0, 30), close=11.0))
    q.add_tick(tick(datetime(2024, 1, 2, 9, 0, 30), close=12.0))
    assert q.get_kbar("2330")["Close"].to_list() == [12.0]
