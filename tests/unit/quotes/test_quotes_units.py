"""Every bar unit against an independent polars group-by over the same ticks, in one build and incrementally."""

import random
from datetime import date, datetime, timedelta

import polars as pl
import pytest
from polars.testing import assert_frame_equal
from quote_ticks import tick

from vorn_kest_backtest.modules.market.market import holiday_table_path
from vorn_kest_backtest.modules.positions.positions import QuoteManager

HOUR_US = 3_600_000_000


def open_windows(day: date, market: str) -> list[tuple[datetime, datetime]]:
    base = datetime(day.year, day.month, day.day)
    if market == "Stock":
        return [(base + timedelta(hours=9), base + timedelta(hours=13, minutes=30))]
    return [(base + timedelta(hours=8, minutes=45), base + timedelta(hours=13, minutes=45)),
            (base + timedelta(hours=15), base + timedelta(hours=29))]


def make_stream(market: str, code: str, holidays: set[str]) -> list[dict]:
    rng = random.Random(7)
    ticks, price = [], 100.0
    day = date(2024, 1, 2)
    while day < date(2024, 7, 31):
        if day.weekday() < 5 and day.isoformat() not in holidays:
            for start, end in open_windows(day, market):
                span = int((end - start).total_seconds())
                for offset in sorted(rng.sample(range(span), 12)):
                    price += rng.choice((-0.5, 0.0, 0.5))
                    ticks.append(tick(start + timedelta(seconds=offset), close=price, qty=rng.randint(1, 9),
                                      code=code, market=market, is_simulate=rng.random() < 0.05))
        day += timedelta(days=1)
    return ticks


def next_trading(day: date, holidays: set[str]) -> date:
    day += timedelta(days=1)
    while day.weekday() >= 5 or day.isoformat() in holidays:
        day += timedelta(days=1)
    return day


def reference_bars(tick_df: pl.DataFrame, market: str, unit: str, freq: int, holidays: set[str]) -> pl.DataFrame:
    df = tick_df.filter(~pl.col("is_simulate"))
    dt, tod = pl.col("dt"), pl.col("dt").dt.time()
    if unit == "h":
        midnight = dt.dt.truncate("1d")
        if market == "Stock":
            anchor = midnight + pl.duration(hours=9)
        else:
            anchor = (pl.when(tod >= pl.time(15)).then(midnight + pl.duration(hours=15))
                      .when(tod < pl.time(5)).then(midnight - pl.duration(hours=9))
                      .otherwise(midnight + pl.duration(hours=8, minutes=45)))
        step = freq * HOUR_US
        offset = (dt.cast(pl.Int64) - anchor.cast(pl.Int64)) // step * step
        kbar_time = (anchor.cast(pl.Int64) + offset).cast(pl.Datetime("us"))
    elif unit == "d" and market == "Future":
        days = df["dt"].dt.date().unique().to_list()
        shift = {d: next_trading(d, holidays) for d in days}
        shift_back = {d: next_trading(d - timedelta(days=1), holidays) for d in days}
        trading = (pl.when(tod >= pl.time(15)).then(dt.dt.date().replace_strict(shift, return_dtype=pl.Date))
                   .when(tod < pl.time(5)).then(dt.dt.date().replace_strict(shift_back, return_dtype=pl.Date))
                   .otherwise(dt.dt.date()))
        kbar_time = trading.cast(pl.Datetime("us")).dt.truncate(f"{freq}d")
    else:
        kbar_time = dt.dt.truncate(f"{freq}{unit}")
    return (
        df.with_columns(kbar_time=kbar_time)
        .group_by("kbar_time", "code", maintain_order=True)
        .agg(Open=pl.col("close").first(), High=pl.col("close").max(), Low=pl.col("close").min(),
             Close=pl.col("close").last(), Volume=pl.col("qty").sum())
        .rename({"kbar_time": "dt"})
        .sort("dt")
    )


@pytest.fixture(scope="module")
def holidays():
    return set(pl.read_csv(holiday_table_path())["Date"].cast(pl.Utf8).to_list())


@pytest.fixture(scope="module", params=[("Stock", "2330"), ("Future", "TXFR1")], ids=["stock", "future"])
def stream(request, holidays):
    market, code = request.param
    return market, code, make_stream(market, code, holidays)


@pytest.mark.parametrize("unit, freq", [("m", 1), ("m", 5), ("h", 1), ("h", 2), ("d", 1), ("d", 3), ("w", 1),
                                        ("w", 2), ("mo", 1), ("mo", 2), ("q", 1), ("y", 1)])
def test_unit_matches_reference(stream, holidays, unit, freq):
    market, code, ticks = stream
    whole, growing = QuoteManager(), QuoteManager()
    half = len(ticks) // 2
    for record in ticks:
        whole.add_tick(record)
    for record in ticks[:half]:
        growing.add_tick(record)
    growing.get_kbar(code, unit, freq)
    for i, record in enumerate(ticks[half:]):
        growing.add_tick(record)
        if i % 997 == 0:
            growing.get_kbar(code, unit, freq)
    got = whole.get_kbar(code, unit, freq)
    expected = reference_bars(whole.poped_old_ticks_to_df(code), market, unit, freq, holidays)
    assert_frame_equal(got, expected)
    assert_frame_equal(growing.get_kbar(code, unit, freq), expected)
