"""Combining several codes over days: order, markets, failed days."""

from __future__ import annotations

import json

import polars as pl
import pytest
from fake_sdk import COLUMNS, FakeSdk
from polars.testing import assert_frame_equal

from vorn_kest_backtest import utils
from vorn_kest_backtest.modules.ticker.ticker import Ticker

NOT_LOGGED_IN = "Kestor API 尚未初始化, 請先登入Kestor API"
STOCKS = [{"code": "2330", "market": "Stock"}, {"code": "2317", "market": "Stock"}]


class ErrorLog:
    def __init__(self) -> None:
        self.entries: list[dict] = []

    def error(self, text: str) -> None:
        self.entries.append(json.loads(text))


@pytest.fixture
def error_log(monkeypatch) -> ErrorLog:
    log = ErrorLog()
    monkeypatch.setattr(utils, "logger", log)
    return log


@pytest.mark.parametrize("codes, start, end", [([], "2024-01-02", "2024-01-03"), (STOCKS, "2024-01-03", "2024-01-02")])
def test_nothing_to_combine_gives_the_nine_column_frame(codes, start, end, console):
    df = Ticker(FakeSdk())._Ticker__process_and_combine_ticks(codes, start, end)
    assert df.height == 0
    assert df.schema == pl.Schema({**dict(Ticker(None).tick_df_schema), "code": pl.String})


def test_equal_times_are_ordered_by_code_and_markets_recorded(console):
    sdk = FakeSdk()
    ticker = Ticker(sdk)
    codes = [*STOCKS, {"code": "TXFR1", "market": "Future"}]
    df = ticker._Ticker__process_and_combine_ticks(codes, "2024-01-02", "2024-01-03")
    assert df.columns == [*COLUMNS, "code"]
    assert df.height == 18
    assert df["code"].to_list()[:3] == ["2317", "2330", "TXFR1"]
    assert df.select(pl.col("ts").diff().min()).item() == 0
    assert_frame_equal(df.sort(["ts", "code"]), df)
    assert ticker.code_market_map == {"2330": "Stock", "2317": "Stock", "TXFR1": "Future"}
    assert console.lines[0] == "[yellow]正在取得 2330 2024-01-02 的 Tick 資料...[/yellow]"


def test_failed_days_are_logged_reported_and_skipped(console, error_log):
    sdk = FakeSdk(failing_days={"2024-01-03"})
    df = Ticker(sdk)._Ticker__process_and_combine_ticks(STOCKS[:1], "2024-01-02", "2024-01-04")
    days = df["ts"].cast(pl.Datetime("ns")).dt.strftime("%Y-%m-%d").to_list()
    assert sorted(set(days)) == ["2024-01-02", "2024-01-04"]
    assert "[red]下載 2330 2024-01-03 的 Tick 資料失敗, 錯誤訊息: server error on 2024-01-03[/red]" in console.lines
    [entry] = error_log.entries
    assert entry["error"] == "server error on 2024-01-03"
    assert "RuntimeError" in entry["traceback"]
    assert entry["data"]["code"] == "2330" and entry["data"]["date"] == "2024-01-03"
    assert isinstance(entry["data"]["timestamp"], float)


def test_missing_login_is_one_line_per_code_and_cached_days_still_count(console, error_log):
    Ticker(FakeSdk()).fetch_kest_history_ticks("2330", "Stock", "2024-01-03", "2024-01-03")
    console.lines.clear()
    df = Ticker(FakeSdk(logged_in=False))._Ticker__process_and_combine_ticks(STOCKS, "2024-01-02", "2024-01-05")
    assert df["code"].unique().to_list() == ["2330"] and df.height == 3
    failures = [line for line in console.lines if "失敗" in line]
    assert failures == [
        f"[red]下載 2330 2024-01-02 的 Tick 資料失敗, 錯誤訊息: {NOT_LOGGED_IN}[/red]",
        f"[red]下載 2317 2024-01-02 的 Tick 資料失敗, 錯誤訊息: {NOT_LOGGED_IN}[/red]",
    ]
    assert len(error_log.entries) == 7
    assert "NotLoggedInError" in error_log.entries[0]["traceback"]


def test_unsafe_code_fails_its_days_without_touching_files(console, error_log, data_dir):
    df = Ticker(FakeSdk())._Ticker__process_and_combine_ticks(
        [{"code": "../x", "market": "Stock"}], "2024-01-02", "2024-01-02")
    assert df.height == 0
    assert "../x" in error_log.entries[0]["error"]
    assert not (data_dir / "kest").exists()


def test_get_ticks_df_is_the_one_code_combination(console):
    ticker = Ticker(FakeSdk())
    df = ticker.get_ticks_df("TXFR1", "Future", "2024-01-02", "2024-01-03")
    assert df.height == 6 and ticker.code_market_map == {"TXFR1": "Future"}
