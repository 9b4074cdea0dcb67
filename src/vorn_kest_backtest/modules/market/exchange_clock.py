"""The exchange clock's present time."""

from __future__ import annotations

import datetime as dt
import time

from vorn_kest_backtest._core.market import exchange_datetime


def exchange_now() -> dt.datetime:
    """交易所時鐘的現在時間 (不帶時區)."""
    return exchange_datetime(time.time())
