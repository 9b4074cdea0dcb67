"""Trading days and sessions on datetime.date, and the package's holiday table, over the core's session calendar."""

from __future__ import annotations

import datetime as dt
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import vorn_kest_backtest
from vorn_kest_backtest._core.market import (
    FUTURES_NIGHT_SESSION_SECONDS,
    HOLIDAYS_FILE,
    NS_PER_DAY,
    SessionCalendar,
    futures_range_windows,
    parse_holiday_table,
)

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

_EPOCH_ORDINAL = dt.date(1970, 1, 1).toordinal()


def _days(day: Any) -> int:
    """Days since 1970-01-01 of a datetime.date (a datetime counts by its date)."""
    if not isinstance(day, dt.date):
        raise TypeError(f"日期必須是 datetime.date: {day!r}")
    return day.toordinal() - _EPOCH_ORDINAL


def _date(days: int) -> dt.date:
    return dt.date.fromordinal(days + _EPOCH_ORDINAL)


def _utc_offset() -> int:
    # Read at every call, as a caller may change BASIC_INFO; imported here as constant imports this package.
    from vorn_kest_backtest.constant import BASIC_INFO

    return BASIC_INFO.utc_offset_hours


def holiday_table_path() -> Path:
    """套件內休市日表的路徑."""
    return Path(vorn_kest_backtest.__file__).resolve().parent / "static" / HOLIDAYS_FILE


def _listed_days() -> list[int]:
    """The package's table; a missing or malformed file names itself."""
    path = holiday_table_path()
    try:
        data = path.read_bytes()
    except OSError:
        raise FileNotFoundError(f"找不到休市日表: {path}") from None
    try:
        return parse_holiday_table(data.decode("utf-8"))
    except ValueError as e:
        raise ValueError(f"休市日表格式錯誤 ({path}): {e}") from None


def listed_holidays() -> frozenset[dt.date]:
    """套件內休市日表的日期 ("Date" 欄)."""
    return frozenset(_date(d) for d in _listed_days())


def read_holiday_dates() -> list[str]:
    """套件內休市日表的日期文字 ("%Y-%m-%d")."""
    return [_date(d).isoformat() for d in _listed_days()]


def midnight_ns(day: dt.date) -> int:
    """日曆日 00:00 的牆上時間奈秒數."""
    return _days(day) * NS_PER_DAY


def futures_range_days(holidays: Iterable[dt.date], start: dt.date,
                       end: dt.date) -> tuple[list[dt.date], list[list[tuple[int, int]]], int | None]:
    """期貨日期區間 (交易日) 要讀取的日曆日, 各日屬於區間的牆上時間奈秒 [起, 迄) 區段, 以及首日只取夜盤時的起點."""
    first, windows, lead_in_since = futures_range_windows([_days(d) for d in holidays], _days(start), _days(end))
    return [_date(first + i) for i in range(len(windows))], windows, lead_in_since


@dataclass(frozen=True)
class Session:
    """一個交易時段: 開始的日曆日, 種類 ("day"/"night"), 牆上時間的起訖 (皆含)."""

    start_day: dt.date
    kind: str
    start_ns: int
    end_ns: int


class TradingCalendar:
    """台股與期貨的交易日與交易時段; 時間為交易所牆上時間 (當作 UTC) 的奈秒數.

    `holidays`: 休市日 (預設讀取套件內的休市日表)."""

    __slots__ = ("_core",)

    def __init__(self, holidays: Iterable[dt.date] | None = None) -> None:
        self._core = SessionCalendar(_listed_days() if holidays is None else [_days(d) for d in holidays])

    def __reduce__(self) -> tuple[type[TradingCalendar], tuple[list[dt.date]]]:
        return type(self), (sorted(self.holidays),)

    @property
    def holidays(self) -> frozenset[dt.date]:
        return frozenset(_date(d) for d in self._core.holidays())

    def is_trading_day(self, day: dt.date) -> bool:
        """週一至週五且不在休市日表中."""
        return self._core.is_trading_date(_days(day))

    def next_trading_day(self, day: dt.date) -> dt.date:
        """`day` 之後的第一個交易日."""
        return _date(self._core.next_trading_date_after(_days(day)))

    def previous_trading_day(self, day: dt.date) -> dt.date:
        """`day` 之前的最後一個交易日."""
        return _date(self._core.previous_trading_date_before(_days(day)))

    def sessions_touching(self, market: str, day: dt.date) -> list[Session]:
        """在日曆日 `day` 上有 Tick 的交易時段 (呼叫者只取當日的部分)."""
        return [Session(_date(start_day), kind, start_ns, end_ns)
                for start_day, kind, start_ns, end_ns in self._core.sessions_touching(market, _days(day))]

    def order_session(self, market: str, epoch_seconds: float) -> tuple[float, float]:
        """在 `epoch_seconds` 下單的委託所屬的交易時段 (開始, 結束), 皆為 epoch 秒數: 進行中的時段, 否則為該市場下一個
        開盤的時段; 收盤那一筆成交之後已無成交, 在那一刻下的委託屬於下一個時段."""
        return self._core.order_session_at(market, epoch_seconds, _utc_offset())

    def trading_date(self, market: str, epoch_seconds: float) -> dt.date:
        return _date(self._core.trading_date_at(market, epoch_seconds, _utc_offset()))

    def trading_days(self, market: str, epoch_seconds: npt.NDArray[np.float64]) -> npt.NDArray[np.int64]:
        """每個 epoch 秒數所屬的交易日 (同 `trading_date`), 以 1970-01-01 起的日數表示 (int64 陣列)."""
        return self._core.trading_dates_at(market, epoch_seconds, _utc_offset())


# Written from the session table, so the help cannot drift from the rule.
TradingCalendar.trading_date.__doc__ = (
    "epoch 秒數的 Tick 所屬的交易日: 股票為當日; 期貨夜盤 ("
    f"{FUTURES_NIGHT_SESSION_SECONDS[0] // 3600:02d}:{FUTURES_NIGHT_SESSION_SECONDS[0] // 60 % 60:02d}"
    " 起, 含跨午夜的部分) 屬下一個交易日.")
