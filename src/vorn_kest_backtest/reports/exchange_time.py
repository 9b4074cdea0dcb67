"""Epoch seconds <-> naive exchange wall-clock time (UTC + BASIC_INFO.utc_offset_hours)."""

from __future__ import annotations

from datetime import datetime, timedelta, timezone

from vorn_kest_backtest.constant import BASIC_INFO

DT_FORMAT = "%Y-%m-%d %H:%M:%S"


def exchange_now() -> datetime:
    return datetime.now(timezone.utc).replace(tzinfo=None) + timedelta(hours=BASIC_INFO.utc_offset_hours)


def exchange_datetime(epoch_seconds: float) -> datetime:
    """Naive exchange time of an epoch timestamp, whatever the machine's zone."""
    utc = datetime(1970, 1, 1) + timedelta(seconds=float(epoch_seconds))
    return utc + timedelta(hours=BASIC_INFO.utc_offset_hours)


def format_exchange_dt(value) -> str:
    """Text form "%Y-%m-%d %H:%M:%S" of an epoch timestamp; text and datetimes pass through."""
    if isinstance(value, datetime):
        return value.strftime(DT_FORMAT)
    if isinstance(value, str):
        return value
    return exchange_datetime(value).strftime(DT_FORMAT)
