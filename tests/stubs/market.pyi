"""
Exchange rules: contract table, price grid and daily band, trading calendar and holidays, exchange clock, broker fee rates
"""

from collections.abc import Iterable, Sequence
import datetime
import pathlib
from typing import Annotated, overload

import numpy
import numpy.typing
from numpy.typing import NDArray


class PriceGrid:
    """一個商品的價格跳動格: 股票與 ETF 依價格區間, 期貨依商品族固定跳動點."""

    @property
    def is_fund(self) -> bool: ...

    @property
    def fixed_tick(self) -> float | None: ...

    def __repr__(self) -> str: ...

DEFAULT_FUTURES_TICK: float = 1.0

def futures_contracts() -> list[tuple[str, int, float, str]]:
    """核心的期貨契約規格表: 每列 (商品族, 每點價值, 跳動點, 名稱)."""

def futures_family_of(code: str) -> str:
    """期貨代碼所屬的商品族 (前三碼, 例如 "TXFR1" -> "TXF")."""

def price_grid_for(code: str, market: str) -> PriceGrid:
    """
    商品的價格跳動格; 期貨的跳動點取自核心的契約規格表 (constant.FUTURES_FAMILIES 即其內容; 不在表中時為 DEFAULT_FUTURES_TICK).
    """

def daily_band(reference: float, grid: PriceGrid) -> tuple[float, float]:
    """參考價的漲跌停價 (跌停, 漲停): 參考價上下 10%, 各自向內取整到價格跳動格上."""

@overload
def tick_size(prices: Annotated[NDArray[numpy.float64], dict(shape=(None,), device='cpu', writable=False)], grid: PriceGrid) -> object:
    """每個價格所在區間的跳動點 (位於區間邊界的價格屬於上一區間)."""

@overload
def tick_size(price: float, grid: PriceGrid) -> float: ...

@overload
def tick_below(prices: Annotated[NDArray[numpy.float64], dict(shape=(None,), device='cpu', writable=False)], grid: PriceGrid) -> object:
    """到下一個較低格價的距離 (區間邊界上為下方區間的跳動點)."""

@overload
def tick_below(price: float, grid: PriceGrid) -> float: ...

@overload
def snap(prices: Annotated[NDArray[numpy.float64], dict(shape=(None,), device='cpu', writable=False)], grid: PriceGrid) -> object:
    """最接近的格價, 以分為單位取整 (印出時與交易所寫法相同)."""

@overload
def snap(price: float, grid: PriceGrid) -> float: ...

@overload
def on_grid(prices: Annotated[NDArray[numpy.float64], dict(shape=(None,), device='cpu', writable=False)], grid: PriceGrid) -> object:
    """價格是否位於格上."""

@overload
def on_grid(price: float, grid: PriceGrid) -> bool: ...

def grid_neighbours(price: float, grid: PriceGrid) -> tuple[float, float]:
    """價格兩側最近的格價: (不高於它的最高格價, 高於它的最低格價)."""

def ceil_to_grid(code: str, price: float) -> tuple[float, float]:
    """依照股票的價格區間, 將價格向上取整; 回傳 (取整後價格, 跳動點)."""

HOLIDAYS_FILE: str = 'holidays_search_from_2017.csv'

STOCK_SESSION_SECONDS: tuple = (32400, 48600)

STOCK_CLOSING_CALL_SECOND: int = 48300

FUTURES_DAY_SESSION_SECONDS: tuple = (31500, 49500)

FUTURES_NIGHT_SESSION_SECONDS: tuple = (54000, 18000)

class Session:
    """一個交易時段: 開始的日曆日, 種類 ("day"/"night"), 牆上時間的起訖 (皆含)."""

    @property
    def start_day(self) -> datetime.date: ...

    @property
    def kind(self) -> str: ...

    @property
    def start_ns(self) -> int: ...

    @property
    def end_ns(self) -> int: ...

    def __eq__(self, arg: Session, /) -> bool: ...

    def __repr__(self) -> str: ...

class TradingCalendar:
    """
    台股與期貨的交易日與交易時段; 時間為交易所牆上時間 (當作 UTC) 的奈秒數.

    `holidays`: 休市日 (預設讀取套件內的休市日表).
    """

    def __init__(self, holidays: Iterable[datetime.date] | None = None) -> None: ...

    @property
    def holidays(self) -> frozenset[datetime.date]: ...

    def is_trading_day(self, day: datetime.date) -> bool:
        """週一至週五且不在休市日表中."""

    def next_trading_day(self, day: datetime.date) -> datetime.date:
        """`day` 之後的第一個交易日."""

    def previous_trading_day(self, day: datetime.date) -> datetime.date:
        """`day` 之前的最後一個交易日."""

    def sessions_touching(self, market: str, day: datetime.date) -> list[Session]:
        """在日曆日 `day` 上有 Tick 的交易時段 (呼叫者只取當日的部分)."""

    def order_session(self, market: str, epoch_seconds: float) -> tuple[float, float]:
        """
        在 `epoch_seconds` 下單的委託所屬的交易時段 (開始, 結束), 皆為 epoch 秒數: 進行中的時段, 否則為該市場下一個開盤的時段; 收盤那一筆成交之後已無成交, 在那一刻下的委託屬於下一個時段.
        """

    def trading_date(self, market: str, epoch_seconds: float) -> datetime.date:
        """epoch 秒數的 Tick 所屬的交易日: 股票為當日; 期貨夜盤 (15:00 起, 含跨午夜的部分) 屬下一個交易日."""

    def trading_days(self, market: str, epoch_seconds: numpy.typing.NDArray[numpy.float64]) -> numpy.typing.NDArray[numpy.int64]:
        """每個 epoch 秒數所屬的交易日 (同 `trading_date`), 以 1970-01-01 起的日數表示 (int64 陣列)."""

    def __getstate__(self) -> tuple: ...

    def __setstate__(self, arg: tuple[Sequence[int]], /) -> None: ...

def holiday_table_path() -> pathlib.Path:
    """套件內休市日表的路徑."""

def listed_holidays() -> frozenset[datetime.date]:
    """套件內休市日表的日期 ("Date" 欄)."""

def read_holiday_dates() -> list[str]:
    """套件內休市日表的日期文字 ("%Y-%m-%d")."""

NS_PER_DAY: int = 86400000000000

EXCHANGE_UTC_OFFSET_HOURS: int = 8

def exchange_datetime(epoch_seconds: float) -> datetime.datetime:
    """epoch 秒數在交易所時鐘上的時間 (不帶時區), 與本機時區無關."""

def exchange_now() -> datetime.datetime:
    """交易所時鐘的現在時間 (不帶時區)."""

@overload
def exchange_wall_micros(epoch_seconds: Annotated[NDArray[numpy.float64], dict(shape=(None,), device='cpu', writable=False)]) -> object:
    """每個 epoch 秒數在交易所時鐘上的微秒數 (可視為 datetime64[us]); 無法表示的值為 NaT."""

@overload
def exchange_wall_micros(epoch_seconds: float) -> int: ...

def wall_ns_to_epoch_seconds(ts: int, utc_offset_hours: int) -> float:
    """券商的奈秒時間戳記是交易所牆上時間 (當作 UTC 寫入); 轉為真正的 epoch 秒數."""

def night_opening_day(epoch_seconds: float) -> int:
    """最近一次 (含當下) 夜盤開盤 15:00 的日曆日 (1970-01-01 起的日數); 期貨 Tick 的交易日改變時必定改變."""

def midnight_ns(day: datetime.date) -> int:
    """日曆日 00:00 的牆上時間奈秒數."""

def futures_range_days(holidays: Iterable[datetime.date], start: datetime.date, end: datetime.date) -> tuple[list[datetime.date], list[list[tuple[int, int]]], int | None]:
    """期貨日期區間 (交易日) 要讀取的日曆日, 各日屬於區間的牆上時間奈秒 [起, 迄) 區段, 以及首日只取夜盤時的起點."""

BROKER_FEE_RATES: dict = ...
