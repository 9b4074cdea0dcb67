"""The replay handshake: records, permits, backfilling, stops and later replays."""

from __future__ import annotations

import _thread
import queue
import signal
import threading
import time

import pytest
from fake_sdk import FakeSdk, wall_ns

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import FLAG
from vorn_kest_backtest.modules.ticker.ticker import Ticker

EXIT = {"vorn_status": FLAG.exit_send_tick.value}
FINISH = {"vorn_status": FLAG.finish_backfilling.value}
STOCK = [{"code": "2330", "market": "Stock"}]
TWO = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]


def take(ticker: Ticker, timeout: float = 5.0) -> dict:
    return ticker.tick_queue.get(timeout=timeout)


def consume(ticker: Ticker) -> list[dict]:
    """The consumer protocol: pop, handle, allow the next, until the end record."""
    seen = []
    while True:
        record = take(ticker)
        seen.append(record)
        if record == EXIT:
            return seen
        ticker.allow_next_tick()


def label(record: dict) -> str:
    if "vorn_status" in record:
        return "X" if record == EXIT else "F"
    return ("B" if record["is_backfilling"] else "L") + record["code"]


@pytest.fixture
def ticker(console) -> Ticker:
    return Ticker(FakeSdk(ticks_per_day=2))


def test_tick_records_carry_eight_keys_in_order(ticker):
    ticker.send_ticks(TWO, "2024-01-02", "2024-01-02")
    first = take(ticker)
    assert list(first) == [
        "market_type", "timestamp", "code", "close", "qty", "tick_type", "is_simulate", "is_backfilling"]
    ts = wall_ns("2024-01-02", 9)
    assert first == {"market_type": "Stock", "timestamp": utils.format_nano_ts_to_second_ts(ts, 8), "code": "2330",
                     "close": 100.0, "qty": 1, "tick_type": 1, "is_simulate": False, "is_backfilling": False}
    ticker.allow_next_tick()
    second = take(ticker)
    assert (second["code"], second["market_type"]) == ("TXFR1", "Future")
    ticker.stop_send_ticks()


@pytest.mark.parametrize("ts", [0, 1704186000123456789, 1704186000999999999, 2**62 + 12345, -1704186000123456789])
def test_timestamp_equals_the_python_conversion_bit_for_bit(ts, console):
    import polars as pl

    df = pl.DataFrame({"ts": [ts], "close": [1.0], "volume": [1], "bid_price": [1.0], "bid_volume": [1],
                       "ask_price": [1.0], "ask_volume": [1], "tick_type": [0], "code": ["2330"]})
    ticker = Ticker(None)
    ticker.code_market_map = {"2330": "Stock"}
    ticker._Ticker__push_tick_to_queue(df)
    stamp = take(ticker)["timestamp"]
    assert stamp.hex() == utils.format_nano_ts_to_second_ts(ts, 8).hex()


def test_no_second_tick_without_a_second_permit(ticker):
    ticker.send_ticks(STOCK, "2024-01-02", "2024-01-02")
    assert label(take(ticker)) == "L2330"  # the construction permit
    assert ticker.allow_next_tick_flag_queue.qsize() == 0
    with pytest.raises(queue.Empty):
        ticker.tick_queue.get(timeout=0.05)
    ticker.allow_next_tick()
    assert label(take(ticker)) == "L2330"
    assert ticker.tick_queue.qsize() == 0
    with pytest.raises(queue.Empty):
        ticker.tick_queue.get(timeout=0.05)  # the end record takes a permit too
    ticker.allow_next_tick_flag_queue.put(True)
    assert take(ticker) == EXIT
    ticker.allow_next_tick()
    assert ticker.allow_next_tick_flag_queue.qsize() == 1  # left for the next replay


def test_a_whole_replay_and_its_end_line(ticker, console):
    ticker.send_ticks(TWO, "2024-01-02", "2024-01-03")
    assert [label(r) for r in consume(ticker)] == ["L2330", "LTXFR1"] * 4 + ["X"]
    # The days are read one by one as the replay goes: the start line counts dates, the end line ticks.
    assert "[green]開始傳送 Tick 資料, 逐日讀取 6 天. ...[/green]" in console.lines
    end = [line for line in console.lines if line.startswith("[green]傳送 Tick 資料結束")]
    assert len(end) == 1 and end[0].startswith("[green]傳送 Tick 資料結束, 需傳送資料共 8 筆, 已傳送 8 筆, 耗時 ")
    assert ticker.current_send_ticks_params == {"codes": TWO, "start_from": "2024-01-02", "end_to": "2024-01-03"}
    assert ticker.backfilling_finish_flag is True


@pytest.mark.parametrize("codes, start, end", [([], "2024-01-02", "2024-01-02"), (STOCK, "2024-01-03", "2024-01-02")])
def test_empty_frame_yields_one_end_record(ticker, console, codes, start, end):
    ticker.send_ticks(codes, start, end)
    assert take(ticker) == EXIT
    with pytest.raises(queue.Empty):
        ticker.tick_queue.get(timeout=0.05)
    assert "[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]" in console.lines
    assert ticker.allow_next_tick_flag_queue.qsize() == 1


def test_backfilled_ticks_then_finish_then_live_then_end(ticker, console):
    ticker.send_ticks(STOCK, "2024-01-03", "2024-01-03", "2024-01-01", "2024-01-02")
    labels = [label(r) for r in consume(ticker)]
    assert labels == ["B2330"] * 4 + ["F"] + ["L2330"] * 2 + ["X"]
    assert ticker.backfilling_finish_flag is True
    assert ticker.current_send_ticks_params["backfilling_start_from"] == "2024-01-01"
    assert ticker.current_send_ticks_params["backfilling_end_to"] == "2024-01-02"
    assert "[green]開始回補 Tick 資料, Tick 數 4. ...[/green]" in console.lines


def test_finish_record_arrives_even_with_nothing_to_backfill_or_replay(ticker):
    ticker.send_ticks(STOCK, "2024-01-03", "2024-01-02", "2024-01-02", "2024-01-01")
    assert [label(r) for r in consume(ticker)] == ["F", "X"]


def join_backfill_threads() -> None:
    """Waits for backfill passes, so the error a failed one raises on its thread is told during its own test."""
    for thread in threading.enumerate():
        if thread.name == "Ticker.backfilling":
            thread.join(5)


@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")  # raised on its own thread
def test_backfilling_with_an_empty_date_raises_and_releases_the_replay(ticker):
    with pytest.raises(ValueError, match="回補資料的開始時間與結束時間不能為空"):
        ticker.backfilling(STOCK, "2024-01-01", None)
    assert ticker.backfilling_finish_flag is True
    assert ticker.backfilling_notify_finish_queue.get(timeout=1) == FINISH

    ticker.send_ticks(STOCK, "2024-01-02", "2024-01-02", "2024-01-01", None)
    assert [label(r) for r in consume(ticker)] == ["F", "L2330", "L2330", "X"]
    join_backfill_threads()


@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")  # raised on its own thread
def test_failing_backfill_is_reported_and_live_ticks_follow(console, monkeypatch):
    ticker = Ticker(FakeSdk(ticks_per_day=1))
    ticker.send_ticks(STOCK, "2024-01-02", "2024-01-02", "not a date", "2024-01-01")
    assert [label(r) for r in consume(ticker)] == ["F", "L2330", "X"]
    assert any(line.startswith("[red]回補 Tick 資料失敗, 錯誤訊息: ") for line in console.lines)
    join_backfill_threads()


def test_stop_while_waiting_for_a_permit(ticker):
    ticker.send_ticks(TWO, "2024-01-02", "2024-01-05")
    assert label(take(ticker)) == "L2330"
    ticker.stop_send_ticks()
    assert ticker.exit_send_thread_flag is True
    ticker.allow_next_tick()
    assert take(ticker) == EXIT
    ticker.stop_send_ticks()
    with pytest.raises(queue.Empty):
        ticker.tick_queue.get(timeout=0.05)


def test_setting_the_exit_flag_ends_the_replay(ticker):
    ticker.send_ticks(STOCK, "2024-01-02", "2024-01-05")
    take(ticker)
    ticker.exit_send_thread_flag = True
    assert take(ticker) == EXIT


def test_a_new_replay_after_a_stop_gets_no_stale_records(ticker):
    ticker.send_ticks(TWO, "2024-01-02", "2024-01-05", "2024-01-01", "2024-01-01")
    take(ticker)
    ticker.stop_send_ticks()
    ticker.send_ticks([{"code": "TXFR1", "market": "Future"}], "2024-01-08", "2024-01-08")
    assert ticker.exit_send_thread_flag is False
    ticker.allow_next_tick()  # the permit the popped tick would have given back
    seen = consume(ticker)
    assert [label(r) for r in seen] == ["LTXFR1", "LTXFR1", "X"]
    assert {r["timestamp"] for r in seen[:-1]} == {
        utils.format_nano_ts_to_second_ts(wall_ns("2024-01-08", 9, 0, s), 8) for s in (0, 1)}


def test_a_new_replay_ends_the_running_one(ticker):
    ticker.send_ticks(STOCK, "2024-01-02", "2024-01-05", "2024-01-01", "2024-01-01")
    take(ticker)
    ticker.send_ticks(STOCK, "2024-01-08", "2024-01-08")
    ticker.allow_next_tick()
    assert [label(r) for r in consume(ticker)] == ["L2330", "L2330", "X"]


def test_pop_tick_waits_without_holding_the_gil(ticker):
    ticker.send_ticks(STOCK, "2024-01-02", "2024-01-02")
    assert label(ticker.pop_tick()) == "L2330"
    giver = threading.Timer(0.05, ticker.allow_next_tick)
    giver.start()
    assert label(ticker.pop_tick()) == "L2330"  # served by the other Python thread's permit
    giver.join(5)
    ticker.allow_next_tick()
    assert ticker.pop_tick() == EXIT


@pytest.mark.parametrize(
    "args, named",
    [
        (("2330", "2024-01-02", "2024-01-02"), "codes"),
        ((STOCK, 20240102, "2024-01-02"), "start_from"),
        ((STOCK, "2024-01-02", None), "end_to"),
        ((STOCK, "2024-01-02", "2024-01-02", 1), "backfilling_start_from"),
        ((STOCK, "2024-01-02", "2024-01-02", None, 1), "backfilling_end_to"),
    ],
)
def test_send_ticks_checks_argument_types_first(ticker, args, named):
    with pytest.raises(TypeError, match=named):
        ticker.send_ticks(*args)
    assert ticker.current_send_ticks_params == {} and ticker.api.calls == []


def test_a_backfill_still_downloading_when_stopped_never_reaches_the_next_replay(console):
    class SlowPast(FakeSdk):
        def ticks(self, contract, date):
            if date.startswith("2023"):
                time.sleep(0.05)
            return super().ticks(contract, date)

    ticker = Ticker(SlowPast(ticks_per_day=2))
    ticker.send_ticks(STOCK, "2024-01-02", "2024-01-02", "2023-12-01", "2023-12-10")
    ticker.stop_send_ticks()
    assert take(ticker) == EXIT
    ticker.send_ticks(STOCK, "2024-01-03", "2024-01-03")
    seen = consume(ticker)
    assert [label(r) for r in seen] == ["L2330", "L2330", "X"]
    assert ticker.current_send_ticks_params == {"codes": STOCK, "start_from": "2024-01-03", "end_to": "2024-01-03"}


def test_ctrl_c_interrupts_a_waiting_pop_tick(ticker):
    # Ctrl-C is pressed until the wait gives way: one press can land in a finalizer that a garbage
    # collection runs during the wait, where Python drops the exception. Only the first press raises.
    presses: list[int] = []

    def on_press(signum, frame):
        presses.append(signum)
        if len(presses) == 1:
            raise KeyboardInterrupt

    left = threading.Event()

    def press_until_left():
        while not left.wait(0.1):
            _thread.interrupt_main()

    previous = signal.signal(signal.SIGINT, on_press)
    interrupter = threading.Thread(target=press_until_left, daemon=True)
    try:
        with pytest.raises(KeyboardInterrupt):
            interrupter.start()
            ticker.pop_tick()  # nothing will ever come
    finally:
        left.set()
        interrupter.join(5)
        signal.signal(signal.SIGINT, previous)
