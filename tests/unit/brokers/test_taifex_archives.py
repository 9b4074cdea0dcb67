"""The exchange's archives without traps: a range needs only its own dates' archives, every night's closing print
at 05:00:00 is kept, a replaced archive is read again, and a trading date counts once."""

from __future__ import annotations

import json
import os
from datetime import date

import polars as pl
import pytest
from repo_paths import EXAMPLES
from taifex_fixtures import ROLL_FILES, roll_folder, row, session_rows, write_daily

from vorn_kest_backtest.brokers import TaifexBroker
from vorn_kest_backtest.brokers.taifex_import import import_taifex
from vorn_kest_backtest.cli import main
from vorn_kest_backtest.modules.ticker.ticker import Ticker

EXAMPLE = str(EXAMPLES / "taifex_txfr1.py")


def wall_texts(frame: pl.DataFrame) -> list[str]:
    return frame["ts"].cast(pl.Datetime("ns")).dt.strftime("%Y-%m-%d %H:%M:%S").to_list()


def test_a_ranges_first_trading_date_needs_only_its_own_archive(tmp_path, console):
    folder = roll_folder(tmp_path / "taifex")
    for path in folder.iterdir():
        if path.name != "Daily_2026_01_21.zip":
            path.unlink()
    ticker = Ticker(TaifexBroker(folder))
    frame = ticker.get_ticks_df("TXFR1", "Future", "2026-01-21", "2026-01-21")
    assert ticker.failed_days == []
    # The night that opens 01-21 began at 15:00 on 01-20; it is in 01-21's own archive.
    assert wall_texts(frame)[:2] == ["2026-01-20 15:00:00", "2026-01-20 23:59:59"]
    assert frame.height == 7


def saturday_close_folder(tmp_path):
    """The roll folder with the Friday night's closing print at Saturday 05:00:00 in Monday's archive."""
    folder = roll_folder(tmp_path / "taifex")
    previous, months, base = ROLL_FILES[date(2026, 1, 26)]
    rows = session_rows(date(2026, 1, 26), previous, months, base)
    rows.append(row("20260124", "TX", months[0], "050000", base + 9, 4))
    write_daily(folder, date(2026, 1, 26), rows)
    return folder


def test_the_friday_nights_closing_print_at_saturday_0500_is_replayed(tmp_path, console):
    ticker = Ticker(TaifexBroker(saturday_close_folder(tmp_path)))
    frame = ticker.get_ticks_df("TXFR1", "Future", "2026-01-26", "2026-01-26")
    assert "2026-01-24 05:00:00" in wall_texts(frame)
    assert frame.filter(pl.col("close") == 23409.0).height == 1


def test_a_one_date_futures_run_counts_one_trading_day(tmp_path, console):
    folder = saturday_close_folder(tmp_path)
    out = tmp_path / "out"
    argv = ["run", EXAMPLE, "--broker", "taifex", "--data", str(folder), "--start", "2026-01-26", "--end",
            "2026-01-26", "--output-dir", str(out), "--no-report"]
    assert main(argv) == 0
    figures = json.loads((out / "summary.json").read_text(encoding="utf-8"))["figures"]
    assert figures["trading_days"] == 1


@pytest.mark.parametrize("kind", ["zip", "csv"])
def test_an_archive_replaced_with_its_old_mtime_is_converted_again(kind, tmp_path, console):
    folder = roll_folder(tmp_path / "taifex", kinds={date(2026, 1, 21): kind})
    import_taifex(folder, progress=False)
    source = folder / f"Daily_2026_01_21.{kind}"
    before = source.stat()
    # Same size for the extracted file (one digit changed), another size for the archive; `cp -p` keeps the time.
    rows = [row("20260121", "TX", "202601", "084500", 23109 if kind == "csv" else 1.5, 2)]
    write_daily(folder, date(2026, 1, 21), rows, kind)
    if kind == "csv":
        original = [row("20260121", "TX", "202601", "084500", 23100, 2)]
        write_daily(tmp_path, date(2026, 1, 21), original, kind)
        assert (tmp_path / source.name).stat().st_size == source.stat().st_size
    os.utime(source, ns=(before.st_atime_ns, before.st_mtime_ns))
    result = import_taifex(folder, progress=False)
    assert result.converted == [date(2026, 1, 21)]
    broker = TaifexBroker(folder)
    closes = broker.ticks(contract=broker.Contracts.Futures["TX202601"], date="2026-01-21")["close"]
    assert closes == [23109.0 if kind == "csv" else 1.5]


def test_the_tick_cache_of_a_replaced_archive_is_read_again(tmp_path, console):
    folder = roll_folder(tmp_path / "taifex", kinds={date(2026, 1, 21): "csv"})
    source = folder / "Daily_2026_01_21.csv"
    write_daily(folder, date(2026, 1, 21), [row("20260121", "TX", "202601", "084500", 23100, 2)], "csv")
    first = Ticker(TaifexBroker(folder)).get_ticks_df("TX202601", "Future", "2026-01-21", "2026-01-21")
    before = source.stat()
    write_daily(folder, date(2026, 1, 21), [row("20260121", "TX", "202601", "084500", 23109, 2)], "csv")
    os.utime(source, ns=(before.st_atime_ns, before.st_mtime_ns))
    again = Ticker(TaifexBroker(folder)).get_ticks_df("TX202601", "Future", "2026-01-21", "2026-01-21")
    assert (first["close"].to_list(), again["close"].to_list()) == ([23100.0], [23109.0])
