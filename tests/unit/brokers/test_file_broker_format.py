"""The file broker's time column: zoned date-times become Taipei wall clock; a shifted stock clock is flagged."""

from __future__ import annotations

from datetime import UTC, datetime

import polars as pl
import pytest

from vorn_kest_backtest.brokers import FileBroker
from vorn_kest_backtest.brokers.columns import TICK_COLUMNS

NINE_TAIPEI_NS = int(datetime(2024, 3, 5, 9, 0, 0, 250000, tzinfo=UTC).timestamp() * 1e6) * 1000
HOUR_NS = 3600 * 1_000_000_000


def write_day(folder, times: list[str], time_column: str = "ts") -> FileBroker:
    rows = pl.DataFrame({name: ["1"] * len(times) for name in TICK_COLUMNS if name != "ts"})
    rows = rows.with_columns(pl.Series(time_column, times))
    (folder / "2330").mkdir(exist_ok=True)
    rows.write_csv(folder / "2330" / "2024-03-05.csv")
    return FileBroker(folder)


@pytest.mark.parametrize(
    "text",
    [
        "2024-03-05T01:00:00.25Z",
        "2024-03-05T01:00:00.250000+00:00",
        "2024-03-05 09:00:00.250+08:00",
        "2024-03-04 20:00:00.250-05:00",
        "2024-03-05T09:00:00.250",
    ],
)
def test_zoned_date_time_text_becomes_taipei_wall_clock(tmp_path, text):
    files = write_day(tmp_path, [text])
    assert files.ticks(contract=files.Contracts.Stocks["2330"], date="2024-03-05")["ts"] == [NINE_TAIPEI_NS]


def test_a_datetime_column_stands_in_for_ts(tmp_path):
    files = write_day(tmp_path, ["2024-03-05T01:00:00.25Z"], time_column="datetime")
    assert files.ticks(contract=files.Contracts.Stocks["2330"], date="2024-03-05")["ts"] == [NINE_TAIPEI_NS]


@pytest.mark.parametrize(("shift_hours", "warned"), [(0, False), (-8, True)])
def test_a_stock_day_mostly_outside_its_session_is_warned_about(tmp_path, console, shift_hours, warned):
    stamps = [str(NINE_TAIPEI_NS + (minutes * 60_000_000_000) + shift_hours * HOUR_NS) for minutes in (0, 60, 200)]
    files = write_day(tmp_path, stamps)
    files.ticks(contract=files.Contracts.Stocks["2330"], date="2024-03-05")
    lines = [line for line in console.lines if "09:00-13:30" in line]
    assert bool(lines) is warned
    assert all(line.startswith("[yellow]") and "2024-03-05.csv" in line and "3/3" in line for line in lines)
