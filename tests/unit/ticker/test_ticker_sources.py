"""The tick cache per source, and days whose data or cache file cannot be trusted."""

from __future__ import annotations

import os

import polars as pl
import pytest
from fake_sdk import COLUMNS, FakeSdk, wall_ns
from polars.testing import assert_frame_equal

from vorn_kest_backtest import utils
from vorn_kest_backtest.brokers import FileBroker, SimulatedBroker, TaifexBroker
from vorn_kest_backtest.modules.ticker.ticker import Ticker

HEADER = ",".join(COLUMNS)
ROW = f"{wall_ns('2024-01-02', 9)},{{close}},1,99.5,2,100.5,3,1"
ONE = [{"code": "2330", "market": "Stock"}]


def write_day(folder, close: float, rows: int = 1) -> None:
    lines = [HEADER] + [ROW.format(close=close)] * rows
    (folder / "2330 2024-01-02 - ticks.csv").write_text("\n".join(lines) + "\n")


def closes(api) -> list[float]:
    return Ticker(api).get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02")["close"].unique().to_list()


def test_a_source_never_replays_another_sources_cache(tmp_path, data_dir, console):
    simulated = closes(SimulatedBroker(ticks_per_day=50))
    folder = tmp_path / "mine"
    folder.mkdir()
    write_day(folder, 100.0)
    assert closes(FileBroker(folder)) == [100.0]
    assert closes(SimulatedBroker(ticks_per_day=50)) == simulated
    assert 100.0 not in closes(SimulatedBroker())
    assert (data_dir / "kest" / "ticks" / "2330 2024-01-02 - ticks.csv").exists()
    assert len(list((data_dir / "kest" / "sources").iterdir())) == 2
    # The exchange-file broker over the same folder serves the stock days too, from a cache of its own.
    assert closes(TaifexBroker(folder)) == [100.0]
    assert len(list((data_dir / "kest" / "sources").iterdir())) == 3


def test_the_default_broker_and_a_plain_sdk_keep_the_shared_cache(data_dir, console):
    assert SimulatedBroker().tick_source_id is None
    Ticker(FakeSdk()).get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02")
    assert (data_dir / "kest" / "ticks" / "2330 2024-01-02 - ticks.csv").exists()
    assert not (data_dir / "kest" / "sources").exists()


def test_an_edited_source_file_is_read_again(tmp_path, console):
    folder = tmp_path / "mine"
    folder.mkdir()
    write_day(folder, 100.0)
    broker = FileBroker(folder)
    assert closes(broker) == [100.0]
    write_day(folder, 101.5, rows=2)
    os.utime(folder / "2330 2024-01-02 - ticks.csv", ns=(1, 1))
    assert closes(broker) == [101.5]
    assert any("來源資料已變更" in line for line in console.lines)
    console.lines.clear()
    assert closes(broker) == [101.5]
    assert any("已存在" in line for line in console.lines)


class BadValues(FakeSdk):
    def __init__(self, column, value) -> None:
        super().__init__()
        self.column, self.value = column, value

    def ticks(self, contract, date):
        data = super().ticks(contract, date)
        data[self.column][1] = self.value
        return data


@pytest.mark.parametrize("column, value", [("close", "abc"), ("ts", 2**64), ("volume", None), ("bid_price", "abc")])
def test_a_download_with_an_unusable_value_fails_its_day(column, value, data_dir, console):
    ticker = Ticker(BadValues(column, value))
    df = ticker._Ticker__process_and_combine_ticks(ONE, "2024-01-02", "2024-01-02")
    assert df.height == 0
    [failed] = ticker.failed_days
    assert failed["code"] == "2330" and failed["date"] == "2024-01-02"
    assert f"欄位 {column} 第 2 筆" in failed["reason"] and repr(value) in failed["reason"]
    assert not (data_dir / "kest" / "ticks" / "2330 2024-01-02 - ticks.csv").exists()
    assert any(line.startswith("[red]下載 2330 2024-01-02") for line in console.lines)


def test_a_download_without_quotes_is_cached_and_read_back(data_dir, console):
    class NoQuotes(FakeSdk):
        def ticks(self, contract, date):
            data = super().ticks(contract, date)
            for column in ("bid_price", "bid_volume", "ask_price", "ask_volume"):
                data[column] = [None] * len(data["ts"])
            return data

    downloaded = Ticker(NoQuotes())._Ticker__process_and_combine_ticks(ONE, "2024-01-02", "2024-01-02")
    cached = Ticker(NoQuotes())._Ticker__process_and_combine_ticks(ONE, "2024-01-02", "2024-01-02")
    assert downloaded.height > 0 and downloaded["bid_price"].null_count() == downloaded.height
    assert_frame_equal(cached, downloaded)


@pytest.mark.parametrize(
    "content, where",
    [
        (f"{HEADER}\n,,,,,,,\n", "第 2 行, 欄位 ts"),
        (f"{HEADER}\n{ROW.format(close=100.0)}\n{wall_ns('2024-01-02', 9, 1)},103.", "最後一行不完整"),
        (f"{HEADER}\n{wall_ns('2024-01-02', 9)},100.0,1,99.5,2,100.5,3\n", "第 2 行, 欄位 tick_type"),
        ("", "最後一行不完整"),
    ],
)
def test_a_damaged_cache_file_fails_its_day(content, where, data_dir, console):
    path = data_dir / "kest" / "ticks" / "2330 2024-01-02 - ticks.csv"
    path.parent.mkdir(parents=True)
    path.write_text(content)
    ticker = Ticker(FakeSdk())
    assert ticker._Ticker__process_and_combine_ticks(ONE, "2024-01-02", "2024-01-02").height == 0
    [failed] = ticker.failed_days
    assert str(path) in failed["reason"] and where in failed["reason"]


def test_a_folder_in_place_of_a_cache_file_fails_its_day(data_dir, console):
    path = data_dir / "kest" / "ticks" / "2330 2024-01-02 - ticks.csv"
    path.mkdir(parents=True)
    ticker = Ticker(FakeSdk())
    assert ticker._Ticker__process_and_combine_ticks(ONE, "2024-01-02", "2024-01-02").height == 0
    [failed] = ticker.failed_days
    assert "不是檔案" in failed["reason"] and str(path) in failed["reason"]
    assert any("[red]下載 2330 2024-01-02" in line for line in console.lines)


def test_an_unwritable_cache_still_replays_the_download(data_dir, console):
    data_dir.mkdir()
    (data_dir / "kest").write_text("not a folder")
    ticker = Ticker(FakeSdk())
    df = ticker._Ticker__process_and_combine_ticks(ONE, "2024-01-02", "2024-01-03")
    assert df.height == 6 and ticker.failed_days == []
    assert sum("無法寫入 2330" in line for line in console.lines) == 2


def test_an_unwritable_log_is_reported_once(data_dir, console, capsys):
    data_dir.mkdir()
    (data_dir / "logs").write_text("not a folder")
    utils.logger.error("first")
    utils.logger.error("second")
    assert sum("無法寫入記錄檔" in line for line in console.lines) == 1
    assert "Traceback" not in capsys.readouterr().err


def test_failed_days_are_those_of_the_last_call(console):
    ticker = Ticker(FakeSdk(failing_days={"2024-01-03"}))
    ticker._Ticker__process_and_combine_ticks(ONE, "2024-01-02", "2024-01-03")
    assert ticker.failed_days == [{"code": "2330", "date": "2024-01-03", "reason": "server error on 2024-01-03"}]
    ticker.failed_days.clear()
    assert len(ticker.failed_days) == 1
    ticker._Ticker__process_and_combine_ticks(ONE, "2024-01-02", "2024-01-02")
    assert ticker.failed_days == []


class SameStamp(FakeSdk):
    def ticks(self, contract, date):
        data = super().ticks(contract, date)
        data["ts"] = [data["ts"][0]] * len(data["ts"])
        return data


def test_same_stamp_ticks_keep_the_brokers_order(console):
    codes = [{"code": code, "market": "Stock"} for code in ("2330", "2317", "0050")]
    df = Ticker(SameStamp(ticks_per_day=20_000))._Ticker__process_and_combine_ticks(codes, "2024-01-02", "2024-01-02")
    for code in ("2330", "2317", "0050"):
        assert df.filter(pl.col("code") == code)["volume"].to_list() == list(range(1, 20_001))


@pytest.mark.parametrize(
    "column, value, message",
    [("ts", None, "欄位 ts 第 2 筆為空值"), ("volume", None, "欄位 volume 第 2 筆為空值"),
     ("code", "MXFR1", "'MXFR1'")],
)
def test_a_frame_that_would_need_made_up_values_is_refused(column, value, message, console):
    ticker = Ticker(FakeSdk())
    df = ticker._Ticker__process_and_combine_ticks(ONE, "2024-01-02", "2024-01-02")
    df = df.with_columns(pl.when(pl.int_range(pl.len()) == 1).then(pl.lit(value)).otherwise(pl.col(column))
                         .cast(df.schema[column]).alias(column))
    with pytest.raises(ValueError, match=message):
        ticker._Ticker__push_tick_to_queue(df)


class QuietConsole:
    quiet = True

    def print(self, *objects, **kwargs):
        raise AssertionError(f"printed on a quiet console: {objects}")


def test_a_quiet_console_gets_no_lines_and_the_same_ticks(monkeypatch, console):
    codes = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
    sdk = FakeSdk(failing_days={"2024-01-03"})

    def combined():
        return Ticker(sdk)._Ticker__process_and_combine_ticks(codes, "2024-01-02", "2024-01-04")

    monkeypatch.setattr(utils, "console", QuietConsole())
    downloaded = combined()
    cached = combined()
    monkeypatch.setattr(utils, "console", console)
    loud = combined()
    assert console.lines
    assert_frame_equal(downloaded, loud)
    assert_frame_equal(cached, loud)


def test_a_missing_login_is_a_typed_value_error():
    from vorn_kest_backtest.modules.ticker import ticker

    assert issubclass(ticker.NotLoggedInError, ValueError)
    with pytest.raises(ticker.NotLoggedInError):
        Ticker(FakeSdk(logged_in=False)).fetch_kest_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
