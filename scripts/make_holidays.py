"""Regenerates the exchange holiday table shipped with the package.

Run once in a throw-away environment that has exchange_calendars (the runtime never needs it):

    python -m venv /tmp/cal && /tmp/cal/bin/pip install exchange_calendars
    /tmp/cal/bin/python scripts/make_holidays.py 2027-12-31

A holiday here is a weekday on which the Taiwan exchange is closed.
"""

from __future__ import annotations

import csv
import sys
from pathlib import Path

import exchange_calendars as xcals
import pandas as pd

FIRST_DAY = "2017-01-01"
TARGET = Path(__file__).resolve().parents[1] / "src" / "vorn_kest_backtest" / "static" / "holidays_search_from_2017.csv"


def closed_weekdays(last_day: str) -> list[str]:
    calendar = xcals.get_calendar("XTAI", start=FIRST_DAY, end=last_day)
    sessions = set(calendar.sessions.strftime("%Y-%m-%d"))
    weekdays = pd.bdate_range(FIRST_DAY, last_day).strftime("%Y-%m-%d")
    return [day for day in weekdays if day not in sessions]


def main() -> None:
    last_day = sys.argv[1] if len(sys.argv) > 1 else f"{pd.Timestamp.today().year + 1}-12-31"
    with TARGET.open("w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["Date"])
        writer.writerows([day] for day in closed_weekdays(last_day))
    print(f"wrote {TARGET}")


if __name__ == "__main__":
    main()
