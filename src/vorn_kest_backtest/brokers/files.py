"""A broker stand-in that serves the user's own per-day tick files, for backtests without a broker account.

Accepted files in the folder, one per code and calendar day:
- "<code> <YYYY-MM-DD> - ticks.csv" (the toolkit's own cache naming, so a cache folder can be served back);
- "<code>/<YYYY-MM-DD>.csv" and "<code>/<YYYY-MM-DD>.parquet".

Each needs the eight tick columns (extra columns are ignored). `ts` is the exchange wall clock written as if it
were UTC, either as integer nanoseconds or as a date-time ("%Y-%m-%d %H:%M:%S[.%f]"; a Parquet date-time column
with a time zone is first turned into Taipei wall clock).

Market of a code: the `markets` argument (code -> "Stock" or "Future") when it names the code; otherwise a code
starting with a digit is a stock (2330, 0050, 00878) and any other a future (TXFR1, MXFC4).
"""

from __future__ import annotations

import os
import re
from collections.abc import Mapping

import polars as pl

from vorn_kest_backtest.brokers.columns import TICK_COLUMNS, empty_ticks, parse_day
from vorn_kest_backtest.brokers.contracts import FUTURE, STOCK, Contract, Contracts

CACHE_NAME = re.compile(r"^(?P<code>[^ /\\]+) (?P<day>\d{4}-\d{2}-\d{2}) - ticks\.csv$")
DAY_FILE = re.compile(r"^\d{4}-\d{2}-\d{2}\.(csv|parquet)$")

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
EXCHANGE_ZONE = "Asia/Taipei"
DATETIME_FORMATS = ("%Y-%m-%d %H:%M:%S%.f", "%Y-%m-%d %H:%M:%S")


def market_by_rule(code: str) -> str:
    return STOCK if code[:1].isdigit() else FUTURE


class FileBroker:
    """檔案券商: 從使用者自己的每日 Tick 檔 (CSV 或 Parquet) 提供歷史 Tick, 不需登入.

    `folder`: 資料夾; `markets`: 代碼 -> "Stock" / "Future", 未列出的代碼以數字開頭者為股票, 其餘為期貨.
    沒有檔案的日子回傳空欄位; 檔案內容錯誤時丟出 ValueError, 訊息帶出檔名與問題.
    """

    def __init__(self, folder: str | os.PathLike[str], markets: Mapping[str, str] | None = None) -> None:
        self.folder = os.fspath(folder)
        if not os.path.isdir(self.folder):
            raise ValueError(f"資料夾不存在: {self.folder}")
        markets = dict(markets or {})
        for code, market in markets.items():
            if market not in (STOCK, FUTURE):
                raise ValueError(f"不支援的商品類型: {code} {market!r}")
        self.Contracts = Contracts(
            [Contract(code, markets.get(code) or market_by_rule(code)) for code in self._codes_found()]
        )

    def __repr__(self) -> str:
        return f"FileBroker({self.folder!r})"

    def _codes_found(self) -> list[str]:
        codes = set()
        for entry in os.scandir(self.folder):
            if entry.is_file() and (match := CACHE_NAME.match(entry.name)):
                codes.add(match["code"])
            elif entry.is_dir() and any(DAY_FILE.match(name) for name in os.listdir(entry.path)):
                codes.add(entry.name)
        return sorted(codes)

    def ticks(self, contract: Contract, date: str) -> dict[str, list]:
        """回傳該商品在該日的 Tick, 八個欄位各為一個 list; 該日沒有檔案時回傳空 list."""
        self.Contracts.table_of(contract)
        day = parse_day(date).isoformat()
        candidates = [
            os.path.join(self.folder, f"{contract.code} {day} - ticks.csv"),
            os.path.join(self.folder, contract.code, f"{day}.csv"),
            os.path.join(self.folder, contract.code, f"{day}.parquet"),
        ]
        present = [path for path in candidates if os.path.isfile(path)]
        if not present:
            return empty_ticks()
        if len(present) > 1:
            raise ValueError(f"同一天有多個 Tick 檔, 無法決定使用哪一個: {', '.join(present)}")
        frame = read_tick_file(present[0])
        return {name: frame[name].to_list() for name in TICK_COLUMNS}


def read_tick_file(path: str) -> pl.DataFrame:
    """The eight columns of one tick file with the toolkit's dtypes; ValueError naming the file otherwise."""
    try:
        frame = pl.read_parquet(path) if path.endswith(".parquet") else pl.read_csv(path, infer_schema=False)
    except Exception as error:
        raise ValueError(f"無法讀取 Tick 檔 {path}: {error}") from None
    missing = [name for name in TICK_COLUMNS if name not in frame.columns]
    if missing:
        raise ValueError(f"Tick 檔 {path} 缺少欄位: {', '.join(missing)}")
    return pl.DataFrame([_typed_column(path, frame[name]) for name in TICK_COLUMNS])


def _typed_column(path: str, column: pl.Series) -> pl.Series:
    target = TICK_DTYPES[column.name]
    source = column.str.strip_chars() if column.dtype == pl.String else column
    typed = (_wall_clock_ns(source) if column.name == "ts" else source).cast(target, strict=False)
    bad = typed.is_null()
    if target == pl.Float64:
        bad = bad | typed.is_nan()
    elif source.dtype.is_float():
        bad = bad | (source != source.round())
    if bad.any():
        row = int(bad.arg_max() or 0)
        raise ValueError(
            f"Tick 檔 {path} 欄位 {column.name} 第 {row + 1} 筆資料無法解析為 {target}: {column[row]!r}"
        )
    return typed


def _wall_clock_ns(column: pl.Series) -> pl.Series:
    """`ts` as integer nanoseconds of the wall clock; date-time text and Parquet date-times are converted."""
    if column.dtype == pl.String:
        as_int = column.cast(pl.Int64, strict=False)
        if as_int.null_count() == column.null_count():
            return as_int
        parsed = [column.str.to_datetime(f, time_unit="ns", strict=False).dt.epoch("ns") for f in DATETIME_FORMATS]
        return pl.select(pl.coalesce([as_int, *parsed])).to_series().rename("ts")
    if isinstance(column.dtype, pl.Datetime):
        if column.dtype.time_zone is not None:
            column = column.dt.convert_time_zone(EXCHANGE_ZONE).dt.replace_time_zone(None)
        return column.dt.cast_time_unit("ns").dt.epoch("ns").rename("ts")
    return column
