"""Reading dense days of one code from the file broker, cold (empty tick cache) and cached, against a plain
polars read of the same files (read each, add the code, stack, sort by time), all in this run.

"ours" is what a backtest waits for: `send_ticks` until the first tick is in hand (the first day read, checked
and handed to the replay; the later days are read during the replay, so its rows/s count the whole range
against one day's wait). A cold read writes the cache behind the replay; `get_ticks_df`, which reads the
whole range and returns with the cache written, is the figure to set beside the plain read.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from collections.abc import Callable
from datetime import date
from functools import partial
from typing import TypeVar, cast

import polars as pl
from rich.console import Console
from tick_cache_files import write_user_days

from vorn_kest_backtest import utils
from vorn_kest_backtest.brokers import FileBroker
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.modules.ticker.ticker import Ticker

CODE = "2330"


class QuietConsole:
    quiet = True

    def print(self, *args, **kwargs) -> None:
        pass


def plain_read(paths: list[str]) -> pl.DataFrame:
    read = pl.read_parquet if paths[0].endswith(".parquet") else pl.read_csv
    frames = [read(path).with_columns(pl.lit(CODE, dtype=pl.String).alias("code")) for path in paths]
    return pl.concat(frames).sort("ts", maintain_order=True)


T = TypeVar("T")


def timed(work: Callable[[], T]) -> tuple[float, T]:
    began = time.perf_counter()
    result = work()
    return time.perf_counter() - began, result


def first_tick(ticker: Ticker, days: list[str]) -> dict:
    ticker.send_ticks([{"code": CODE, "market": "Stock"}], days[0], days[-1])
    return ticker.pop_tick()


def replayed(ticker: Ticker, first: dict) -> list[float]:
    """The closes of the whole replay, the first tick's included."""
    closes = [first["close"]]
    while "vorn_status" not in (record := (ticker.allow_next_tick(), ticker.pop_tick())[1]):
        closes.append(record["close"])
    return closes


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--days", type=int, default=20)
    parser.add_argument("--ticks-per-day", type=int, default=50_000)
    parser.add_argument("--format", choices=["csv", "parquet"], default="csv")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    utils.console = cast(Console, QuietConsole())
    folder = tempfile.mkdtemp(prefix="vkb-bench-files-")
    days, paths = write_user_days(folder, CODE, date(2024, 1, 1), args.days, args.ticks_per_day, args.format)
    best = dict.fromkeys(("plain", "cold", "cached", "get_ticks_df cold", "get_ticks_df cached"), float("inf"))
    for run in range(args.runs):
        seconds, reference = timed(lambda: plain_read(paths))
        best["plain"] = min(best["plain"], seconds)
        BASIC_INFO.data_dir = tempfile.mkdtemp(prefix="vkb-bench-data-")
        for kind in ("cold", "cached"):
            # A new Ticker and broker, as every backtest run makes them.
            ticker = Ticker(FileBroker(folder))
            seconds, tick = timed(partial(first_tick, ticker, days))
            best[kind] = min(best[kind], seconds)
            if run == 0:
                assert replayed(ticker, tick) == reference["close"].to_list(), kind
            ticker.stop_send_ticks()
            ticker.wait_for_tick_cache()
            del ticker
        BASIC_INFO.data_dir = tempfile.mkdtemp(prefix="vkb-bench-data-")
        ticker = Ticker(FileBroker(folder))
        for kind in ("get_ticks_df cold", "get_ticks_df cached"):
            seconds, frame = timed(partial(ticker.get_ticks_df, CODE, "Stock", days[0], days[-1]))
            best[kind] = min(best[kind], seconds)
            assert frame.equals(reference), kind
    rows = reference.height
    print(f"file broker days            : {args.days} x {args.ticks_per_day:,} ticks = {rows:,} rows, "
          f"{args.format}, {sum(os.path.getsize(p) for p in paths) / 1e6:.0f} MB")
    print(f"plain polars read           : {best['plain'] * 1000:.1f} ms ({rows / best['plain']:,.0f} rows/s)")
    for kind, label in (("cold", "cold read (to first tick)"), ("cached", "cached read (to first tick)")):
        print(f"{label:<28}: {best[kind] * 1000:.1f} ms ({rows / best[kind]:,.0f} rows/s), "
              f"ratio (plain / ours) {best['plain'] / best[kind]:.2f}x")
    for kind in ("get_ticks_df cold", "get_ticks_df cached"):
        print(f"{kind:<28}: {best[kind] * 1000:.1f} ms, ratio {best['plain'] / best[kind]:.2f}x (cold: cache written)")


if __name__ == "__main__":
    main()
