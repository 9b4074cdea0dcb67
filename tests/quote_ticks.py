"""Tick records on the exchange clock (UTC+8) for the quote tests."""

from __future__ import annotations

from datetime import datetime

EPOCH = datetime(1970, 1, 1)


def ts(local: datetime) -> float:
    return (local - EPOCH).total_seconds() - 8 * 3600


def tick(local: datetime, close: float = 100.0, qty: int = 1, code: str = "2330", market: str = "Stock",
         is_simulate: bool = False, tick_type: int = 1) -> dict:
    return {
        "timestamp": ts(local),
        "market_type": market,
        "code": code,
        "close": close,
        "qty": qty,
        "tick_type": tick_type,
        "is_simulate": is_simulate,
        "is_backfilling": False,
    }
