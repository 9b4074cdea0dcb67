"""Daily price limits of stocks: +/-10% around the previous trading day's last trade."""

from __future__ import annotations

from datetime import date
from typing import Any

from vorn_kest_backtest.modules.market.market import exchange_datetime

DAILY_LIMIT = 0.10
# Prices are compared with a hair of room so a limit price exactly on the band is never refused by rounding.
_ROOM = 1e-9


class DailyBands:
    """Follows each stock's tape and knows today's band once a previous day has been seen."""

    def __init__(self) -> None:
        self._days: dict[str, tuple[date, float, float | None]] = {}

    def observe(self, tick: dict[str, Any]) -> None:
        if tick["market_type"] != "Stock":
            return
        code, close = tick["code"], float(tick["close"])
        day = exchange_datetime(tick["timestamp"]).date()
        seen = self._days.get(code)
        if seen is None:
            self._days[code] = (day, close, None)
        elif seen[0] != day:
            self._days[code] = (day, close, seen[1])
        else:
            self._days[code] = (day, close, seen[2])

    def band(self, code: str) -> tuple[float, float] | None:
        """(lowest, highest) price allowed today; None before a previous close is known."""
        seen = self._days.get(code)
        if seen is None or seen[2] is None:
            return None
        previous = seen[2]
        return previous * (1 - DAILY_LIMIT), previous * (1 + DAILY_LIMIT)

    def outside(self, code: str, price: float) -> tuple[float, float] | None:
        """The band when `price` lies outside it, else None."""
        band = self.band(code)
        if band is None or band[0] * (1 - _ROOM) <= price <= band[1] * (1 + _ROOM):
            return None
        return band
