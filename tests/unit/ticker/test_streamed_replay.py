"""A replay reads its days one at a time and hands out exactly the records of the whole range combined."""

from __future__ import annotations

import gc
import time
import weakref

import pytest
from fake_sdk import FakeSdk, wall_ns

from vorn_kest_backtest import utils
from vorn_kest_backtest.brokers import SimulatedBroker
from vorn_kest_backtest.constant import FLAG
from vorn_kest_backtest.modules.ticker.ticker import Ticker

EXIT = {"vorn_status": FLAG.exit_send_tick.value}
FINISH = {"vorn_status": FLAG.finish_backfilling.value}
MIXED = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"},
         {"code": "0050", "market": "Stock"}, {"code": "MXFR1", "market": "Future"}]
STOCK = [{"code": "2330", "market": "Stock"}]
# Thursday to Tuesday: Friday's night session runs into Saturday, Monday's opens Tuesday's trading date.
START, END = "2024-01-04", "2024-01-09"


def consume(ticker: Ticker, stop_after: int | None = None) -> list[dict]:
    seen = []
    while True:
        record = ticker.tick_queue.get(timeout=10)
        seen.append(record)
        if record == EXIT:
            return seen
        if stop_after is not None and len(seen) == stop_after:
            ticker.stop_send_ticks()
        else:
            ticker.allow_next_tick()


def records_of(frame, markets: dict[str, str], backfilling: bool = False) -> list[dict]:
    """The records a whole-range replay of `frame` hands out, in its order."""
    return [
        {"market_type": markets[code], "timestamp": utils.format_nano_ts_to_second_ts(ts, 8), "code": code,
         "close": close, "qty": volume, "tick_type": tick_type, "is_simulate": False, "is_backfilling": backfilling}
        for ts, code, close, volume, tick_type in frame.select("ts", "code", "close", "volume", "tick_type").iter_rows()
    ]


def markets_of(codes: list[dict[str, str]]) -> dict[str, str]:
    return {entry["code"]: entry["market"] for entry in codes}


def whole_range(api, codes, start: str, end: str):
    reference = Ticker(api)
    frame = reference._Ticker__process_and_combine_ticks(codes, start, end)
    return frame, reference.failed_days


class Shuffled(FakeSdk):
    """Each day's ticks out of time order, and two codes at the same stamps."""

    def ticks(self, contract, date):
        data = super().ticks(contract, date)
        order = list(reversed(range(len(data["ts"]))))
        return {name: [values[i] for i in order] for name, values in data.items()}


def spoil(data_dir, code: str, day: str) -> None:
    [path] = data_dir.glob(f"kest/**/{code} {day} - ticks.csv")
    lines = path.read_text().splitlines()
    fields = lines[1].split(",")
    fields[1] = "abc"
    path.write_text("\n".join([lines[0], ",".join(fields), *lines[2:]]) + "\n")


@pytest.mark.parametrize("case", ["multi_code_night_sessions", "unordered_days", "a_bad_cached_day", "no_ticks"])
def test_the_streamed_replay_hands_out_the_whole_range_records(case, data_dir, console):
    api, codes, start, end = SimulatedBroker(ticks_per_day=40), MIXED, START, END
    if case == "unordered_days":
        api, codes = Shuffled(ticks_per_day=4), [STOCK[0], {"code": "2317", "market": "Stock"}]
    if case == "a_bad_cached_day":
        Ticker(api).cache_days(codes, start, end)
        spoil(data_dir, "TXFR1", "2024-01-05")
        spoil(data_dir, "2330", "2024-01-08")
    if case == "no_ticks":
        start, end = "2024-01-06", "2024-01-07"
    frame, failed = whole_range(api, codes, start, end)
    ticker = Ticker(api)
    ticker.send_ticks(codes, start, end)
    assert consume(ticker) == records_of(frame, markets_of(codes)) + [EXIT]
    assert ticker.failed_days == failed
    assert len(failed) == (2 if case == "a_bad_cached_day" else 0)


def test_backfilled_ticks_then_the_streamed_days(data_dir, console):
    api = SimulatedBroker(ticks_per_day=40)
    backfill, _ = whole_range(api, MIXED, "2024-01-02", "2024-01-03")
    live, _ = whole_range(api, MIXED, START, END)
    ticker = Ticker(api)
    ticker.send_ticks(MIXED, START, END, "2024-01-02", "2024-01-03")
    markets = markets_of(MIXED)
    assert consume(ticker) == records_of(backfill, markets, True) + [FINISH] + records_of(live, markets) + [EXIT]


@pytest.mark.parametrize("stop_after", [1, 150, 333])
def test_a_stop_mid_replay_ends_it_with_one_end_record(stop_after, data_dir, console):
    api = SimulatedBroker(ticks_per_day=40)
    frame, _ = whole_range(api, MIXED, START, END)
    ticker = Ticker(api)
    ticker.send_ticks(MIXED, START, END)
    seen = consume(ticker, stop_after=stop_after)
    assert seen == records_of(frame, markets_of(MIXED))[:stop_after] + [EXIT]
    assert ticker.tick_queue.qsize() == 0


def test_the_reader_stays_one_day_ahead_of_the_replay(data_dir, console):
    sdk = FakeSdk(ticks_per_day=2)
    ticker = Ticker(sdk)
    ticker.send_ticks(STOCK, "2024-01-02", "2024-01-12")
    assert ticker.tick_queue.get(timeout=10)["close"] == 100.0
    deadline = time.monotonic() + 10
    while len(sdk.calls) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.2)
    assert [date for _, date in sdk.calls] == ["2024-01-02", "2024-01-03"]
    ticker.stop_send_ticks()


def test_a_dropped_ticker_is_freed_while_its_reader_waits(data_dir, console):
    ticker = Ticker(FakeSdk(ticks_per_day=2))
    ticker.send_ticks(STOCK, "2024-01-02", "2024-01-12")
    ticker.tick_queue.get(timeout=10)
    gone = weakref.ref(ticker)
    del ticker
    deadline = time.monotonic() + 10
    while gone() is not None and time.monotonic() < deadline:
        gc.collect()
        time.sleep(0.01)
    assert gone() is None


class Exiting(FakeSdk):
    def ticks(self, contract, date):
        if date == "2024-01-04":
            raise SystemExit(4)
        return super().ticks(contract, date)


def test_an_error_that_ends_the_run_on_the_reader_reaches_the_consumer(data_dir, console):
    ticker = Ticker(Exiting(ticks_per_day=2))
    ticker.send_ticks(STOCK, "2024-01-02", "2024-01-05")
    stamps = []
    with pytest.raises(SystemExit):
        while True:
            stamps.append(ticker.tick_queue.get(timeout=10)["timestamp"])
            ticker.allow_next_tick()
    # The days read before it replay; then the error comes in place of the end record.
    assert stamps[:2] == [utils.format_nano_ts_to_second_ts(wall_ns("2024-01-02", 9, 0, i), 8) for i in range(2)]
    assert len(stamps) <= 4 and ticker.failed_days == []
