"""A broker stand-in that serves history ticks from a folder of per-day tick CSV files."""

from __future__ import annotations

import os
from types import SimpleNamespace

import polars as pl

TICK_COLUMNS = {
    "ts": pl.Int64,
    "close": pl.Float64,
    "volume": pl.Int64,
    "bid_price": pl.Float64,
    "bid_volume": pl.Int64,
    "ask_price": pl.Float64,
    "ask_volume": pl.Int64,
    "tick_type": pl.Int64,
}


class TickColumns(dict):
    """Column name -> values; readable as a mapping and through attributes, as broker tick objects are."""

    def __init__(self, columns: dict[str, list]) -> None:
        super().__init__(columns)
        self.__dict__.update(columns)


class _ContractTable:
    def __init__(self, known: set[str]) -> None:
        self._known = known

    def __getitem__(self, code: str) -> SimpleNamespace:
        if code not in self._known:
            raise KeyError(code)
        return SimpleNamespace(code=code)


class FileBroker:
    """讀取資料夾中 "<代碼> <YYYY-MM-DD> - ticks.csv" 檔案 (欄位 ts, close, volume, bid_price, bid_volume,
    ask_price, ask_volume, tick_type) 的券商替代品."""

    def __init__(self, folder: str) -> None:
        self.folder = folder
        codes = {name.split(" ", 1)[0] for name in os.listdir(folder) if name.endswith(" - ticks.csv")}
        table = _ContractTable(codes)
        self.Contracts = SimpleNamespace(Stocks=table, Futures=table)

    def ticks(self, contract, date: str) -> TickColumns:
        path = os.path.join(self.folder, f"{contract.code} {date} - ticks.csv")
        if not os.path.exists(path):
            return TickColumns({name: [] for name in TICK_COLUMNS})
        df = pl.read_csv(path, schema_overrides=TICK_COLUMNS).select(list(TICK_COLUMNS))
        return TickColumns(df.to_dict(as_series=False))
