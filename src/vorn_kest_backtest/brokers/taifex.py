"""A broker stand-in over a folder of the futures exchange's daily tick files ("Daily_YYYY_MM_DD.zip").

The Ticker asks per calendar day; the rows dated on a day come from up to two files: the file of the first
trading day on or after it (its early-morning night rows and its day session) and the file of the next trading
day (its evening night rows). Each file's trading day decides which contract R1/R2 stands for, so the night
session after a last trading day is already served from the next month; `contract_months` names that month
for the runner, worked out from the calendar alone, so a run from the tick cache knows it without the files.

Files found in the folder: "Daily_YYYY_MM_DD.zip" (one CSV inside, cp950), or the extracted ".csv" / ".rpt"
(preferred when both are there), and the fast copies that `vorn-kest-backtest import taifex` writes under
"vorn_parquet/" (used while the source file is unchanged). Stock codes are served from the same folder in the
file broker's format ("<code>/<YYYY-MM-DD>.csv" and the like), so a benchmark stock can replay beside a future.
"""

from __future__ import annotations

import os
from collections import OrderedDict
from collections.abc import Iterable, Mapping
from datetime import date, timedelta

import polars as pl

from vorn_kest_backtest.brokers.columns import TICK_COLUMNS, parse_day
from vorn_kest_backtest.brokers.contracts import FUTURE, STOCK, Contract, Contracts
from vorn_kest_backtest.brokers.files import FileBroker
from vorn_kest_backtest.brokers.taifex_contracts import TaifexFutures, checked_products, selection_of
from vorn_kest_backtest.brokers.taifex_daily_file import (
    ROW_SCHEMA,
    day_session_present,
    read_daily_file,
    trading_day_of,
)
from vorn_kest_backtest.brokers.taifex_store import converted_path, fingerprint, is_current
from vorn_kest_backtest.modules.market.market import NS_PER_DAY, TradingCalendar, midnight_ns

# Raw files read per call are kept for the next calendar day, which shares one file with this one.
KEPT_FRAMES = 4
# Extracted text is read before the archive: no decompression.
SOURCE_PREFERENCE = {"csv": 0, "rpt": 1, "zip": 2}


def find_daily_files(folder: str) -> dict[date, str]:
    """Trading day -> its daily file in `folder`, the extracted text preferred over the archive."""
    found: dict[date, tuple[int, str]] = {}
    for entry in os.scandir(folder):
        day = trading_day_of(entry.name)
        if day is None or not entry.is_file():
            continue
        rank = SOURCE_PREFERENCE[entry.name.rsplit(".", 1)[1].lower()]
        if day not in found or rank < found[day][0]:
            found[day] = (rank, entry.path)
    return {day: path for day, (_, path) in sorted(found.items())}


class TaifexBroker:
    """期交所每日行情檔券商: 從 "Daily_YYYY_MM_DD.zip" (或解壓後的 CSV) 資料夾提供期貨歷史 Tick, 不需登入.

    `folder`: 資料夾; `products`: 額外的連續月代碼字首 -> 期交所商品代號 (例如 {"TMF": "TMF"} 提供 TMFR1 / TMFR2);
    `holidays`: 休市日 (預設讀取套件內的休市日表). 連續月代碼 R1 為最近月, R2 為次月;
    單一契約以商品代號加到期月份表示, 例如 "TX202601" 或週契約 "TX202601W1".
    Tick 的 volume 為口數 (成交數量(B+S) 的一半), 沒有買賣價 (null), 價差交易不列入.
    檔案錯誤 (HTML 網頁, 損毀的壓縮檔, 標題列不符, 無法以 CP950 解碼) 或缺檔時丟出 ValueError, 訊息帶出檔名.
    """

    def __init__(
        self,
        folder: str | os.PathLike[str],
        products: Mapping[str, str] | None = None,
        holidays: Iterable[date] | None = None,
    ) -> None:
        self.folder = os.fspath(folder)
        if not os.path.isdir(self.folder):
            raise ValueError(f"資料夾不存在: {self.folder}")
        # Its own tick cache, apart from other sources' ticks of the same codes.
        self.tick_source_id = "taifex " + os.path.realpath(self.folder)
        self.calendar = TradingCalendar(holidays)
        self.sources = find_daily_files(self.folder)
        self._stocks = FileBroker(self.folder, holidays=holidays)
        self.Contracts = Contracts([c for c in self._stocks.Contracts.Stocks.values()])
        self._futures = TaifexFutures(checked_products(products))
        self.Contracts.Futures = self._futures
        self._frames: OrderedDict[date, pl.DataFrame] = OrderedDict()

    def __repr__(self) -> str:
        return f"TaifexBroker({self.folder!r})"

    def is_trading_day(self, day: date) -> bool:
        """A day of the calendar, or any day the folder has a file for."""
        return day in self.sources or self.calendar.is_trading_day(day)

    def ticks(self, contract: Contract, date: str) -> dict[str, list]:
        """回傳該商品在該日 (日曆日) 的 Tick, 八個欄位各為一個 list; 該日沒有交易時回傳空 list."""
        frame = self.tick_frame(contract, date)
        return {name: frame[name].to_list() for name in TICK_COLUMNS}

    def tick_frame(self, contract: Contract, date: str, since_ns: int | None = None) -> pl.DataFrame:
        """同 ticks, 為 polars DataFrame (股票另有 source_row 欄); `since_ns`: 只取此牆上時間 (奈秒) 起的 Tick,
        只讀含有這些 Tick 的檔案 (例如只要當晚的夜盤時, 只需下一個交易日的檔案)."""
        self.Contracts.table_of(contract)
        day = parse_day(date)
        if contract.market == STOCK:
            return self._stocks.tick_frame(contract=contract, date=date, since_ns=since_ns)
        selection = selection_of(contract.code, self._futures.products)
        if selection is None:
            raise KeyError(f"期交所每日行情檔沒有這個代碼: {contract.code}")
        files = self._files_holding(day)
        # With two files, the rows dated `day` in the first end where the evening in the second begins.
        day_end = midnight_ns(day) + NS_PER_DAY
        ends = [self._evening_start(day), day_end] if len(files) == 2 else [day_end] * len(files)
        parts = []
        for trading_day, end in zip(files, ends, strict=True):
            if since_ns is not None and end <= since_ns:
                continue
            if trading_day > day and trading_day not in self.sources:
                # Rows dated `day` in a later file open that later trading day's night session; the
                # fetch of that trading day reports the missing file, and a range ending today never needs it.
                continue
            frame = self._day_frame(trading_day)
            if trading_day == day and not day_session_present(frame, day):
                raise ValueError(
                    f"期交所每日行情檔 {self._path_of(day)} 只有夜盤, 沒有 {day} 的日盤 (可能在日盤收盤前下載)"
                )
            expiry = selection.expiry_on(trading_day, self.is_trading_day)
            parts.append(
                frame.filter(
                    (pl.col("date") == day) & (pl.col("product") == selection.product) & (pl.col("expiry") == expiry)
                )
            )
        rows = pl.concat(parts).sort("ts", maintain_order=True) if parts else pl.DataFrame(schema=ROW_SCHEMA)
        if since_ns is not None:
            rows = rows.filter(pl.col("ts") >= since_ns)
        return rows.select(
            "ts",
            pl.col("price").alias("close"),
            "volume",
            pl.lit(None, pl.Float64).alias("bid_price"),
            pl.lit(None, pl.Int64).alias("bid_volume"),
            pl.lit(None, pl.Float64).alias("ask_price"),
            pl.lit(None, pl.Int64).alias("ask_volume"),
            # The files carry no trade side; the opening-auction print has none either.
            pl.lit(0, pl.Int64).alias("tick_type"),
        )

    def contract_months(self, contract: Contract, date: str) -> list[tuple[int, str]]:
        """該日 (日曆日) 期貨 Tick 所屬的契約月份: [(起始 ts 奈秒, 到期月份), ...] 依時間; 股票為空 list.

        與 `ticks` 同一規則: 該日的夜盤凌晨與日盤屬於當日 (或其後第一個交易日) 的契約, 當晚開盤的夜盤
        屬於下一個交易日的契約. 只依日曆計算, 不讀檔.
        """
        self.Contracts.table_of(contract)
        day = parse_day(date)
        if contract.market == STOCK:
            return []
        selection = selection_of(contract.code, self._futures.products)
        if selection is None:
            raise KeyError(f"期交所每日行情檔沒有這個代碼: {contract.code}")
        starts = (midnight_ns(day), self._evening_start(day))
        return [(start, selection.expiry_on(trading_day, self.is_trading_day))
                for start, trading_day in zip(starts, self._files_holding(day), strict=False)]

    def _evening_start(self, day: date) -> int:
        """The night session opened on `day`; past the day's end when the calendar has none (a day the folder
        has a file for but the calendar calls a holiday)."""
        for session in self.calendar.sessions_touching(FUTURE, day):
            if session.kind == "night" and session.start_day == day:
                return session.start_ns
        return midnight_ns(day) + NS_PER_DAY

    def tick_source_stamp(self, contract: Contract, date: str) -> str:
        """該日所用檔案的路徑, 大小, 修改時間 (奈秒) 與內容雜湊; 檔案改變後快取會重新讀取."""
        if contract.market == STOCK:
            return self._stocks.tick_source_stamp(contract, date)
        paths = [self.sources[day] for day in self._files_holding(parse_day(date)) if day in self.sources]
        return "|".join(f"{path} {fingerprint(path)}" for path in paths)

    def tick_source_name(self, contract: Contract, date: str) -> str:
        """股票: 該日檔案的路徑; 期貨為空字串 (期交所檔案的資料列在讀檔時已逐列檢查, 錯誤訊息帶出檔名與行號)."""
        if contract.market == STOCK:
            return self._stocks.tick_source_name(contract, date)
        return ""

    def _files_holding(self, day: date) -> list[date]:
        """Trading days whose files hold rows dated `day`, in time order of those rows."""
        files = []
        if self.is_trading_day(day) or self.is_trading_day(day - timedelta(days=1)):
            files.append(self._next_trading_day(day - timedelta(days=1)))
        if self.is_trading_day(day):
            files.append(self._next_trading_day(day))
        return list(dict.fromkeys(files))

    def _next_trading_day(self, day: date) -> date:
        """The calendar's next trading day, or an earlier day the folder has a file for."""
        return min([self.calendar.next_trading_day(day), *(held for held in self.sources if held > day)])

    def _path_of(self, trading_day: date) -> str:
        source = self.sources.get(trading_day)
        if source is None:
            raise ValueError(
                f"缺少 {trading_day} 的期交所每日行情檔 Daily_{trading_day:%Y_%m_%d}.zip: {self.folder}"
            )
        return source

    def _day_frame(self, trading_day: date) -> pl.DataFrame:
        if trading_day in self._frames:
            self._frames.move_to_end(trading_day)
            return self._frames[trading_day]
        source = self._path_of(trading_day)
        converted = converted_path(self.folder, trading_day)
        frame = pl.read_parquet(converted) if is_current(converted, source) else read_daily_file(source)
        self._frames[trading_day] = frame
        while len(self._frames) > KEPT_FRAMES:
            self._frames.popitem(last=False)
        return frame


__all__ = ["TaifexBroker", "find_daily_files"]
