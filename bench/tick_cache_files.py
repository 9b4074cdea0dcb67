"""Writes synthetic per-day tick cache files for the benchmarks (no broker needed)."""

from __future__ import annotations

import calendar
import os
from datetime import date, timedelta

import numpy as np
import polars as pl

from vorn_kest_backtest.modules.ticker.ticker import Ticker


def write_cache_days(data_dir: str, code: str, first: date, days: int, ticks_per_day: int, seed: int = 7) -> list[str]:
    """One cache file per day under <data_dir>/kest/ticks; returns the day texts."""
    folder = os.path.join(data_dir, "kest", "ticks")
    os.makedirs(folder, exist_ok=True)
    schema = Ticker(None).tick_df_schema
    rng = np.random.default_rng(seed)
    texts = []
    for i in range(days):
        day = first + timedelta(days=i)
        text = day.strftime("%Y-%m-%d")
        open_ns = calendar.timegm((day.year, day.month, day.day, 9, 0, 0)) * 10**9
        ts = open_ns + np.sort(rng.integers(0, 4 * 3600 * 10**9, ticks_per_day))
        close = np.round(600 + np.cumsum(rng.choice([-1.0, 0.0, 1.0], ticks_per_day)), 1)
        frame = pl.DataFrame(
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
            schema=schema,
        )
        frame.write_csv(os.path.join(folder, f"{code} {text} - ticks.csv"))
        texts.append(text)
    return texts
