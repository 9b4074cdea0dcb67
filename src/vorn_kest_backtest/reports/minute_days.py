"""A long run's 1-minute bars beside its standard report: one small script file a calendar day, which the page loads
with a <script> tag when the day is chosen (a page opened from file:// may not fetch, but it may load scripts).

Each file assigns compact columns into window.vkbMinuteDays["YYYY-MM-DD"]:
  t: minutes after midnight, the first one whole and the rest as steps from the one before;
  c: closes as whole numbers of 1/s, the first whole and the rest as steps; o/h/l: open, high and low less the close;
  v: volumes;
  et/e/es: the day's marked equity, the last sample of each minute, in the same way (minutes, steps of 1/es).
"""

from __future__ import annotations

import json
import os
import shutil
import uuid
from collections.abc import Callable
from datetime import datetime

import numpy as np
import polars as pl

from vorn_kest_backtest.modules.market.market import exchange_datetime

FOLDER_SUFFIX = "_minutes"
GLOBAL_NAME = "vkbMinuteDays"
# Exchange prices have at most a few decimals; a made-up price with more is kept to 6.
PRICE_DIGITS = 6
EQUITY_DIGITS = 2
DAY_MINUTES = 1440


def minute_folder(report_path: str) -> str:
    """The folder of day files beside a report: TXFR1-report.html -> TXFR1-report_minutes."""
    return os.path.splitext(report_path)[0] + FOLDER_SUFFIX


def scaled(values: np.ndarray, most_digits: int) -> tuple[int, np.ndarray]:
    """The smallest power of ten (up to most_digits decimals) that makes every value whole, and the whole numbers."""
    for digits in range(most_digits + 1):
        scale = 10**digits
        whole = np.round(values * scale)
        if np.all(np.abs(values * scale - whole) <= 1e-9 * np.maximum(1.0, np.abs(whole))):
            break
    return scale, whole.astype(np.int64)


def _steps(values: np.ndarray, starts: np.ndarray) -> np.ndarray:
    """Each value less the one before it, except at a day's start, where it is whole."""
    steps = np.diff(values, prepend=values[:1])
    steps[starts] = values[starts]
    return steps


def _day_slices(day_index: np.ndarray) -> tuple[np.ndarray, list[tuple[int, int, int]]]:
    """Where each day starts in a sorted array of day numbers, and (day, start, end) of each."""
    starts = np.flatnonzero(np.r_[True, day_index[1:] != day_index[:-1]]) if len(day_index) else np.zeros(0, int)
    ends = np.r_[starts[1:], len(day_index)]
    return starts, [(int(day_index[s]), int(s), int(e)) for s, e in zip(starts, ends, strict=True)]


def _equity_columns(samples) -> dict[int, dict[str, object]]:
    """The marked equity's last sample of each exchange-clock minute, in columns by day number."""
    if not len(samples):
        return {}
    pairs = np.asarray(samples, dtype=np.float64).reshape(-1, 2)
    offset = (exchange_datetime(0.0) - datetime(1970, 1, 1)).total_seconds()
    minutes = np.floor((pairs[:, 0] + offset) / 60).astype(np.int64)
    last = np.r_[minutes[1:] != minutes[:-1], True]
    minutes, equity = minutes[last], pairs[last, 1]
    scale, whole = scaled(equity, EQUITY_DIGITS)
    starts, days = _day_slices(minutes // DAY_MINUTES)
    times, steps = _steps(minutes % DAY_MINUTES, starts), _steps(whole, starts)
    return {day: {"es": scale, "et": times[s:e].tolist(), "e": steps[s:e].tolist()} for day, s, e in days}


def day_columns(minute: pl.DataFrame, samples=()) -> dict[str, dict[str, object]]:
    """{"YYYY-MM-DD": columns} of every calendar day with 1-minute bars (sorted by time), in date order."""
    if minute.height == 0:
        return {}
    # Bars are stamped with the exchange's wall clock, so whole minutes since 1970 split into days at midnight.
    minutes = minute["dt"].dt.epoch("s").to_numpy() // 60
    starts, days = _day_slices(minutes // DAY_MINUTES)
    prices = np.column_stack([minute[name].to_numpy().astype(np.float64) for name in ("Open", "High", "Low", "Close")])
    scale, whole = scaled(prices, PRICE_DIGITS)
    close = whole[:, 3]
    columns = {"t": _steps(minutes % DAY_MINUTES, starts), "c": _steps(close, starts), "o": whole[:, 0] - close,
               "h": whole[:, 1] - close, "l": whole[:, 2] - close,
               "v": np.round(minute["Volume"].to_numpy().astype(np.float64)).astype(np.int64)}
    equity = _equity_columns(samples)
    return {str(np.datetime64(day, "D")): {"s": scale, **{k: v[s:e].tolist() for k, v in columns.items()},
                                           **equity.get(day, {})}
            for day, s, e in days}


def day_script(day: str, columns: dict[str, object]) -> str:
    data = json.dumps(columns, separators=(",", ":"))
    return f'(window.{GLOBAL_NAME}=window.{GLOBAL_NAME}||{{}})["{day}"]={data};\n'


def replace_folder(target: str, fill: Callable[[str], None]) -> None:
    """Fills a new folder beside `target`, then puts it in target's place: a reader never sees half of either."""
    fresh = f"{target}.{uuid.uuid4().hex[:8]}.tmp"
    os.mkdir(fresh)
    try:
        fill(fresh)
    except BaseException:
        shutil.rmtree(fresh, ignore_errors=True)
        raise
    stale = f"{target}.{uuid.uuid4().hex[:8]}.old"
    if os.path.isdir(target):
        os.rename(target, stale)
    os.rename(fresh, target)
    shutil.rmtree(stale, ignore_errors=True)


def write_minute_days(report_path: str, minute: pl.DataFrame, samples=()) -> list[str]:
    """Writes the day files of every day of `minute` beside the report (the old folder replaced whole); returns
    the days in date order."""
    days = day_columns(minute, samples)

    def fill(folder: str) -> None:
        for day, columns in days.items():
            with open(os.path.join(folder, day + ".js"), "w", encoding="utf-8") as file:
                file.write(day_script(day, columns))

    replace_folder(minute_folder(report_path), fill)
    return list(days)


def remove_minute_days(report_path: str) -> None:
    """A report drawn in 1-minute bars has no day files: a folder left by an earlier, longer report goes."""
    shutil.rmtree(minute_folder(report_path), ignore_errors=True)
