"""Data files of the quote manager shipped inside the package."""

from __future__ import annotations

from pathlib import Path

import polars as pl

import vorn_kest_backtest

HOLIDAYS_FILE = "holidays_search_from_2017.csv"


def static_dir() -> Path:
    """The package's static data folder, wherever the package is installed."""
    return Path(vorn_kest_backtest.__file__).resolve().parent / "static"


def read_holiday_dates() -> list[str]:
    """Dates ("%Y-%m-%d") of the "Date" column of the holidays file; polars' error if unreadable."""
    table = pl.read_csv(static_dir() / HOLIDAYS_FILE, infer_schema=False)
    return table["Date"].cast(pl.Utf8).to_list()
