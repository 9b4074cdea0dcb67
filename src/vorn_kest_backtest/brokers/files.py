"""A broker stand-in that serves the user's own tick files, for backtests without a broker account.

Accepted files in the folder:
- one per code and calendar day: "<code> <YYYY-MM-DD> - ticks.csv" (the toolkit's own cache naming, so a cache
  folder can be served back), "<code>/<YYYY-MM-DD>.csv" or "<code>/<YYYY-MM-DD>.parquet";
- one per code holding many days: "<code>.csv" or "<code>.parquet" (a code of letters and digits), each
  calendar day served from the rows stamped on it.
What a file holds and how it is checked: `tick_file`. A weekday the exchange calendar has open and no file
(or no row of the code's file) has is a missing day: its query fails, naming the day, and the run lists it.

An optional `contract` column (text or integer, e.g. "202403") names the contract month each futures tick
belongs to, so a continuous code such as TXFR1 can hold a real contract: `contract_months` answers it, the
ticks themselves keep their eight columns. Without the column the code is one contract throughout.

Market of a code: the `markets` argument (code -> "Stock" or "Future") when it names the code; otherwise a code
starting with a digit is a stock (2330, 0050, 00878) and any other a future (TXFR1, MXFC4).
"""

from __future__ import annotations

import os
import re
from collections import OrderedDict
from collections.abc import Iterable, Mapping
from datetime import date

import polars as pl

from vorn_kest_backtest.brokers.columns import TICK_COLUMNS, parse_day
from vorn_kest_backtest.brokers.contracts import FUTURE, STOCK, Contract, Contracts
from vorn_kest_backtest.brokers.tick_file import (
    NS_PER_DAY,
    SOURCE_ROW,
    TickFile,
    contract_runs,
    read_tick_file,
    read_tick_files,
    warn_if_outside_stock_hours,
)
from vorn_kest_backtest.modules.market.market import TradingCalendar
from vorn_kest_backtest.ticks.tick_dtypes import TICK_DTYPES

CACHE_NAME = re.compile(r"^(?P<code>[^ /\\]+) (?P<day>\d{4}-\d{2}-\d{2}) - ticks\.csv$")
DAY_FILE = re.compile(r"^\d{4}-\d{2}-\d{2}\.(csv|parquet)$")
CODE_FILE = re.compile(r"^(?P<code>[A-Za-z0-9]+)\.(csv|parquet)$")
# Files of many days read once and kept for the next days asked of them.
KEPT_CODE_FILES = 2
# Day files announced by `prepare_days` are read this many at a time, side by side.
READ_TOGETHER = 8
_EPOCH = date(1970, 1, 1)


def market_by_rule(code: str) -> str:
    return STOCK if code[:1].isdigit() else FUTURE


class FileBroker:
    """檔案券商: 從使用者自己的 Tick 檔 (CSV 或 Parquet, 每日一檔或每個代碼一檔) 提供歷史 Tick, 不需登入.

    `folder`: 資料夾; `markets`: 代碼 -> "Stock" / "Future", 未列出的代碼以數字開頭者為股票, 其餘為期貨;
    `holidays`: 休市日 (預設讀取套件內的休市日表).
    交易日 (週一至週五, 非休市日) 沒有檔案或檔案中沒有該日資料時, 查詢丟出 ValueError (缺少的日子);
    其他沒有資料的日子回傳空欄位; 檔案內容錯誤時丟出 ValueError, 訊息帶出檔名, 第幾筆與問題.
    `tick_frame(contract, date)`: 該日的 Tick (polars DataFrame, 另有 source_row 欄: 檔案中的第幾筆);
    `prepare_days(contract, dates)`: 預告即將查詢的日子, 其檔案數個一起讀取;
    `ticks(contract, date)`: 同樣的 Tick, 八個欄位各為一個 list.
    `tick_source_id`: 資料夾的實際路徑, Tick 快取依此與其他來源分開;
    `tick_source_stamp(contract, date)`: 該日所用檔案的路徑, 大小與修改時間, 檔案改變後快取會重新讀取.
    `tick_source_name(contract, date)`: 該日所用檔案的路徑; 某筆 Tick 無法使用時, 錯誤訊息以此指出檔案.
    """

    def __init__(
        self,
        folder: str | os.PathLike[str],
        markets: Mapping[str, str] | None = None,
        holidays: Iterable[date] | None = None,
    ) -> None:
        self.folder = os.fspath(folder)
        if not os.path.isdir(self.folder):
            raise ValueError(f"資料夾不存在: {self.folder}")
        self.tick_source_id = "files " + os.path.realpath(self.folder)
        self.calendar = TradingCalendar(holidays)
        markets = dict(markets or {})
        for code, market in markets.items():
            if market not in (STOCK, FUTURE):
                raise ValueError(f"不支援的商品類型: {code} {market!r}")
        self.Contracts = Contracts(
            [Contract(code, markets.get(code) or market_by_rule(code)) for code in self._codes_found()]
        )
        self._code_files: OrderedDict[tuple[str, int, int], TickFile] = OrderedDict()
        self._ahead: dict[str, list[str]] = {}  # code -> day files about to be asked, in order
        self._read_ahead: dict[tuple[str, int, int], TickFile] = {}

    def __repr__(self) -> str:
        return f"FileBroker({self.folder!r})"

    def _codes_found(self) -> list[str]:
        codes = set()
        for entry in os.scandir(self.folder):
            if entry.is_file() and (match := CACHE_NAME.match(entry.name) or CODE_FILE.match(entry.name)):
                codes.add(match["code"])
            elif entry.is_dir() and any(DAY_FILE.match(name) for name in os.listdir(entry.path)):
                codes.add(entry.name)
        return sorted(codes)

    def tick_frame(self, contract: Contract, date: str, since_ns: int | None = None) -> pl.DataFrame:
        """該日 (日曆日) 的 Tick: 八個欄位與 source_row (檔案中的第幾筆);
        `since_ns`: 只取此牆上時間 (奈秒) 起的 Tick."""
        frame, path = self._day(contract, date)
        if contract.market == STOCK and path:
            warn_if_outside_stock_hours(path, frame)
        frame = frame.select(*TICK_COLUMNS, SOURCE_ROW)
        return frame if since_ns is None else frame.filter(pl.col("ts") >= since_ns)

    def prepare_days(self, contract: Contract, dates: list[str]) -> None:
        """這些日子即將被查詢 (Ticker 的預告): 其每日 Tick 檔之後數個一起讀取, 比逐一讀取快."""
        paths = []
        for day in dates:
            day_files = [path for path in self._paths(contract, day) if not CODE_FILE.match(os.path.basename(path))]
            paths += day_files[:1] if len(day_files) == 1 else []
        self._ahead[contract.code] = paths

    def ticks(self, contract: Contract, date: str) -> dict[str, list]:
        """回傳該商品在該日的 Tick, 八個欄位各為一個 list; 沒有資料的非交易日回傳空 list."""
        frame = self.tick_frame(contract, date)
        return {name: frame[name].to_list() for name in TICK_COLUMNS}

    def contract_months(self, contract: Contract, date: str) -> list[tuple[int, str]]:
        """該日期貨 Tick 所屬的契約月份 (檔案的 contract 欄): [(起始 ts 奈秒, 月份), ...] 依時間;
        沒有資料, 股票或沒有 contract 欄時為空 list."""
        if contract.market == STOCK or not self._paths(contract, date):
            return []
        frame, _ = self._day(contract, date, missing_ok=True)
        return contract_runs(frame)

    def tick_source_stamp(self, contract: Contract, date: str) -> str:
        """該日所用檔案的路徑, 大小與修改時間 (奈秒); 沒有檔案時為空字串."""
        stats = ((path, os.stat(path)) for path in self._paths(contract, date))
        return "|".join(f"{path} {stat.st_size} {stat.st_mtime_ns}" for path, stat in stats)

    def tick_source_name(self, contract: Contract, date: str) -> str:
        """該日所用檔案的路徑; 沒有檔案時為空字串."""
        return ", ".join(self._paths(contract, date))

    def _paths(self, contract: Contract, date: str) -> list[str]:
        """The day's own files, then the code's file of many days, as they are in the folder."""
        self.Contracts.table_of(contract)
        day = parse_day(date).isoformat()
        candidates = [
            os.path.join(self.folder, f"{contract.code} {day} - ticks.csv"),
            os.path.join(self.folder, contract.code, f"{day}.csv"),
            os.path.join(self.folder, contract.code, f"{day}.parquet"),
            os.path.join(self.folder, f"{contract.code}.csv"),
            os.path.join(self.folder, f"{contract.code}.parquet"),
        ]
        return [path for path in candidates if os.path.isfile(path)]

    def _day(self, contract: Contract, date: str, missing_ok: bool = False) -> tuple[pl.DataFrame, str]:
        """The checked rows of one calendar day and the file they come from ("" when there is none);
        `missing_ok`: a trading day without data has no rows rather than failing."""
        day = parse_day(date)
        paths = self._paths(contract, date)
        day_files = [path for path in paths if not CODE_FILE.match(os.path.basename(path))]
        code_files = [path for path in paths if path not in day_files]
        index = (day - _EPOCH).days
        if len(code_files) > 1:
            raise ValueError(f"同一個代碼有多個 Tick 檔, 無法決定使用哪一個: {', '.join(code_files)}")
        many = self._code_file(code_files[0]) if code_files else None
        if many is not None and index not in many.days():
            many = None
        if len(day_files) + (many is not None) > 1:
            named = day_files + ([many.path] if many is not None else [])
            raise ValueError(f"同一天有多個 Tick 檔, 無法決定使用哪一個: {', '.join(named)}")
        if day_files:
            single = self._day_file(contract.code, day_files[0])
            if problem := single.problem():
                raise ValueError(problem)
            return single.frame, single.path
        if many is not None:
            if problem := many.problem(index):
                raise ValueError(problem)
            return many.day(index), many.path
        if code_files and (problem := self._code_file(code_files[0]).problem(index)):
            raise ValueError(problem)
        if self.calendar.is_trading_day(day) and not missing_ok:
            where = code_files[0] if code_files else self.folder
            raise ValueError(f"缺少 {contract.code} {day} 的 Tick 資料 (交易日, 沒有檔案或檔案中沒有該日): {where}")
        return _empty(), ""

    def _day_file(self, code: str, path: str) -> TickFile:
        """One day's file; with the next announced ones when it is announced."""
        key = _file_key(path)
        if key not in self._read_ahead and path in (ahead := self._ahead.get(code, [])):
            start = ahead.index(path)
            together = ahead[start:start + READ_TOGETHER]
            del ahead[:start + len(together)]
            self._read_ahead.update((_file_key(read.path), read) for read in read_tick_files(together).values())
        return self._read_ahead.pop(key, None) or read_tick_file(path)

    def _code_file(self, path: str) -> TickFile:
        key = _file_key(path)
        if key in self._code_files:
            self._code_files.move_to_end(key)
        else:
            self._code_files[key] = read_tick_file(path)
            while len(self._code_files) > KEPT_CODE_FILES:
                self._code_files.popitem(last=False)
        return self._code_files[key]


def _file_key(path: str) -> tuple[str, int, int]:
    """A file as it is now: read again once its size or modification time changes."""
    stat = os.stat(path)
    return path, stat.st_size, stat.st_mtime_ns


def _empty() -> pl.DataFrame:
    return pl.DataFrame(schema={**TICK_DTYPES, SOURCE_ROW: pl.Int64})


__all__ = ["FileBroker", "NS_PER_DAY"]
