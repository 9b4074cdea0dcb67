"""The file broker takes the user's data as it comes: minimal columns, empty quotes, one file for many days."""

from __future__ import annotations

import polars as pl
import pytest
from fake_sdk import COLUMNS, wall_ns

from vorn_kest_backtest.brokers import FileBroker
from vorn_kest_backtest.modules.ticker.ticker import Ticker

ONE = [{"code": "2330", "market": "Stock"}]
DAYS = ("2024-03-05", "2024-03-06", "2024-03-07")


def write(path, lines: list[str]):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(lines) + "\n")
    return path


def combined(folder, start: str = DAYS[0], end: str = DAYS[-1]) -> tuple[Ticker, pl.DataFrame]:
    ticker = Ticker(FileBroker(folder))
    return ticker, ticker._Ticker__process_and_combine_ticks(ONE, start, end)


def cached(data_dir, day: str) -> pl.DataFrame:
    [path] = data_dir.glob(f"kest/sources/*/2330 {day} - ticks.csv")
    return pl.read_csv(path)


def test_a_file_with_ts_close_and_volume_replays_without_quotes(tmp_path, data_dir, console):
    write(tmp_path / "mine" / "2330" / f"{DAYS[0]}.csv",
          ["ts,close,volume", f"{wall_ns(DAYS[0], 9)},580.0,3", f"{wall_ns(DAYS[0], 9, 1)},581.0,2"])
    ticker, frame = combined(tmp_path / "mine", DAYS[0], DAYS[0])
    assert ticker.failed_days == []
    assert frame["close"].to_list() == [580.0, 581.0] and frame["volume"].to_list() == [3, 2]
    assert frame["bid_price"].null_count() == 2 and frame["tick_type"].to_list() == [0, 0]
    assert cached(data_dir, DAYS[0]).columns == list(COLUMNS)


def test_without_a_volume_column_each_tick_counts_one_and_a_note_says_so(tmp_path, console):
    path = write(tmp_path / "mine" / "2330" / f"{DAYS[0]}.csv", ["datetime,close", f"{DAYS[0]} 09:00:00,580"])
    ticker, frame = combined(tmp_path / "mine", DAYS[0], DAYS[0])
    assert frame["volume"].to_list() == [1]
    assert any(line.startswith("[yellow]") and str(path) in line and "volume" in line for line in console.lines)


@pytest.mark.parametrize("kind", ["csv", "parquet"])
def test_empty_quotes_and_side_are_unknown_not_a_failed_day(kind, tmp_path, data_dir, console):
    path = tmp_path / "mine" / "2330" / f"{DAYS[0]}.{kind}"
    if kind == "csv":
        write(path, [",".join(COLUMNS), f"{wall_ns(DAYS[0], 9)},580.0,1,,,,,",
                     f"{wall_ns(DAYS[0], 9, 1)},581.0,1,580.5,2,,,1"])
    else:
        path.parent.mkdir(parents=True)
        pl.DataFrame(
            {"ts": [wall_ns(DAYS[0], 9), wall_ns(DAYS[0], 9, 1)], "close": [580.0, 581.0], "volume": [1, 1],
             "bid_price": [None, 580.5], "bid_volume": [None, 2], "ask_price": [None, None],
             "ask_volume": [None, None], "tick_type": [None, 1]},
            schema=dict.fromkeys(COLUMNS, pl.Int64) | dict.fromkeys(("close", "bid_price", "ask_price"), pl.Float64),
        ).write_parquet(path)
    ticker, frame = combined(tmp_path / "mine", DAYS[0], DAYS[0])
    assert ticker.failed_days == []
    assert frame["bid_price"].to_list() == [None, 580.5] and frame["tick_type"].to_list() == [0, 1]
    # The cache keeps the unknown quotes unknown and serves them back alike.
    again = Ticker(FileBroker(tmp_path / "mine"))._Ticker__process_and_combine_ticks(ONE, DAYS[0], DAYS[0])
    assert again.equals(frame)


def many_days(tmp_path, kind: str, closes: dict[str, list[object]]):
    """"2330.<kind>" holding every day of `closes`, rows of the last day first (files need not be in order)."""
    rows = [(wall_ns(day, 9, minute), close) for day, values in closes.items() for minute, close in enumerate(values)]
    rows = rows[-2:] + rows[:-2]
    path = tmp_path / "mine" / f"2330.{kind}"
    path.parent.mkdir(parents=True, exist_ok=True)
    frame = pl.DataFrame({"ts": [ts for ts, _ in rows], "close": [str(close) for _, close in rows],
                          "volume": [1] * len(rows)})
    if kind == "csv":
        frame.write_csv(path)
    else:
        frame.with_columns(pl.col("close").cast(pl.Float64, strict=False)).write_parquet(path)
    return path


@pytest.mark.parametrize("kind", ["csv", "parquet"])
def test_one_file_per_code_serves_each_of_its_days_in_time_order(kind, tmp_path, console):
    many_days(tmp_path, kind, {DAYS[0]: [580.0, 581.0], DAYS[1]: [590.0], DAYS[2]: [600.0, 601.0]})
    ticker, frame = combined(tmp_path / "mine")
    assert ticker.failed_days == []
    assert frame["close"].to_list() == [580.0, 581.0, 590.0, 600.0, 601.0]
    broker = FileBroker(tmp_path / "mine")
    assert broker.ticks(contract=broker.Contracts.Stocks["2330"], date=DAYS[2])["close"] == [600.0, 601.0]


@pytest.mark.parametrize(("bad", "problem"), [("0", "成交價必須是大於 0 的有限數值"), ("abc", "欄位 close")])
def test_a_bad_row_of_a_many_day_file_fails_its_day_naming_the_files_row(bad, problem, tmp_path, data_dir, console):
    path = many_days(tmp_path, "csv", {DAYS[0]: [580.0], DAYS[1]: [590.0, bad], DAYS[2]: [600.0, 601.0]})
    ticker, frame = combined(tmp_path / "mine")
    assert frame["close"].to_list() == [580.0, 600.0, 601.0]
    [failed] = ticker.failed_days
    # The file holds the last day's two rows first: the bad close is the file's fifth row.
    assert failed["date"] == DAYS[1] and str(path) in failed["reason"] and "第 5 筆" in failed["reason"]
    assert problem in failed["reason"]
    assert sorted(p.name for p in data_dir.glob("kest/sources/*/*.csv")) == [
        f"2330 {DAYS[0]} - ticks.csv", f"2330 {DAYS[2]} - ticks.csv"]


def test_a_file_without_a_close_column_fails_its_day_naming_the_column(tmp_path, console):
    path = write(tmp_path / "mine" / "2330" / f"{DAYS[0]}.csv", ["ts,volume", f"{wall_ns(DAYS[0], 9)},1"])
    ticker, _ = combined(tmp_path / "mine", DAYS[0], DAYS[0])
    [failed] = ticker.failed_days
    assert str(path) in failed["reason"] and "缺少欄位: close" in failed["reason"]


def test_a_day_in_both_its_own_file_and_the_codes_file_is_refused_naming_both(tmp_path, console):
    many = many_days(tmp_path, "csv", {DAYS[0]: [580.0]})
    own = write(tmp_path / "mine" / "2330" / f"{DAYS[0]}.csv", ["ts,close", f"{wall_ns(DAYS[0], 10)},1.0"])
    broker = FileBroker(tmp_path / "mine")
    with pytest.raises(ValueError, match="多個") as raised:
        broker.ticks(contract=broker.Contracts.Stocks["2330"], date=DAYS[0])
    assert str(many) in str(raised.value) and str(own) in str(raised.value)
