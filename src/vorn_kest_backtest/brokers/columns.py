"""The eight tick columns a broker's ticks query answers with, in the toolkit's order."""

from __future__ import annotations

from datetime import date, datetime

TICK_COLUMNS = ("ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type")


def empty_ticks() -> dict[str, list]:
    return {name: [] for name in TICK_COLUMNS}


def parse_day(text: object) -> date:
    """A query day as the toolkit writes it, "%Y-%m-%d" exactly (it ends up in cache file names)."""
    if not isinstance(text, str):
        raise TypeError(f"date 必須是文字 (%Y-%m-%d): {text!r}")
    try:
        day = datetime.strptime(text, "%Y-%m-%d").date()
    except ValueError:
        day = None
    if day is None or day.isoformat() != text:
        raise ValueError(f"日期格式錯誤, 應為 %Y-%m-%d: {text!r}")
    return day
