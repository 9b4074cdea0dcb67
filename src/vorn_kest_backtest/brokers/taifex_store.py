"""Fast copies of the daily files: one Parquet per trading day under "<folder>/vorn_parquet/".

A copy carries its source's modification time; it is current while the source still has that time, so a
re-downloaded file is converted again and an unchanged one never is.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from datetime import date

from vorn_kest_backtest.brokers.taifex_daily_file import day_session_present, read_daily_file

CONVERTED_FOLDER = "vorn_parquet"


def converted_path(folder: str, trading_day: date) -> str:
    return os.path.join(folder, CONVERTED_FOLDER, f"Daily_{trading_day:%Y_%m_%d}.parquet")


def is_current(converted: str, source: str) -> bool:
    try:
        return os.stat(converted).st_mtime_ns == os.stat(source).st_mtime_ns
    except OSError:
        return False


def convert_day(folder: str, trading_day: date, source: str) -> bool:
    """Writes the copy of one day atomically; returns whether the file holds the day session."""
    frame = read_daily_file(source)
    target = converted_path(folder, trading_day)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    temp = f"{target}.tmp-{os.getpid()}"
    try:
        frame.write_parquet(temp)
        source_time = os.stat(source).st_mtime_ns
        os.utime(temp, ns=(source_time, source_time))
        os.replace(temp, target)
    finally:
        if os.path.exists(temp):
            os.remove(temp)
    return day_session_present(frame, trading_day)


@dataclass
class ImportResult:
    """What one import did: days converted, days already current, days refused with their errors."""

    converted: list[date] = field(default_factory=list)
    current: list[date] = field(default_factory=list)
    night_only: list[date] = field(default_factory=list)
    failed: dict[date, str] = field(default_factory=dict)
