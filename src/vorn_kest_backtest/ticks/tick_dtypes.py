"""The polars types of the eight tick columns (`ts` as integer nanoseconds of the exchange wall clock)."""

from __future__ import annotations

import polars as pl

TICK_DTYPES = {
    "ts": pl.Int64,
    "close": pl.Float64,
    "volume": pl.Int64,
    "bid_price": pl.Float64,
    "bid_volume": pl.Int64,
    "ask_price": pl.Float64,
    "ask_volume": pl.Int64,
    "tick_type": pl.Int64,
}
