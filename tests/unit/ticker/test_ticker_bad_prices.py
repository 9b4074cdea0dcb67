"""A trade price of 0 or below, or not finite, fails its day in every source: named, never cached, never replayed."""

from __future__ import annotations

import math
from datetime import date

import polars as pl
import pytest
from fake_sdk import COLUMNS, FakeSdk, wall_ns
from taifex_fixtures import roll_folder, row, write_daily

from vorn_kest_backtest.brokers import FileBroker, SimulatedBroker, TaifexBroker
from vorn_kest_backtest.cli import main
from vorn_kest_backtest.modules.ticker.ticker import Ticker

ONE = [{"code": "2330", "market": "Stock"}]
DAYS = ("2024-01-02", "2024-01-03", "2024-01-04")
BAD_DAY = "2024-01-03"


def user_day(folder, day: str, closes: list[object], kind: str = "csv"):
    """A user's file "<code>/<day>.csv" (or .parquet), one tick a minute from 09:00."""
    path = folder / "2330" / f"{day}.{kind}"
    path.parent.mkdir(parents=True, exist_ok=True)
    rows = [[wall_ns(day, 9, n), close, 1, 99.5, 2, 100.5, 3, 1] for n, close in enumerate(closes)]
    if kind == "parquet":
        frame = pl.DataFrame(rows, schema=list(COLUMNS), orient="row")
        frame.with_columns(pl.col("close").cast(pl.Float64)).write_parquet(path)
    else:
        path.write_text("\n".join([",".join(COLUMNS), *(",".join(map(str, r)) for r in rows)]) + "\n")
    return path


def cached_days(data_dir) -> list[str]:
    return sorted(path.name for path in data_dir.glob("kest/**/2330 *.csv"))


def combined(ticker: Ticker, start: str = DAYS[0], end: str = DAYS[-1]) -> pl.DataFrame:
    return ticker._Ticker__process_and_combine_ticks(ONE, start, end)


@pytest.mark.parametrize("kind", ["csv", "parquet"])
@pytest.mark.parametrize("bad", [0.0, -5.0, math.inf, math.nan])
def test_a_bad_price_in_a_user_file_fails_its_day_naming_the_file_and_row(bad, kind, tmp_path, data_dir, console):
    folder = tmp_path / "mine"
    for day in DAYS:
        path = user_day(folder, day, [100.0, bad, 101.0] if day == BAD_DAY else [100.0, 100.5, 101.0], kind)
        if day == BAD_DAY:
            bad_file = path
    ticker = Ticker(FileBroker(folder))
    frame = combined(ticker)
    assert frame.height == 6 and BAD_DAY not in {t[:10] for t in frame["ts"].cast(pl.Datetime("ns")).cast(str)}
    assert frame["close"].min() > 0
    [failed] = ticker.failed_days
    assert (failed["code"], failed["date"]) == ("2330", BAD_DAY)
    assert str(bad_file) in failed["reason"] and "第 2 筆" in failed["reason"]
    assert cached_days(data_dir) == ["2330 2024-01-02 - ticks.csv", "2330 2024-01-04 - ticks.csv"]
    # Nothing of the day was kept: the next run fails it again, from the source.
    again = Ticker(FileBroker(folder))
    assert combined(again).height == 6 and [d["date"] for d in again.failed_days] == [BAD_DAY]


def test_the_message_says_what_the_price_should_be_and_what_it_was(tmp_path, data_dir, console):
    folder = tmp_path / "mine"
    path = user_day(folder, BAD_DAY, [100.0, 100.5, 0])
    ticker = Ticker(FileBroker(folder))
    combined(ticker, BAD_DAY, BAD_DAY)
    assert ticker.failed_days[0]["reason"] == f"{path} 第 3 筆: 成交價必須是大於 0 的有限數值, 實際為 0.0"
    assert any(line.startswith(f"[red]下載 2330 {BAD_DAY} 的 Tick 資料失敗") and str(path) in line
               for line in console.lines)


def spoiled(broker, row: int, price: float):
    """`broker` with the close of row `row` (0-based) of BAD_DAY replaced by `price`."""
    fetch = broker.ticks

    def ticks(contract, date):
        data = fetch(contract, date)
        if date == BAD_DAY:
            data["close"][row] = price
        return data

    broker.ticks = ticks
    return broker


@pytest.mark.parametrize("bad", [0.0, -1.0, math.nan, -math.inf])
@pytest.mark.parametrize(("source", "named"), [(lambda: SimulatedBroker(ticks_per_day=20), "SimulatedBroker"),
                                              (FakeSdk, "FakeSdk")])
def test_a_bad_price_from_any_source_fails_its_day_before_the_cache(source, named, bad, data_dir, console):
    ticker = Ticker(spoiled(source(), 1, bad))
    frame = combined(ticker)
    assert frame.height > 0 and frame["close"].min() > 0
    [failed] = ticker.failed_days
    assert failed["date"] == BAD_DAY
    assert failed["reason"] == f"{named} 2330 {BAD_DAY} 第 2 筆: 成交價必須是大於 0 的有限數值, 實際為 {bad!r}"
    assert cached_days(data_dir) == ["2330 2024-01-02 - ticks.csv", "2330 2024-01-04 - ticks.csv"]


def test_a_direct_history_fetch_refuses_the_bad_day_and_caches_only_the_days_before(data_dir, console):
    with pytest.raises(ValueError, match=f"2330 {BAD_DAY} 第 2 筆: 成交價必須是大於 0 的有限數值, 實際為 -1.0"):
        Ticker(spoiled(FakeSdk(), 1, -1.0)).fetch_kest_history_ticks("2330", "Stock", DAYS[0], DAYS[-1])
    assert cached_days(data_dir) == ["2330 2024-01-02 - ticks.csv"]


@pytest.mark.parametrize(("bad", "shown"), [("0", "'0'"), ("-23100", "'-23100'"), ("inf", "'inf'")])
def test_a_bad_price_in_an_exchange_file_fails_the_day_naming_the_file_and_line(bad, shown, tmp_path, data_dir,
                                                                                console):
    folder = roll_folder(tmp_path / "taifex")
    rows = [row("20260121", "TX", "202601", "084500", 23100, 2), row("20260121", "TX", "202601", "090000", bad, 2)]
    path = write_daily(folder, date(2026, 1, 21), rows)
    ticker = Ticker(TaifexBroker(folder))
    futures = [{"code": "TXFR1", "market": "Future"}]
    frame = ticker._Ticker__process_and_combine_ticks(futures, "2026-01-21", "2026-01-22")
    assert frame.height > 0 and frame["close"].min() > 0
    reasons = [day["reason"] for day in ticker.failed_days]
    assert reasons and all(str(path) in reason and "第 3 行" in reason and shown in reason for reason in reasons)
    assert not [p for p in data_dir.glob("kest/**/TXFR1 2026-01-21 - ticks.csv")]


@pytest.mark.parametrize("bad", ["0.0", "-3.5", "nan", "inf"])
def test_a_cache_file_with_a_bad_price_from_an_older_version_fails_its_day(bad, data_dir, console):
    path = data_dir / "kest" / "ticks" / "2330 2024-01-02 - ticks.csv"
    path.parent.mkdir(parents=True)
    rows = [f"{wall_ns('2024-01-02', 9, n)},{close},1,99.5,2,100.5,3,1" for n, close in enumerate(["100.0", bad])]
    path.write_text("\n".join([",".join(COLUMNS), *rows]) + "\n")
    sdk = FakeSdk()
    ticker = Ticker(sdk)
    assert combined(ticker, "2024-01-02", "2024-01-03").height == 3
    [failed] = ticker.failed_days
    assert failed["date"] == "2024-01-02"
    assert str(path) in failed["reason"] and "第 3 行" in failed["reason"] and "成交價必須是大於 0" in failed["reason"]
    assert [date for _, date in sdk.calls] == ["2024-01-03"]


def test_a_frame_with_a_bad_price_is_never_replayed(console):
    ticker = Ticker(FakeSdk())
    frame = combined(ticker, "2024-01-02", "2024-01-02").with_columns(
        pl.when(pl.int_range(pl.len()) == 1).then(0.0).otherwise(pl.col("close")).alias("close"))
    with pytest.raises(ValueError, match="第 2 筆無法回放: 成交價必須是大於 0 的有限數值, 實際為 0.0"):
        ticker._Ticker__push_tick_to_queue(frame)


STRATEGY = '''
from vorn_kest_backtest.runner import Strategy


class Hold(Strategy):
    codes = [("2330", "Stock")]
    start = "2024-01-02"
    end = "2024-01-04"

    def on_tick(self, tick, ctx):
        if not ctx.positions("2330"):
            ctx.buy("2330", 5)
'''


@pytest.mark.parametrize(("allow", "status"), [(False, 3), (True, 0)])
def test_a_zero_price_in_a_user_file_fails_the_run_through_the_cli(allow, status, tmp_path, data_dir, console):
    folder = tmp_path / "mine"
    for day in DAYS:
        path = user_day(folder, day, [100.0, 0.0 if day == BAD_DAY else 100.5, 101.0])
        if day == BAD_DAY:
            bad_file = path
    strategy = tmp_path / "hold.py"
    strategy.write_text(STRATEGY)
    argv = ["--data-dir", str(data_dir), "run", str(strategy), "--broker", "files", "--data", str(folder)]
    assert main(argv + (["--allow-missing-days"] if allow else [])) == status
    block = next(line for line in console.lines if "無法載入" in line)
    assert f"2330 {BAD_DAY}" in block and str(bad_file) in block and "第 2 筆" in block
