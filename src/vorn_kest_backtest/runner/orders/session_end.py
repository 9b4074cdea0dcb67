"""The end of the trading session an order belongs to, on the exchange clock (UTC+8)."""

from __future__ import annotations

from datetime import datetime, time, timedelta

from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.modules.market.market import exchange_datetime

STOCK_CLOSE = time(13, 30)
FUTURES_DAY_CLOSE = time(13, 45)
FUTURES_NIGHT_OPEN = time(15, 0)
FUTURES_NIGHT_CLOSE = time(5, 0)
_EPOCH = datetime(1970, 1, 1)


def _epoch_seconds(moment: datetime) -> float:
    return (moment - timedelta(hours=BASIC_INFO.utc_offset_hours) - _EPOCH).total_seconds()


def session_end(timestamp: float, product_type: str) -> float:
    """Epoch seconds at which the session of `timestamp` closes (the next close at or after it).

    Stocks close at 13:30; futures at 13:45 (day) and 05:00 (night, the next calendar day).
    """
    moment = exchange_datetime(timestamp)
    day, clock = moment.date(), moment.time()
    if product_type == "Stock":
        close_day = day if clock <= STOCK_CLOSE else day + timedelta(days=1)
        return _epoch_seconds(datetime.combine(close_day, STOCK_CLOSE))
    if clock <= FUTURES_NIGHT_CLOSE:
        return _epoch_seconds(datetime.combine(day, FUTURES_NIGHT_CLOSE))
    if clock <= FUTURES_DAY_CLOSE:
        return _epoch_seconds(datetime.combine(day, FUTURES_DAY_CLOSE))
    return _epoch_seconds(datetime.combine(day + timedelta(days=1), FUTURES_NIGHT_CLOSE))
