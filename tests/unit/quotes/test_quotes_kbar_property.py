"""K-bars of QuoteManager against a plain polars group-by of the same tick table."""

from datetime import date, datetime, time, timedelta

import polars as pl
from hypothesis import given, settings
from hypothesis import strategies as st
from polars.testing import assert_frame_equal
from quote_ticks import tick

from vorn_kest_backtest.modules.positions.positions import QuoteManager

LENGTHS = [("m", 1), ("m", 3), ("m", 5), ("h", 1), ("h", 2)]
DAYS = [date(2024, 1, 2) + timedelta(days=i) for i in range(4)]  # Tuesday .. Friday, no holiday

# Open windows per market: (start time, length in seconds) of each day.
WINDOWS = {
    "Stock": [(time(9, 0), 4.5 * 3600)],
    "Future": [(time(8, 45), 5 * 3600), (time(15, 0), 14 * 3600)],
}


def tape(market):
    window = st.sampled_from([(d, w) for d in DAYS for w in WINDOWS[market]])
    moment = st.tuples(window, st.floats(0, 1, exclude_max=True)).map(
        lambda x: datetime.combine(x[0][0], x[0][1][0]) + timedelta(seconds=int(x[0][1][1] * x[1])))
    row = st.tuples(moment, st.integers(90, 110), st.integers(0, 5), st.sampled_from([None] + LENGTHS),
                    st.booleans())
    return st.lists(row, min_size=1, max_size=60)


def reference_bars(ticks: pl.DataFrame, market: str, unit: str, freq: int) -> pl.DataFrame:
    dt = pl.col("dt")
    if unit == "m":
        bucket = dt.dt.truncate(f"{freq}m")
    else:
        day = dt.dt.truncate("1d")
        clock = dt.dt.time()
        if market == "Stock":
            anchor = day + pl.duration(hours=9)
        else:
            anchor = (pl.when(clock >= time(15)).then(day + pl.duration(hours=15))
                      .when(clock < time(5)).then(day - pl.duration(hours=9))
                      .otherwise(day + pl.duration(hours=8, minutes=45)))
        step = freq * 3_600_000_000
        bucket = anchor + pl.duration(microseconds=((dt - anchor).dt.total_microseconds() // step) * step)
    return (
        ticks.with_columns(bucket.alias("kbar_time"))
        .group_by("kbar_time", "code", maintain_order=True)
        .agg(pl.col("close").first().alias("Open"), pl.col("close").max().alias("High"),
             pl.col("close").min().alias("Low"), pl.col("close").last().alias("Close"),
             pl.col("qty").sum().alias("Volume"))
        .rename({"kbar_time": "dt"})
        .sort("dt", maintain_order=True)
    )


@settings(max_examples=40, deadline=None)
@given(st.sampled_from(["Stock", "Future"]).flatmap(lambda m: st.tuples(st.just(m), tape(m))))
def test_kbars_match_a_group_by_of_the_ticks(market_and_rows):
    market, rows = market_and_rows
    q = QuoteManager()
    asked = {("m", 1)}
    previous = None
    for moment, close, qty, ask, same_time in sorted(rows, key=lambda r: r[0]):
        # Ticks sharing a time stamp, as a burst of trades in one second.
        moment = previous if same_time and previous is not None else moment
        previous = moment
        q.add_tick(tick(moment, close=float(close), qty=qty, code="TXFR1", market=market))
        if ask is not None:
            q.get_kbar("TXFR1", *ask)
            asked.add(ask)
    q.poped_tick_to_df("TXFR1")
    ticks = q.poped_old_ticks_to_df("TXFR1")
    for unit, freq in asked:
        assert_frame_equal(q.get_kbar("TXFR1", unit, freq), reference_bars(ticks, market, unit, freq))
