"""
Exchange rules: contract table, price grid and daily band, trading calendar and holidays, exchange clock, broker fee rates
"""

from collections.abc import Sequence
import datetime
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

class SessionCalendar:
    """交易日與交易時段的規則; 日期為 1970-01-01 起的日數, 時間為 epoch 秒數."""

    def __init__(self, holidays: Sequence[int]) -> None: ...

    def holidays(self) -> list[int]: ...

    def is_trading_date(self, day: int) -> bool: ...

    def next_trading_date_after(self, day: int) -> int: ...

    def previous_trading_date_before(self, day: int) -> int: ...

    def sessions_touching(self, market: str, day: int) -> list[tuple[int, str, int, int]]:
        """(開始日, 種類, 起, 訖) 的交易時段, 起訖為牆上時間奈秒數."""

    def order_session_at(self, market: str, epoch_seconds: float, utc_offset_hours: int) -> tuple[float, float]: ...

    def trading_date_at(self, market: str, epoch_seconds: float, utc_offset_hours: int) -> int: ...

    def trading_dates_at(self, market: str, epoch_seconds: numpy.typing.NDArray[numpy.float64], utc_offset_hours: int) -> numpy.typing.NDArray[numpy.int64]: ...

def parse_holiday_table(text: str) -> list[int]:
    """休市日表 (CSV) 各列 "Date" 的日期, 以 1970-01-01 起的日數表示."""

NS_PER_DAY: int = 86400000000000

EXCHANGE_UTC_OFFSET_HOURS: int = 8

def exchange_datetime(epoch_seconds: float) -> datetime.datetime:
    """epoch 秒數在交易所時鐘上的時間 (不帶時區), 與本機時區無關."""

@overload
def exchange_wall_micros(epoch_seconds: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> object:
    """每個 epoch 秒數在交易所時鐘上的微秒數 (可視為 datetime64[us]); 無法表示的值為 NaT."""

@overload
def exchange_wall_micros(epoch_seconds: float) -> int: ...

def wall_ns_to_epoch_seconds(ts: int, utc_offset_hours: int) -> float:
    """券商的奈秒時間戳記是交易所牆上時間 (當作 UTC 寫入); 轉為真正的 epoch 秒數."""

def night_opening_day(epoch_seconds: float) -> int:
    """最近一次 (含當下) 夜盤開盤 15:00 的日曆日 (1970-01-01 起的日數); 期貨 Tick 的交易日改變時必定改變."""

def futures_range_windows(holidays: list[int], start: int, end: int) -> tuple[int, list[list[tuple[int, int]]], int | None]:
    """
    期貨日期區間 (交易日, 1970-01-01 起的日數) 要讀取的首個日曆日, 各日屬於區間的牆上時間奈秒 [起, 迄) 區段, 以及首日只取夜盤時的起點.
    """

BROKER_FEE_RATES: dict = ...
