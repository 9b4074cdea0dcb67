"""策略看到的 K 棒: 收盤事件的單根 K 棒, 以及不複製的 K 棒序列."""

from __future__ import annotations

from datetime import datetime, timedelta
from typing import NamedTuple

import numpy as np
import polars as pl

_EPOCH = datetime(1970, 1, 1)
_new_tuple = tuple.__new__


class Bar(NamedTuple):
    """一根已收盤的 K 棒 (dt 為 K 棒起點, 交易所當地時間); 數值與 get_kbar 的同一列相同."""

    code: str
    unit: str
    freq: int
    dt: datetime
    open: float
    high: float
    low: float
    close: float
    volume: int

    @classmethod
    def from_row(cls, row: tuple) -> Bar:
        code, unit, freq, start_us, open_, high, low, close, volume = row
        # Made once per closed bar: tuple.__new__ and a positional timedelta skip the keyword handling.
        return _new_tuple(cls, (code, unit, freq, _EPOCH + timedelta(0, 0, start_us), open_, high, low, close,
                                volume))


class BarSeries:
    """一個商品一種週期的 K 棒欄位: 唯讀 numpy 檢視, 直接指向 C++ 的 K 棒儲存. 保留的檢視一直有效: 列數固定,
    已收盤的 K 棒不變, 尚未收盤的最後一根隨 tick 更新至收盤為止.

    最後一根可能尚未收盤 (與 get_kbar 相同的列). `to_polars()` 複製成 DataFrame.
    """

    __slots__ = ("code", "dt", "open", "high", "low", "close", "volume")

    def __init__(self, code: str, arrays: tuple[np.ndarray, ...]) -> None:
        start, self.open, self.high, self.low, self.close, self.volume = arrays
        self.code = code
        self.dt = start.view("datetime64[us]")

    def __len__(self) -> int:
        return len(self.dt)

    def to_polars(self) -> pl.DataFrame:
        """K 棒資料表 (dt, code, Open, High, Low, Close, Volume), 為複本."""
        return pl.DataFrame(
            {
                "dt": self.dt.copy(),
                "code": pl.repeat(self.code, len(self), eager=True, dtype=pl.Utf8),
                "Open": self.open.copy(),
                "High": self.high.copy(),
                "Low": self.low.copy(),
                "Close": self.close.copy(),
                "Volume": self.volume.copy(),
            },
            schema={"dt": pl.Datetime("us"), "code": pl.Utf8, "Open": pl.Float64, "High": pl.Float64,
                    "Low": pl.Float64, "Close": pl.Float64, "Volume": pl.Int64},
        )
