"""Walk-forward windows: training and test spans counted in trading days of the exchange calendar.

Window k trains on the `train` trading days from day k x `step` and tests on the `test` trading
days right after them; the last test span may be shorter when the range ends. With `step` equal
to `test` (the default) the test spans follow each other without gap or overlap.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from datetime import date, timedelta

from vorn_kest_backtest.modules.market.market import TradingCalendar
from vorn_kest_backtest.utils import format_to_dt

_DAYS = re.compile(r"^\s*(\d+)\s*d?\s*$")


@dataclass(frozen=True)
class Window:
    index: int
    train_start: str
    train_end: str
    test_start: str
    test_end: str


def parse_days(text: str | int, name: str) -> int:
    """"60d" 或 60 -> 60 個交易日."""
    match = _DAYS.match(str(text))
    if match is None or int(match.group(1)) <= 0:
        raise ValueError(f"{name} 必須是正整數個交易日, 例如 60d: {text}")
    return int(match.group(1))


def trading_days(start: str, end: str, calendar: TradingCalendar | None = None) -> list[date]:
    """start 到 end (皆含) 之間交易所的交易日."""
    calendar = calendar or TradingCalendar()
    first, last = format_to_dt(start).date(), format_to_dt(end).date()
    return [day for day in (first + timedelta(days=n) for n in range((last - first).days + 1))
            if calendar.is_trading_day(day)]


def make_windows(days: list[date], train: int, test: int, step: int | None = None) -> list[Window]:
    """依交易日切出訓練與測試區間."""
    step = test if step is None else step
    if step < test:
        raise ValueError(f"step ({step} 個交易日) 不可小於 test ({test} 個交易日): 測試區間會重疊")
    if len(days) <= train:
        raise ValueError(f"日期區間只有 {len(days)} 個交易日, 不足 train ({train}) 加上至少 1 個測試日")
    windows: list[Window] = []
    for first in range(0, len(days) - train, step):
        tested = days[first + train:first + train + test]
        windows.append(Window(len(windows), _text(days[first]), _text(days[first + train - 1]),
                              _text(tested[0]), _text(tested[-1])))
    return windows


def _text(day: date) -> str:
    return day.strftime("%Y-%m-%d")
