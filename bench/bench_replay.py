"""Replay throughput: the consumer loop pop_tick + allow_next_tick over cached ticks, against a
pure-Python threading + queue.Queue implementation of the same handshake, in the same run."""

from __future__ import annotations

import argparse
import queue
import tempfile
import threading
import time
from datetime import date
from typing import cast

from rich.console import Console
from tick_cache_files import write_cache_days

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import BASIC_INFO, FLAG
from vorn_kest_backtest.modules.ticker.ticker import Ticker

EXIT = FLAG.exit_send_tick.value


class QuietConsole:
    def print(self, *args, **kwargs) -> None:
        pass


def python_reference(df, market_map: dict, limit: int) -> float:
    """Same protocol in plain Python: a thread takes a permit, puts one record, waits again."""
    permits: queue.Queue = queue.Queue()
    ticks: queue.Queue = queue.Queue()
    permits.put(True)
    part = df.head(limit)
    columns = [part[c].to_list() for c in ("ts", "code", "close", "volume", "tick_type")]

    def replay() -> None:
        for ts, code, close, volume, tick_type in zip(*columns, strict=True):
            permits.get()
            ticks.put({
                "market_type": market_map[code], "timestamp": utils.format_nano_ts_to_second_ts(ts, 8),
                "code": code, "close": close, "qty": volume, "tick_type": tick_type,
                "is_simulate": False, "is_backfilling": False,
            })
        permits.get()
        ticks.put({"vorn_status": EXIT})

    worker = threading.Thread(target=replay, daemon=True)
    start = time.perf_counter()
    worker.start()
    count = 0
    while "vorn_status" not in ticks.get():
        count += 1
        permits.put(True)
    elapsed = time.perf_counter() - start
    worker.join()
    return count / elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--days", type=int, default=20)
    parser.add_argument("--ticks-per-day", type=int, default=25_000, help="per code and day (2 codes)")
    parser.add_argument("--reference-ticks", type=int, default=200_000)
    args = parser.parse_args()

    BASIC_INFO.data_dir = tempfile.mkdtemp(prefix="vkb-bench-")
    utils.console = cast(Console, QuietConsole())
    codes = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
    for seed, entry in enumerate(codes):
        days = write_cache_days(BASIC_INFO.data_dir, entry["code"], date(2024, 1, 1), args.days, args.ticks_per_day,
                                seed)
    start_from, end_to = days[0], days[-1]

    ticker = Ticker(None)  # cached days need no broker login
    began = time.perf_counter()
    df = ticker._Ticker__process_and_combine_ticks(codes, start_from, end_to)
    combine_s = time.perf_counter() - began

    began = time.perf_counter()
    ticker.send_ticks(codes, start_from, end_to)
    send_s = time.perf_counter() - began
    began = time.perf_counter()
    count = 0
    pop, allow = ticker.pop_tick, ticker.allow_next_tick
    while "vorn_status" not in pop():
        count += 1
        allow()
    loop_s = time.perf_counter() - began
    assert count == df.height, (count, df.height)
    rate = count / loop_s

    reference = python_reference(df, ticker.code_market_map, min(args.reference_ticks, df.height))
    print(f"ticks replayed            : {count:,} ({len(codes)} codes x {args.days} days, from the cache)")
    print(f"combine from cache        : {combine_s:.2f} s ({df.height / combine_s:,.0f} rows/s)")
    print(f"send_ticks (combine+start): {send_s:.2f} s")
    print(f"bare loop pop+allow       : {loop_s:.2f} s = {rate:,.0f} ticks/s")
    print(f"pure Python queue.Queue   : {reference:,.0f} ticks/s (over {min(args.reference_ticks, df.height):,} ticks)")
    print(f"ratio                     : {rate / reference:.1f}x")


if __name__ == "__main__":
    main()
