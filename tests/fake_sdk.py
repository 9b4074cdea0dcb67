"""A tiny stand-in for the broker SDK: contract tables, a ticks query, and a count of calls."""

from __future__ import annotations

import calendar
import time

COLUMNS = ("ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type")


def wall_ns(day: str, hour: int, minute: int = 0, second: int = 0) -> int:
    """Exchange wall clock written as if it were UTC, in nanoseconds (as the broker gives it)."""
    y, m, d = (int(p) for p in day.split("-"))
    return calendar.timegm((y, m, d, hour, minute, second)) * 10**9


class FakeSdk:
    def __init__(self, ticks_per_day: int = 3, empty_days=(), failing_days=(), logged_in: bool = True) -> None:
        self.Contracts = type("Contracts", (), {})()
        self.Contracts.Stocks = {"2330": ("stock", "2330"), "2317": ("stock", "2317"), "0050": ("stock", "0050")}
        self.Contracts.Futures = {"TXFR1": ("future", "TXFR1"), "MXFR1": ("future", "MXFR1")}
        self.ticks_per_day = ticks_per_day
        self.empty_days = set(empty_days)
        self.failing_days = set(failing_days)
        self.logged_in = logged_in
        self.calls: list[tuple[object, str]] = []

    def __bool__(self) -> bool:
        return self.logged_in

    def ticks(self, contract, date: str) -> dict:
        self.calls.append((contract, date))
        if date in self.failing_days:
            raise RuntimeError(f"server error on {date}")
        n = 0 if date in self.empty_days else self.ticks_per_day
        return {
            "ts": [wall_ns(date, 9, 0, i) for i in range(n)],
            "close": [100.0 + i for i in range(n)],
            "volume": [i + 1 for i in range(n)],
            "bid_price": [99.5] * n,
            "bid_volume": [2] * n,
            "ask_price": [100.5] * n,
            "ask_volume": [3] * n,
            "tick_type": [1 + i % 2 for i in range(n)],
        }


def today_text() -> str:
    """Today on the exchange clock (UTC+8)."""
    return time.strftime("%Y-%m-%d", time.gmtime(time.time() + 8 * 3600))


def is_status(record: dict, value: str) -> bool:
    return record.get("vorn_status") == value


__all__ = ["COLUMNS", "FakeSdk", "is_status", "today_text", "wall_ns"]
