"""Polars tables of the quote manager: tick and k-bar schemas, frames over C++ columns, the group-by."""

from __future__ import annotations

from datetime import datetime, timedelta

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


# Past this many new closed bars, one new frame is cheaper than appended rows.
_ROW_APPEND_LIMIT = 32

_EPOCH = datetime(1970, 1, 1)
# Column names alone: polars infers KBAR_SCHEMA's types from the row values (vstack would refuse any
# other) and makes the frame about twice as fast as with the types given.
_KBAR_NAMES = list(KBAR_SCHEMA)


def bar_frame(code: str, columns: tuple[np.ndarray, ...]) -> pl.DataFrame:
    """K-bar table of all the bars in `columns`, read-only views of a cache's columns, copied: a view's
    newest row follows its bar."""
    return kbar_frame(code, *(np.array(column) for column in columns))


class KbarFrames:
    """Frames handed out for one code's k-bar cache: the closed bars grow by appended rows, the newest bar
    is made anew; chunks are merged now and then."""

    __slots__ = ("closed", "closed_rows", "code", "full", "rewrites")

    def __init__(self, code: str) -> None:
        self.code = code
        self.closed: pl.DataFrame | None = None  # bars [0, closed_rows)
        self.closed_rows = 0
        self.full = empty_kbar_df()
        self.rewrites = -1

    def update(self, columns: tuple[np.ndarray, ...], rewrites: int) -> pl.DataFrame:
        """The frame of the cache's bars now, given read-only views of its columns (dt in epoch microseconds);
        `rewrites` changes whenever bars already made change."""
        n = len(columns[0])
        first = self.closed_rows
        if n == 0:
            self.full = empty_kbar_df()
            self.closed = None
        elif self.closed is None or rewrites != self.rewrites or first > n - 1 or n - 1 - first > _ROW_APPEND_LIMIT:
            self.full = bar_frame(self.code, columns)
            self.closed = self.full.slice(0, n - 1)
        else:
            # A few rows: a frame of rows is made faster than one of arrays.
            start, open_, high, low, close, volume = (column[first:].tolist() for column in columns)
            code = self.code
            rows = [
                (_EPOCH + timedelta(microseconds=us), code, open_[i], high[i], low[i], close[i], volume[i])
                for i, us in enumerate(start)
            ]
            fresh = pl.DataFrame(rows, schema=_KBAR_NAMES, orient="row")
            last = n - 1 - first
            if last:
                self.closed = self.closed.vstack(fresh.slice(0, last))
                if self.closed.n_chunks() > 8:
                    self.closed = self.closed.rechunk()
                fresh = fresh.slice(last, 1)
            self.full = self.closed.vstack(fresh)
        self.closed_rows = max(n - 1, 0)
        self.rewrites = rewrites
        return self.full


def ticks_info(new: pl.DataFrame, old: pl.DataFrame, cached_kbars: dict[str, pl.DataFrame]) -> dict:
    """One code's entry of QuoteManager.ticks: its ticks not yet and already drained as plain records in
    arrival order, made only when a caller reads `ticks`."""
    ticks = new.to_dicts()
    old_ticks = old.to_dicts()
    held = ticks or old_ticks
    return {
        "ticks": ticks,
        "old_ticks": old_ticks,
        "last_tick": held[-1] if held else None,
        "cached_kbars": cached_kbars,
    }


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
