"""The broker over the exchange's daily tick files: contracts, the roll, sessions across midnight, bad files."""

from __future__ import annotations

from datetime import UTC, date, datetime

import polars as pl
import pytest
from repo_paths import EXAMPLES
from taifex_fixtures import HEADER, daily_text, roll_folder, row, stock_day, write_daily, zipped

from vorn_kest_backtest.brokers import TaifexBroker
from vorn_kest_backtest.brokers.taifex_import import import_taifex
from vorn_kest_backtest.cli import main
from vorn_kest_backtest.constant import FLAG
from vorn_kest_backtest.modules.ticker.ticker import Ticker

EXIT = {"vorn_status": FLAG.exit_send_tick.value}
# Tick records carry true epoch seconds; the exchange clock is eight hours ahead.
TAIPEI_OFFSET_S = 8 * 3600


def wall(ts: int) -> str:
    return datetime.fromtimestamp(ts / 1e9, UTC).strftime("%Y-%m-%d %H:%M:%S")


def served(broker: TaifexBroker, code: str, day: str) -> list[tuple[str, float, int]]:
    ticks = broker.ticks(contract=broker.Contracts.Futures[code], date=day)
    return list(zip(map(wall, ticks["ts"]), ticks["close"], ticks["volume"], strict=True))


@pytest.fixture
def folder(tmp_path):
    return roll_folder(tmp_path / "taifex")


def test_a_calendar_day_gets_its_early_night_rows_day_session_and_evening_night_rows(folder):
    # 2026-01-20 is served from its own file (night after midnight, day session) and 2026-01-21's (evening).
    assert served(TaifexBroker(folder), "TXFR1", "2026-01-20") == [
        ("2026-01-20 00:00:01", 23002.0, 3),
        ("2026-01-20 04:59:59", 23003.0, 1),
        ("2026-01-20 08:45:00", 23004.0, 5),
        ("2026-01-20 09:30:00", 23005.0, 4),
        ("2026-01-20 13:45:00", 23006.0, 1),
        ("2026-01-20 15:00:00", 23100.0, 2),
        ("2026-01-20 23:59:59", 23101.0, 1),
    ]


@pytest.mark.parametrize(
    ("code", "day", "closes"),
    [
        # The last trading day of 202601: its day session is still the near month ...
        ("TXFR1", "2026-01-21", [23102.0, 23103.0, 23104.0, 23105.0, 23106.0, 23200.0, 23201.0]),
        # ... and its night session, part of the next trading day, is already 202602.
        ("TXFR2", "2026-01-21", [23202.0, 23203.0, 23204.0, 23205.0, 23206.0, 23300.0, 23301.0]),
        ("TXFR1", "2026-01-22", [23202.0, 23203.0, 23204.0, 23205.0, 23206.0, 23300.0, 23301.0]),
        ("TXFR2", "2026-01-22", [23302.0, 23303.0, 23304.0, 23305.0, 23306.0, 23400.0, 23401.0]),
        ("MXFR1", "2026-01-21", [23107.0]),
        ("TX202601", "2026-01-21", [23102.0, 23103.0, 23104.0, 23105.0, 23106.0]),
        ("TX202601W4", "2026-01-21", [23050.0]),
    ],
)
def test_near_and_next_month_roll_after_the_last_trading_day(folder, code, day, closes):
    assert [close for _, close, _ in served(TaifexBroker(folder), code, day)] == closes


def test_friday_night_after_midnight_is_saturday_and_served_from_mondays_file(folder):
    broker = TaifexBroker(folder)
    assert served(broker, "TXFR1", "2026-01-24") == [("2026-01-24 00:00:01", 23402.0, 3),
                                                     ("2026-01-24 04:59:59", 23403.0, 1)]
    assert served(broker, "TXFR1", "2026-01-25") == []


def test_spread_rows_never_enter_the_tape_and_volume_counts_contracts(folder):
    rows = served(TaifexBroker(folder), "TXFR1", "2026-01-21")
    assert all(close > 1000 for _, close, _ in rows)
    assert [volume for _, _, volume in rows] == [3, 1, 5, 4, 1, 2, 1]


def test_ticks_have_no_bid_or_ask_and_an_unknown_side(folder):
    broker = TaifexBroker(folder)
    ticks = broker.ticks(contract=broker.Contracts.Futures["TXFR1"], date="2026-01-21")
    for name in ("bid_price", "bid_volume", "ask_price", "ask_volume"):
        assert set(ticks[name]) == {None}
    assert set(ticks["tick_type"]) == {0}
    assert all(isinstance(value, float) for value in ticks["close"])


def test_extracted_csv_serves_the_same_ticks_as_the_archive(tmp_path):
    zipped = TaifexBroker(roll_folder(tmp_path / "a"))
    bare = TaifexBroker(roll_folder(tmp_path / "b", kinds=dict.fromkeys([date(2026, 1, 21), date(2026, 1, 22)], "csv")))
    assert served(zipped, "TXFR1", "2026-01-21") == served(bare, "TXFR1", "2026-01-21")


def test_extra_products_get_continuous_codes(folder):
    broker = TaifexBroker(folder, products={"MTXX": "MTX"})
    assert [close for _, close, _ in served(broker, "MTXXR1", "2026-01-21")] == [23107.0]
    assert "TXFR2" in broker.Contracts.Futures


def corrupt(path, kind):
    """Spoils the file at `path` the way downloads go wrong."""
    if kind == "html":
        path.write_bytes("<!DOCTYPE html><html><body>查無資料</body></html>".encode("cp950"))
    elif kind == "truncated":
        path.write_bytes(path.read_bytes()[:60])
    elif kind == "header":
        write_daily(path.parent, date(2026, 1, 21), [], header=HEADER.replace("成交價格", "價格"))
    else:
        good = daily_text([row("20260121", "TX", "202601", "090000", 23100, 2)])
        path.write_bytes(zipped("Daily_2026_01_21.csv", good + b"20260121,TX\x81\x20,202601,090000,1,2,-,-,\r\n"))


@pytest.mark.parametrize(
    ("kind", "problem"),
    [("html", "HTML"), ("truncated", "損毀或不完整"), ("header", "標題列不符"), ("decode", "CP950")],
)
def test_a_bad_file_names_itself_and_its_problem(folder, kind, problem):
    corrupt(folder / "Daily_2026_01_21.zip", kind)
    broker = TaifexBroker(folder)
    with pytest.raises(ValueError, match=problem) as raised:
        broker.ticks(contract=broker.Contracts.Futures["TXFR1"], date="2026-01-21")
    assert "Daily_2026_01_21.zip" in str(raised.value)


def test_a_missing_file_or_a_night_only_file_fails_the_day(folder):
    (folder / "Daily_2026_01_22.zip").unlink()
    write_daily(folder, date(2026, 1, 21), [row("20260120", "TX", "202601", "150000", 23000, 2)])
    broker = TaifexBroker(folder)
    contract = broker.Contracts.Futures["TXFR1"]
    with pytest.raises(ValueError, match="只有夜盤"):
        broker.ticks(contract=contract, date="2026-01-21")
    with pytest.raises(ValueError, match="缺少 2026-01-22 .*Daily_2026_01_22.zip"):
        broker.ticks(contract=contract, date="2026-01-22")


def test_the_last_file_of_a_folder_serves_its_day_without_the_next_nights_file(folder):
    # The evening of the folder's last day opens the next trading day, whose file is not there yet.
    last = max(TaifexBroker(folder).sources)
    broker = TaifexBroker(folder)
    times = [stamp for stamp, _, _ in served(broker, "TXFR1", last.isoformat())]
    assert times and all(stamp.startswith(last.isoformat()) and stamp[11:] <= "13:45:00" for stamp in times)


def test_a_failed_day_is_reported_by_the_ticker_and_never_replays_as_an_empty_day(folder, console):
    corrupt(folder / "Daily_2026_01_21.zip", "html")
    ticker = Ticker(TaifexBroker(folder))
    frame = ticker.get_ticks_df("TXFR1", "Future", "2026-01-21", "2026-01-21")
    assert frame.height == 0
    assert any("2026-01-21 的 Tick 資料失敗" in line and "HTML" in line for line in console.lines)


def test_night_rows_replay_in_time_order_beside_a_stock(folder, console):
    stock_day(folder, "2330", date(2026, 1, 21), ["09:00:00", "09:30:00", "13:30:00"])
    ticker = Ticker(TaifexBroker(folder))
    ticker.send_ticks(
        [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}], "2026-01-21", "2026-01-21"
    )
    seen = []
    while (record := ticker.tick_queue.get(timeout=10)) != EXIT:
        wall_clock = datetime.fromtimestamp(record["timestamp"] + TAIPEI_OFFSET_S, UTC).strftime("%H:%M:%S")
        seen.append((wall_clock, record["code"]))
        ticker.allow_next_tick()
    # A futures range is of trading dates: 01-21's night session opened at 15:00 on 01-20.
    assert seen == [
        ("15:00:00", "TXFR1"),
        ("23:59:59", "TXFR1"),
        ("00:00:01", "TXFR1"),
        ("04:59:59", "TXFR1"),
        ("08:45:00", "TXFR1"),
        ("09:00:00", "2330"),
        ("09:30:00", "2330"),
        ("09:30:00", "TXFR1"),
        ("13:30:00", "2330"),
        ("13:45:00", "TXFR1"),
    ]


def test_import_is_idempotent_and_the_broker_serves_the_copies(folder, console):
    before = served(TaifexBroker(folder), "TXFR1", "2026-01-21")
    first = import_taifex(folder, progress=False)
    copies = sorted((folder / "vorn_parquet").iterdir())
    stamps = [path.stat().st_mtime_ns for path in copies]
    second = import_taifex(folder, progress=False)
    assert (len(first.converted), len(second.converted), len(second.current)) == (5, 0, 5)
    assert [path.stat().st_mtime_ns for path in copies] == stamps
    assert served(TaifexBroker(folder), "TXFR1", "2026-01-21") == before
    assert pl.read_parquet(copies[1])["auction"].sum() == 6


def test_a_copy_is_not_used_once_its_source_changes(folder, console):
    import_taifex(folder, progress=False)
    write_daily(folder, date(2026, 1, 21), [row("20260121", "TX", "202601", "084500", 1.5, 2)])
    assert served(TaifexBroker(folder), "TX202601", "2026-01-21") == [("2026-01-21 08:45:00", 1.5, 1)]


def test_import_command_reports_failed_days_and_converts_the_rest(folder, console):
    corrupt(folder / "Daily_2026_01_21.zip", "truncated")
    assert main(["import", "taifex", str(folder), "--no-progress"]) == 1
    assert len(list((folder / "vorn_parquet").iterdir())) == 4
    assert any("轉換 2026-01-21 失敗" in line for line in console.lines)
    assert main(["import", "taifex", str(folder / "nowhere")]) == 2


def test_the_example_backtests_txfr1_from_a_folder_of_daily_files(folder, console):
    example = str(EXAMPLES / "taifex_txfr1.py")
    argv = ["run", example, "--broker", "taifex", "--data", str(folder), "--start", "2026-01-21", "--end", "2026-01-23"]
    assert main(argv) == 0
    assert not [line for line in console.lines if "失敗" in line]
    assert any("TXFR1 2026-01-23" in line for line in console.lines)


@pytest.mark.parametrize("code", ["ABCR1", "TXF", "TX2026", "2330"])
def test_codes_that_are_neither_continuous_nor_a_contract_are_key_errors_naming_them(folder, code):
    with pytest.raises(KeyError, match=code):
        TaifexBroker(folder).Contracts.Futures[code]


@pytest.mark.parametrize("products", [{"tx f": "TX"}, {"TMF": ""}, {"TMF": 3}])
def test_bad_product_mappings_are_refused(folder, products):
    with pytest.raises(ValueError, match="不合法"):
        TaifexBroker(folder, products=products)


def test_an_html_page_saved_as_the_extracted_csv_fails_its_day(folder):
    (folder / "Daily_2026_01_22.csv").write_bytes("<html><body>查無資料</body></html>".encode("cp950"))
    broker = TaifexBroker(folder)
    with pytest.raises(ValueError, match="Daily_2026_01_22.csv 是 HTML"):
        broker.ticks(contract=broker.Contracts.Futures["TXFR1"], date="2026-01-22")
