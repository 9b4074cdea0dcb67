"""A combined frame as the typed columns the replay engine takes: numbers, a code index and the codes' markets."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, NamedTuple

import numpy as np
import polars as pl


class TickColumns(NamedTuple):
    codes: list[str]
    markets: list[str]
    ts: np.ndarray
    code_index: np.ndarray
    close: np.ndarray
    volume: np.ndarray
    tick_type: np.ndarray
    bid_price: np.ndarray
    ask_price: np.ndarray
    bid_volume: np.ndarray
    ask_volume: np.ndarray


def _quote(frame: pl.DataFrame, name: str) -> pl.Expr:
    """A quote price, NaN where it is missing or not a price."""
    if name not in frame.columns:
        return pl.lit(float("nan"), dtype=pl.Float64).alias(name)
    price = pl.col(name).cast(pl.Float64, strict=False)
    return pl.when(price > 0).then(price).otherwise(float("nan")).alias(name)


def _size(frame: pl.DataFrame, name: str) -> pl.Expr:
    """A quoted size, 0 where it is missing."""
    if name not in frame.columns:
        return pl.lit(0, dtype=pl.Int64).alias(name)
    return pl.col(name).cast(pl.Int64, strict=False).fill_null(0).clip(lower_bound=0).alias(name)


def columns_of(frame: pl.DataFrame, code_market_map: Mapping[Any, Any]) -> TickColumns:
    """The replayed columns of a combined frame; markets come from code_market_map. A null is refused
    (ValueError), never made up (1970, qty 0)."""
    rows = frame.height
    for name in ("ts", "close", "volume", "tick_type", "code"):
        column = frame[name]
        if column.null_count():
            raise ValueError(f"Tick 資料表欄位 {name} 第 {column.is_null().arg_max() + 1} 筆為空值, 無法回放")  # type: ignore[operator]
    code = frame["code"]
    # One code (a replay of one instrument) needs no lookup per tick.
    one_code = rows == 0 or bool((code == code[0]).all())
    codes = ([code[0]] if rows else []) if one_code else code.unique(maintain_order=True).to_list()
    for name in codes:
        if name not in code_market_map:
            raise ValueError(f"代碼沒有市場類型 (code_market_map 未列出): {name!r}")
    index_of = pl.col("code").replace_strict(codes, list(range(len(codes))), return_dtype=pl.UInt32).alias("index")
    numbers = frame.lazy().select(
        pl.col("ts").cast(pl.Int64), pl.col("close").cast(pl.Float64), pl.col("volume").cast(pl.Int64),
        pl.col("tick_type").cast(pl.Int64), _quote(frame, "bid_price"), _quote(frame, "ask_price"),
        _size(frame, "bid_volume"), _size(frame, "ask_volume"),
        *([] if one_code else [index_of]),
    ).collect()
    index = np.zeros(rows, dtype=np.uint32) if one_code else numbers["index"].to_numpy()
    return TickColumns(
        [str(c) for c in codes], [str(code_market_map[c]) for c in codes], numbers["ts"].to_numpy(), index,
        numbers["close"].to_numpy(), numbers["volume"].to_numpy(), numbers["tick_type"].to_numpy(),
        numbers["bid_price"].to_numpy(), numbers["ask_price"].to_numpy(), numbers["bid_volume"].to_numpy(),
        numbers["ask_volume"].to_numpy())
