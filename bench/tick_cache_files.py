"""Writes synthetic per-day tick files for the benchmarks: tick cache files, or the file broker's own layout."""

from __future__ import annotations

import calendar
import os
from datetime import date, timedelta

import numpy as np
import polars as pl

from vorn_kest_backtest.modules.market.market import TradingCalendar
from vorn_kest_backtest.modules.ticker.ticker import Ticker


def day_ticks(rng: np.random.Generator, day: date, ticks_per_day: int) -> pl.DataFrame:
    """One stock day of random ticks from 09:00, in the tick cache's eight columns."""
    open_ns = calendar.timegm((day.year, day.month, day.day, 9, 0, 0)) * 10**9
    ts = open_ns + np.sort(rng.integers(0, 4 * 3600 * 10**9, ticks_per_day))
    close = np.round(600 + np.cumsum(rng.choice([-1.0, 0.0, 1.0], ticks_per_day)), 1)
    return pl.DataFrame(
        {
            "ts": ts,
            "close": close,
            "volume": rng.integers(1, 50, ticks_per_day),
            "bid_price": close - 1.0,
            "bid_volume": rng.integers(1, 50, ticks_per_day),
            "ask_price": close + 1.0,
            "ask_volume": rng.integers(1, 50, ticks_per_day),
            "tick_type": rng.integers(0, 3, ticks_per_day),
        },
        schema=Ticker(None).tick_df_schema,
    )


def write_cache_days(data_dir: str, code: str, first: date, days: int, ticks_per_day: int, seed: int = 7) -> list[str]:
    """One cache file per day under <data_dir>/kest/ticks; returns the day texts."""
    folder = os.path.join(data_dir, "kest", "ticks")
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(seed)
    texts = []
    for i in range(days):
        day = first + timedelta(days=i)
        text = day.strftime("%Y-%m-%d")
        day_ticks(rng, day, ticks_per_day).write_csv(os.path.join(folder, f"{code} {text} - ticks.csv"))
        texts.append(text)
    return texts


def write_user_days(folder: str, code: str, first: date, days: int, ticks_per_day: int, kind: str = "csv",
                    seed: int = 7) -> tuple[list[str], list[str]]:
    """"<code>/<day>.<kind>" for `days` trading days from `first` (the file broker's layout); the day texts and
    the paths, in date order."""
    trading = TradingCalendar()
    os.makedirs(os.path.join(folder, code), exist_ok=True)
    rng = np.random.default_rng(seed)
    texts: list[str] = []
    paths: list[str] = []
    day = first
    while len(texts) < days:
        if trading.is_trading_day(day):
            path = os.path.join(folder, code, f"{day.isoformat()}.{kind}")
            frame = day_ticks(rng, day, ticks_per_day)
            frame.write_parquet(path) if kind == "parquet" else frame.write_csv(path)
            texts.append(day.isoformat())
            paths.append(path)
        day += timedelta(days=1)
    return texts, paths
