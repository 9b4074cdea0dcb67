"""Tick frames: the schema, the broker's answer checked into a frame, the combined order of several codes."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import polars as pl

from vorn_kest_backtest._core import ticker as _native
from vorn_kest_backtest.ticks.tick_dtypes import TICK_DTYPES

# A column a broker's frame may add beside the eight: each tick's row number in the source it names.
SOURCE_ROW_COLUMN = "source_row"
# How the refusals of a bad close say what it should have been and what it was.
TRADE_PRICE_RULE = "成交價必須是大於 0 的有限數值"
# Brokers without a quote (exchange trade files) leave these empty; that is a missing value, not a bad one.
QUOTE_COLUMNS = frozenset({"bid_price", "bid_volume", "ask_price", "ask_volume"})


def tick_schema() -> pl.Schema:
    return pl.Schema(TICK_DTYPES)


def empty_frame(schema: pl.Schema) -> pl.DataFrame:
    return pl.DataFrame(schema=schema)


def empty_coded_frame(schema: pl.Schema) -> pl.DataFrame:
    """The schema plus `code` String."""
    return pl.DataFrame(schema={**dict(schema), "code": pl.String})


def with_code(frame: pl.DataFrame, code: Any) -> pl.DataFrame:
    return frame.with_columns(pl.lit(code, dtype=pl.String).alias("code"))


@dataclass
class TickSource:
    """Where the ticks of one day came from, for naming a bad row: the source (`what()`) and, when the broker's
    frame says so (its `source_row` column), each tick's row number there; else tick n is row n."""

    what: Callable[[], str]
    rows: pl.Series | None = None

    def row_text(self, index: int) -> str:
        return str(index + 1) if self.rows is None else str(self.rows[index])


def source_rows_of(ticks: Any) -> pl.Series | None:
    if isinstance(ticks, pl.DataFrame) and SOURCE_ROW_COLUMN in ticks.columns:
        return ticks[SOURCE_ROW_COLUMN]
    return None


def first_bad_row(column: pl.Series) -> int | None:
    """Row of the first null (or NaN, in a float column other than close) of `column`.
    A NaN close is left to the trade-price check, which says what a price must be."""
    nan_is_bad = column.dtype.is_float() and column.name != "close"
    if not nan_is_bad and column.null_count() == 0:
        return None
    bad = column.is_null()
    if nan_is_bad:
        bad = bad | column.is_nan().fill_null(False)
    return bad.arg_max() if bad.any() else None


def _first_unparsable(column: pl.Series, given: Any) -> int | None:
    """Row of the first quote value that was given but could not be cast (a missing one is None)."""
    if isinstance(given, pl.Series):
        lost = column.is_null() & given.is_not_null()
        return lost.arg_max() if lost.any() else None
    for index in column.is_null().arg_true():
        if given[index] is not None:
            return int(index)
    return None


def frame_from_ticks(ticks: Any, schema: pl.Schema, source: TickSource) -> pl.DataFrame:
    """The broker's answer as a frame of the schema: a polars frame (cast column by column) or the SDK's ticks
    object (anything with keys() and __getitem__). A value that does not fit its column raises ValueError naming
    the source, the column, the row and the value."""
    given_frame = isinstance(ticks, pl.DataFrame)
    columns = {name: ticks[name] for name in schema.names()}
    typed = given_frame and all(columns[name].dtype == schema[name] for name in schema.names())
    # strict=False casts ints to floats; what it could not cast comes back null and is refused here.
    frame = ticks.select(schema.names()) if typed else pl.DataFrame(columns, schema=schema, strict=False)
    for name in schema.names():
        if name not in QUOTE_COLUMNS:
            row = first_bad_row(frame[name])
        elif typed:
            continue
        else:
            row = _first_unparsable(frame[name], columns[name])
        if row is not None:
            raise ValueError(f"券商回傳的 Tick 資料無法使用: {source.what()} 欄位 {name} 第 {source.row_text(row)} 筆: "
                             f"{columns[name][row]!r}")
    return frame


def first_bad_price(frame: pl.DataFrame) -> tuple[int, float] | None:
    """A row whose close is no trade price (0, negative, NaN or infinite), with that close."""
    close = frame["close"].fill_null(float("nan")).to_numpy()
    row = _native._first_bad_trade_price(close)
    return None if row is None else (row, float(close[row]))


def refuse_bad_prices(frame: pl.DataFrame, source: TickSource) -> None:
    """A day with a bad close fails here, before any of it is cached or replayed."""
    bad = first_bad_price(frame)
    if bad is not None:
        raise ValueError(f"{source.what()} 第 {source.row_text(bad[0])} 筆: {TRADE_PRICE_RULE}, 實際為 {bad[1]!r}")


def _in_time_order(frames: Sequence[pl.DataFrame]) -> bool:
    """Whether the day frames, each of one code, already follow each other in time: each sorted, each starting
    after the one before ends. The stacked frame is then in (ts, code) order as it is."""
    last_ts: int | None = None
    for frame in frames:
        ts = frame["ts"]
        if not ts.is_sorted() or (last_ts is not None and ts.first() <= last_ts):  # type: ignore[operator]
            return False
        last_ts = ts.last()  # type: ignore[assignment]
    return True


def in_order(frames: Sequence[pl.DataFrame]) -> pl.DataFrame:
    """The frames stacked, as they are when already in (ts, code) order, else sorted so."""
    stacked = frames[0] if len(frames) == 1 else pl.concat(frames, how="vertical")
    if _in_time_order(frames):
        return stacked
    # Stable: ticks of one code at one stamp keep the broker's order.
    return stacked.sort(["ts", "code"], maintain_order=True)
