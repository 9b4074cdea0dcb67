"""Fast copies of the daily files: one Parquet per trading day under "<folder>/vorn_parquet/".

Each copy keeps its source's size, modification time and content hash in its metadata; the copy is current
while all three still match, so a re-downloaded file is converted again (also one copied over with its old
time kept, as `cp -p` and `rsync -t` do) and an unchanged one never is.
"""

from __future__ import annotations

import hashlib
import os
from dataclasses import dataclass, field
from datetime import date

import polars as pl

from vorn_kest_backtest.brokers.taifex_daily_file import day_session_present, read_daily_file

CONVERTED_FOLDER = "vorn_parquet"
SOURCE_KEY = "vorn_source"
# Content hashes of files whose size, times and inode are unchanged since they were hashed in this process:
# writing a file's content always moves its change time (ctime), which no tool sets back.
_hashes: dict[tuple[str, int, int, int, int], str] = {}


def converted_path(folder: str, trading_day: date) -> str:
    return os.path.join(folder, CONVERTED_FOLDER, f"Daily_{trading_day:%Y_%m_%d}.parquet")


def content_hash(path: str) -> str:
    """A hash of the file's bytes (BLAKE2b, 128 bits, hex)."""
    stat = os.stat(path)
    key = (path, stat.st_size, stat.st_mtime_ns, stat.st_ctime_ns, stat.st_ino)
    if key not in _hashes:
        with open(path, "rb") as stream:
            _hashes[key] = hashlib.file_digest(stream, lambda: hashlib.blake2b(digest_size=16)).hexdigest()
    return _hashes[key]


def fingerprint(source: str) -> str:
    """Size, modification time (ns) and content hash of a daily file, as one text."""
    stat = os.stat(source)
    return f"{stat.st_size} {stat.st_mtime_ns} {content_hash(source)}"


def is_current(converted: str, source: str) -> bool:
    try:
        kept = pl.read_parquet_metadata(converted).get(SOURCE_KEY)
    except Exception:
        # Missing, unreadable or from a version that kept no fingerprint: converted again.
        return False
    return kept == fingerprint(source)


def convert_day(folder: str, trading_day: date, source: str) -> bool:
    """Writes the copy of one day atomically; returns whether the file holds the day session."""
    stamp = fingerprint(source)
    frame = read_daily_file(source)
    target = converted_path(folder, trading_day)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    temp = f"{target}.tmp-{os.getpid()}"
    try:
        frame.write_parquet(temp, metadata={SOURCE_KEY: stamp})
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
