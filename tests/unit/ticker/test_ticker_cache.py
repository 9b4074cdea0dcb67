"""Download and per-day cache: what is fetched, what is written, what is read back."""

from __future__ import annotations

from datetime import datetime, timedelta
from pathlib import Path

import polars as pl
import pytest
from fake_sdk import COLUMNS, FakeSdk, today_text
from polars.testing import assert_frame_equal

from vorn_kest_backtest.modules.ticker.ticker import Ticker

NOT_LOGGED_IN = "Kestor API 尚未初始化, 請先登入Kestor API"


def cache_file(data_dir, code, day):
    return data_dir / "kest" / "ticks" / f"{code} {day} - ticks.csv"


def days_before(day: str, n: int) -> str:
    return (datetime.strptime(day, "%Y-%m-%d") - timedelta(days=n)).strftime("%Y-%m-%d")


def test_past_days_are_cached_and_reported(data_dir, console):
    sdk = FakeSdk()
    df = Ticker(sdk).fetch_kest_history_ticks("2330", "Stock", "2024-01-02", "2024-01-03")
    assert df.height == 6 and df.columns == list(COLUMNS)
    assert [d for _, d in sdk.calls] == ["2024-01-02", "2024-01-03"]
    for day in ("2024-01-02", "2024-01-03"):
        path = cache_file(data_dir, "2330", day)
        assert path.read_text().splitlines()[0] == ",".join(COLUMNS)
        assert f"[green]下載 2330 {day} 的 Tick 資料成功, 儲存於 {path}[/green]" in console.lines
    assert not list((data_dir / "kest" / "ticks").glob("*.tmp*"))


def test_range_ending_today_caches_past_days_only(data_dir, console):
    today = today_text()
    yesterday = days_before(today, 1)
    sdk = FakeSdk()
    ticker = Ticker(sdk)
    ticker.get_ticks_df("2330", "Stock", yesterday, today)
    assert cache_file(data_dir, "2330", yesterday).exists()
    assert not cache_file(data_dir, "2330", today).exists()
    sdk.calls.clear()
    df = ticker.get_ticks_df("2330", "Stock", yesterday, today)
    assert [d for _, d in sdk.calls] == [today]
    assert df.height == 6


def test_cached_days_need_no_sdk_and_no_login(data_dir, console):
    Ticker(FakeSdk()).fetch_kest_history_ticks("TXFR1", "Future", "2024-03-04", "2024-03-05")
    offline = FakeSdk(logged_in=False)
    df = Ticker(offline).get_ticks_df("TXFR1", "Future", "2024-03-04", "2024-03-05")
    assert offline.calls == []
    assert df.height == 6 and df["code"].unique().to_list() == ["TXFR1"]
    path = cache_file(data_dir, "TXFR1", "2024-03-04")
    assert f"[green]檔案 {path} 已存在, 開始讀取檔案...[/green]" in console.lines


def test_empty_past_day_is_cached_header_only_and_read_back(data_dir, console):
    sdk = FakeSdk(empty_days={"2024-01-06"})
    ticker = Ticker(sdk)
    assert ticker.fetch_kest_history_ticks("2330", "Stock", "2024-01-06", "2024-01-06").height == 0
    assert cache_file(data_dir, "2330", "2024-01-06").read_text().strip() == ",".join(COLUMNS)
    sdk.calls.clear()
    df = ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-06")
    assert sdk.calls == [] and df.height == 0
    assert df.schema == pl.Schema(dict(ticker.tick_df_schema) | {"code": pl.String})


def test_missing_cache_file_is_announced_then_downloaded(data_dir, console):
    df = Ticker(FakeSdk())._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")
    path = cache_file(data_dir, "2330", "2024-01-02")
    assert console.lines[0] == f"[red]檔案 {path} 不存在, 開始下載歷史 Tick 資料...[/red]"
    assert df.columns == [*COLUMNS, "code"] and df["code"].to_list() == ["2330"] * 3


def test_start_after_end_is_empty_without_sdk_call(console):
    sdk = FakeSdk()
    df = Ticker(sdk).fetch_kest_history_ticks("2330", "Stock", "2024-01-05", "2024-01-02")
    assert df.height == 0 and df.schema == Ticker(sdk).tick_df_schema
    assert sdk.calls == []


@pytest.mark.parametrize("api", [None, FakeSdk(logged_in=False)])
def test_not_logged_in_is_refused(api):
    with pytest.raises(ValueError, match=NOT_LOGGED_IN):
        Ticker(api).fetch_kest_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")


def test_sdk_values_are_cast_to_the_schema(data_dir, console):
    class IntPrices(FakeSdk):
        def ticks(self, contract, date):
            data = super().ticks(contract, date)
            data["close"] = [int(v) for v in data["close"]]
            return data

    df = Ticker(IntPrices()).fetch_kest_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
    assert df["close"].dtype == pl.Float64
    back = pl.read_csv(cache_file(data_dir, "2330", "2024-01-02"), schema=Ticker(None).tick_df_schema)
    assert_frame_equal(back, df)


def test_a_failed_write_leaves_no_cache_file_and_keeps_the_ticks(data_dir, console, monkeypatch):
    class Boom(Exception):
        pass

    def failing_write(self, path, *args, **kwargs):
        Path(path).write_text("ts,cl")  # a partly written file
        raise Boom("disk full")

    monkeypatch.setattr(pl.DataFrame, "write_csv", failing_write)
    df = Ticker(FakeSdk()).fetch_kest_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
    assert df.height == 3
    assert list((data_dir / "kest" / "ticks").iterdir()) == []
    assert console.lines == ["[red]無法寫入 2330 2024-01-02 的 Tick 快取, 錯誤訊息: disk full[/red]"]
