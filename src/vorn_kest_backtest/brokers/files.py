"""A broker stand-in that serves the user's own per-day tick files, for backtests without a broker account.

Accepted files in the folder, one per code and calendar day:
- "<code> <YYYY-MM-DD> - ticks.csv" (the toolkit's own cache naming, so a cache folder can be served back);
- "<code>/<YYYY-MM-DD>.csv" and "<code>/<YYYY-MM-DD>.parquet".

Columns (extra columns are ignored): `ts`, `close` Float64, `volume` Int64, `bid_price` Float64,
`bid_volume` Int64, `ask_price` Float64, `ask_volume` Int64, `tick_type` Int64 (1 buy, 2 sell, 0 unknown).
`ts` (or a column named `datetime` in its place) is the time of the tick:
- integer nanoseconds of the Taipei wall clock written as if it were UTC (what the toolkit's cache holds);
- date-time text without a zone ("%Y-%m-%d %H:%M:%S[.%f]", also with a "T"), read as Taipei wall clock;
- date-time text with a zone ("...+08:00", "...+00:00", "...Z") or a Parquet date-time with a time zone,
  converted to Taipei wall clock.
A stock day whose ticks mostly fall outside 09:00-13:30 gets a yellow warning: its clock is likely shifted
(a true-UTC `ts` written as integers is eight hours early and cannot be told apart otherwise).

An optional `contract` column (text or integer, e.g. "202403") names the contract month each futures tick
belongs to, so a continuous code such as TXFR1 can hold a real contract: `contract_months` answers it, the
ticks themselves keep their eight columns. Without the column the code is one contract throughout.

Market of a code: the `markets` argument (code -> "Stock" or "Future") when it names the code; otherwise a code
starting with a digit is a stock (2330, 0050, 00878) and any other a future (TXFR1, MXFC4).
"""

from __future__ import annotations

import os
import re
from collections.abc import Mapping

import polars as pl

from vorn_kest_backtest import utils
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
DATETIME_FORMATS = ("%Y-%m-%d %H:%M:%S%.f", "%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S%.f", "%Y-%m-%dT%H:%M:%S")
ZONED_FORMATS = tuple(f"{form}%z" for form in DATETIME_FORMATS)
TIME_COLUMN_ALIAS = "datetime"
CONTRACT_COLUMN = "contract"
STOCK_HOURS_NS = (9 * 3600 * 1_000_000_000, (13 * 3600 + 30 * 60) * 1_000_000_000)
NS_PER_DAY = 86_400 * 1_000_000_000


def market_by_rule(code: str) -> str:
    return STOCK if code[:1].isdigit() else FUTURE


class FileBroker:
    """檔案券商: 從使用者自己的每日 Tick 檔 (CSV 或 Parquet) 提供歷史 Tick, 不需登入.

    `folder`: 資料夾; `markets`: 代碼 -> "Stock" / "Future", 未列出的代碼以數字開頭者為股票, 其餘為期貨.
    沒有檔案的日子回傳空欄位; 檔案內容錯誤時丟出 ValueError, 訊息帶出檔名與問題.
    `tick_source_id`: 資料夾的實際路徑, Tick 快取依此與其他來源分開;
    `tick_source_stamp(contract, date)`: 該日檔案的路徑, 大小與修改時間, 檔案改變後快取會重新讀取.
    `tick_source_name(contract, date)`: 該日檔案的路徑; 某筆 Tick 無法使用時, 錯誤訊息以此指出檔案與第幾筆.
    """

    def __init__(self, folder: str | os.PathLike[str], markets: Mapping[str, str] | None = None) -> None:
        self.folder = os.fspath(folder)
        if not os.path.isdir(self.folder):
            raise ValueError(f"資料夾不存在: {self.folder}")
        self.tick_source_id = "files " + os.path.realpath(self.folder)
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
        present = self._day_files(contract, date)
        if not present:
            return empty_ticks()
        if len(present) > 1:
            raise ValueError(f"同一天有多個 Tick 檔, 無法決定使用哪一個: {', '.join(present)}")
        raw = read_raw_file(present[0])
        frame = tick_columns(present[0], raw)
        if contract.market == STOCK:
            warn_if_outside_stock_hours(present[0], frame)
        else:
            # A bad month fails its day here, with the file named, rather than in the middle of a replay.
            contract_runs(present[0], raw, frame["ts"])
        return {name: frame[name].to_list() for name in TICK_COLUMNS}

    def contract_months(self, contract: Contract, date: str) -> list[tuple[int, str]]:
        """該日期貨 Tick 所屬的契約月份 (檔案的 contract 欄): [(起始 ts 奈秒, 月份), ...] 依時間;
        沒有檔案, 股票或沒有 contract 欄時為空 list."""
        present = self._day_files(contract, date)
        if contract.market == STOCK or len(present) != 1:
            return []
        raw = read_raw_file(present[0])
        if CONTRACT_COLUMN not in raw.columns:
            return []
        return contract_runs(present[0], raw, tick_columns(present[0], raw)["ts"])

    def tick_source_stamp(self, contract: Contract, date: str) -> str:
        """該日檔案的路徑, 大小與修改時間 (奈秒); 沒有檔案時為空字串."""
        stats = ((path, os.stat(path)) for path in self._day_files(contract, date))
        return "|".join(f"{path} {stat.st_size} {stat.st_mtime_ns}" for path, stat in stats)

    def tick_source_name(self, contract: Contract, date: str) -> str:
        """該日檔案的路徑 (回傳的 Tick 依檔案中的順序, 第 n 筆即檔案的第 n 筆資料); 沒有檔案時為空字串."""
        return ", ".join(self._day_files(contract, date))

    def _day_files(self, contract: Contract, date: str) -> list[str]:
        self.Contracts.table_of(contract)
        day = parse_day(date).isoformat()
        candidates = [
            os.path.join(self.folder, f"{contract.code} {day} - ticks.csv"),
            os.path.join(self.folder, contract.code, f"{day}.csv"),
            os.path.join(self.folder, contract.code, f"{day}.parquet"),
        ]
        return [path for path in candidates if os.path.isfile(path)]


def read_raw_file(path: str) -> pl.DataFrame:
    """Every column of one tick file as written (CSV as text), `datetime` renamed to `ts` where it stands in."""
    try:
        frame = pl.read_parquet(path) if path.endswith(".parquet") else pl.read_csv(path, infer_schema=False)
    except Exception as error:
        raise ValueError(f"無法讀取 Tick 檔 {path}: {error}") from None
    if "ts" not in frame.columns and TIME_COLUMN_ALIAS in frame.columns:
        frame = frame.rename({TIME_COLUMN_ALIAS: "ts"})
    return frame


def tick_columns(path: str, frame: pl.DataFrame) -> pl.DataFrame:
    """The eight columns of one tick file with the toolkit's dtypes; ValueError naming the file otherwise."""
    missing = [name for name in TICK_COLUMNS if name not in frame.columns]
    if missing:
        raise ValueError(f"Tick 檔 {path} 缺少欄位: {', '.join(missing)}")
    return pl.DataFrame([_typed_column(path, frame[name]) for name in TICK_COLUMNS])


def contract_runs(path: str, frame: pl.DataFrame, ts: pl.Series) -> list[tuple[int, str]]:
    """(first `ts`, month) of each run of one month in time order; [] without a `contract` column."""
    if CONTRACT_COLUMN not in frame.columns:
        return []
    column = frame[CONTRACT_COLUMN]
    if not (column.dtype == pl.String or column.dtype.is_integer()):
        raise ValueError(f"Tick 檔 {path} 欄位 {CONTRACT_COLUMN} 應為文字或整數 (例如 202403): {column.dtype}")
    months = column.cast(pl.String).str.strip_chars()
    bad = months.is_null() | (months == "")
    if bad.any():
        row = int(bad.arg_max() or 0)
        raise ValueError(f"Tick 檔 {path} 欄位 {CONTRACT_COLUMN} 第 {row + 1} 筆資料沒有契約月份: {column[row]!r}")
    ordered = pl.DataFrame({"ts": ts, "month": months}).sort("ts", maintain_order=True)
    starts = ordered.filter(pl.col("month") != pl.col("month").shift(1).fill_null(""))
    return list(starts.select("ts", "month").iter_rows())


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
        text = column.str.replace(r"Z$", "+00:00")
        zoned = [
            _taipei_wall_clock(text.str.to_datetime(f, time_unit="ns", strict=False)).dt.epoch("ns")
            for f in ZONED_FORMATS
        ]
        parsed = [column.str.to_datetime(f, time_unit="ns", strict=False).dt.epoch("ns") for f in DATETIME_FORMATS]
        return pl.select(pl.coalesce([as_int, *zoned, *parsed])).to_series().rename("ts")
    if isinstance(column.dtype, pl.Datetime):
        return _taipei_wall_clock(column).dt.cast_time_unit("ns").dt.epoch("ns").rename("ts")
    return column


def _taipei_wall_clock(column: pl.Series) -> pl.Series:
    if isinstance(column.dtype, pl.Datetime) and column.dtype.time_zone is not None:
        return column.dt.convert_time_zone(EXCHANGE_ZONE).dt.replace_time_zone(None)
    return column


def warn_if_outside_stock_hours(path: str, frame: pl.DataFrame) -> None:
    """Yellow line when most ticks of a stock day lie outside the session: the file's clock is likely shifted."""
    if frame.height == 0:
        return
    time_of_day = frame["ts"] % NS_PER_DAY
    outside = int((~time_of_day.is_between(*STOCK_HOURS_NS)).sum())
    if outside * 2 > frame.height:
        utils.console.print(
            f"[yellow]Tick 檔 {path} 有 {outside}/{frame.height} 筆 Tick 不在 09:00-13:30 之間, "
            "時間可能有偏移 (ts 應為台北時間, 例如 UTC 時間需加 8 小時)[/yellow]"
        )

