"""Text form of exchange times in reports; the clock itself is the market module's."""

from __future__ import annotations

from datetime import datetime

from vorn_kest_backtest.modules.market.market import exchange_datetime

DT_FORMAT = "%Y-%m-%d %H:%M:%S"


def format_exchange_dt(value) -> str:
    """Text form "%Y-%m-%d %H:%M:%S" of an epoch timestamp; text and datetimes pass through."""
    if isinstance(value, datetime):
        return value.strftime(DT_FORMAT)
    if isinstance(value, str):
        return value
    return exchange_datetime(value).strftime(DT_FORMAT)
