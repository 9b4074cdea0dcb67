"""Polars tables of the quote manager: tick and k-bar schemas, frames over C++ columns, the group-by."""

from __future__ import annotations

import numpy as np
import polars as pl

TICK_SCHEMA: dict[str, pl.DataType | type[pl.DataType]] = {
    "dt": pl.Datetime("us"),
    "market_type": pl.Utf8,
    "code": pl.Utf8,
    "close": pl.Float64,
    "qty": pl.Int64,
    "tick_type": pl.Int8,
    "is_simulate": pl.Boolean,
    "is_virtual": pl.Boolean,
}

KBAR_SCHEMA: dict[str, pl.DataType | type[pl.DataType]] = {
    "dt": pl.Datetime("us"),
    "code": pl.Utf8,
    "Open": pl.Float64,
    "High": pl.Float64,
    "Low": pl.Float64,
    "Close": pl.Float64,
    "Volume": pl.Int64,
}

# Market codes of the C++ buffer.
_MARKETS = {0: "Stock", 1: "Future"}


def empty_tick_df() -> pl.DataFrame:
    return pl.DataFrame(schema=TICK_SCHEMA)


def empty_kbar_df() -> pl.DataFrame:
    return pl.DataFrame(schema=KBAR_SCHEMA)


def tick_frame(
    code: str,
    dt: np.ndarray,
    market: np.ndarray,
    close: np.ndarray,
    qty: np.ndarray,
    tick_type: np.ndarray,
    is_simulate: np.ndarray,
    is_virtual: np.ndarray,
) -> pl.DataFrame:
    """Eight-column tick table over arrays handed over by the C++ buffer (already in row order)."""
    n = len(dt)
    return pl.DataFrame(
        {
            "dt": dt.view("datetime64[us]"),
            "market_type": pl.Series(market).replace_strict(_MARKETS, return_dtype=pl.Utf8),
            "code": pl.repeat(code, n, eager=True, dtype=pl.Utf8),
            "close": close,
            "qty": qty,
            "tick_type": tick_type,
            "is_simulate": is_simulate,
            "is_virtual": is_virtual,
        },
        schema=TICK_SCHEMA,
    )


def kbar_frame(
    code: str,
    start: np.ndarray,
    open_: np.ndarray,
    high: np.ndarray,
    low: np.ndarray,
    close: np.ndarray,
    volume: np.ndarray,
) -> pl.DataFrame:
    return pl.DataFrame(
        {
            "dt": start.view("datetime64[us]"),
            "code": pl.repeat(code, len(start), eager=True, dtype=pl.Utf8),
            "Open": open_,
            "High": high,
            "Low": low,
            "Close": close,
            "Volume": volume,
        },
        schema=KBAR_SCHEMA,
    )


def extend_bars(closed: pl.DataFrame, rows: list[tuple]) -> tuple[pl.DataFrame, pl.DataFrame]:
    """Bars that closed since `closed` was made plus the open bar, as rows (dt in epoch microseconds).

    Returns the new closed bars and all bars; one small frame is made, chunks are merged now and then.
    """
    fresh = pl.DataFrame(rows, schema=KBAR_SCHEMA, orient="row")
    last = len(rows) - 1
    if last:
        closed = closed.vstack(fresh.slice(0, last))
        if closed.n_chunks() > 8:
            closed = closed.rechunk()
    return closed, closed.vstack(fresh.slice(last, 1))


def aggregate_kbar(tick_df: pl.DataFrame) -> pl.DataFrame:
    """依 kbar_time 與 code 分組, 彙總成 K 棒 (dt, code, Open, High, Low, Close, Volume)."""
    return (
        tick_df.group_by(["kbar_time", "code"], maintain_order=True)
        .agg(
            pl.col("close").first().alias("Open"),
            pl.col("close").max().alias("High"),
            pl.col("close").min().alias("Low"),
            pl.col("close").last().alias("Close"),
            pl.col("qty").sum().cast(pl.Int64).alias("Volume"),
        )
        .rename({"kbar_time": "dt"})
        .sort("dt", maintain_order=True)
    )
