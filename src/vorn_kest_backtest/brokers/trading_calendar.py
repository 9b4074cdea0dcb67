"""Trading days and session windows of the Taiwan stock and futures markets.

Times are the exchange wall clock written as if it were UTC, in nanoseconds, as the broker's ticks carry them.

Rules kept by the simulated broker:
- A trading day is a Monday to Friday not listed in the holiday table.
- Stocks trade 09:00-13:30 on trading days.
- Futures trade a day session 08:45-13:45 and a night session from 15:00 to 05:00 of the next calendar day,
  which starts on every trading day, Friday included (so Saturday 00:00-05:00 has ticks).
- A query for a calendar day returns the ticks stamped on that day: 00:00-05:00 from the previous day's night
  session, the day session, and 15:00-24:00 of the night session starting that day.
- A listed holiday has no ticks at all: a night session before a listed holiday stops at midnight.
"""

from __future__ import annotations

import csv
from collections.abc import Iterable
from dataclasses import dataclass
from datetime import date, datetime, timedelta
from functools import lru_cache
from importlib import resources

from vorn_kest_backtest.brokers.contracts import STOCK

HOLIDAY_FILE = "holidays_search_from_2017.csv"

NS_PER_MINUTE = 60 * 1_000_000_000
NS_PER_DAY = 24 * 60 * NS_PER_MINUTE


@lru_cache(maxsize=1)
def listed_holidays() -> frozenset[date]:
    """The package's holiday table (column "Date", "%Y-%m-%d")."""
    table = resources.files("vorn_kest_backtest") / "static" / HOLIDAY_FILE
    with table.open(encoding="utf-8") as stream:
        return frozenset(datetime.strptime(row["Date"], "%Y-%m-%d").date() for row in csv.DictReader(stream))


def midnight_ns(day: date) -> int:
    return (day - date(1970, 1, 1)).days * NS_PER_DAY


@dataclass(frozen=True)
class Session:
    """One trading session: the day it starts on, its kind, and its wall-clock bounds (both inclusive)."""

    start_day: date
    kind: str
    start_ns: int
    end_ns: int


def _at(day: date, hour: int, minute: int) -> int:
    return midnight_ns(day) + (hour * 60 + minute) * NS_PER_MINUTE


class TradingCalendar:
    def __init__(self, holidays: Iterable[date] | None = None) -> None:
        self.holidays = listed_holidays() if holidays is None else frozenset(holidays)

    def is_trading_day(self, day: date) -> bool:
        return day.weekday() < 5 and day not in self.holidays

    def sessions_touching(self, market: str, day: date) -> list[Session]:
        """Sessions with ticks stamped on calendar `day`; the caller keeps only that day's part of them."""
        if day in self.holidays:
            return []
        if market == STOCK:
            return [Session(day, "day", _at(day, 9, 0), _at(day, 13, 30))] if self.is_trading_day(day) else []
        sessions = []
        previous = day - timedelta(days=1)
        if self.is_trading_day(previous):
            sessions.append(self._night(previous))
        if self.is_trading_day(day):
            sessions.append(Session(day, "day", _at(day, 8, 45), _at(day, 13, 45)))
            sessions.append(self._night(day))
        return sessions

    @staticmethod
    def _night(day: date) -> Session:
        return Session(day, "night", _at(day, 15, 0), _at(day + timedelta(days=1), 5, 0))
