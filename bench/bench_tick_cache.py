"""Loading cached days of one code: Ticker.get_ticks_df against a straightforward polars loop."""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from datetime import date, datetime, timedelta

import polars as pl
from tick_cache_files import write_cache_days

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.modules.ticker.ticker import Ticker


class QuietConsole:
    def print(self, *args, **kwargs) -> None:
        pass


def polars_loop(code: str, start_from: str, end_to: str, schema) -> pl.DataFrame:
    frames = []
    day = datetime.strptime(start_from, "%Y-%m-%d")
    end = datetime.strptime(end_to, "%Y-%m-%d")
    while day <= end:
        path = os.path.join(BASIC_INFO.data_dir, "kest", "ticks", f"{code} {day:%Y-%m-%d} - ticks.csv")
        frame = pl.read_csv(path, schema=schema).with_columns(pl.lit(code, dtype=pl.String).alias("code"))
        if frame.height:
            frames.append(frame)
        day += timedelta(days=1)
    return pl.concat(frames).sort(["ts", "code"])


def best_of(runs: int, work) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(runs):
        began = time.perf_counter()
        result = work()
        best = min(best, time.perf_counter() - began)
    return best, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--days", type=int, default=60)
    parser.add_argument("--ticks-per-day", type=int, default=5_000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    BASIC_INFO.data_dir = tempfile.mkdtemp(prefix="vkb-bench-")
    utils.console = QuietConsole()
    days = write_cache_days(BASIC_INFO.data_dir, "2330", date(2024, 1, 1), args.days, args.ticks_per_day)
    ticker = Ticker(None)
    ours, df = best_of(args.runs, lambda: ticker.get_ticks_df("2330", "Stock", days[0], days[-1]))
    plain, ref = best_of(args.runs, lambda: polars_loop("2330", days[0], days[-1], ticker.tick_df_schema))
    assert df.equals(ref)
    print(f"cached days               : {args.days} x {args.ticks_per_day:,} ticks = {df.height:,} rows")
    print(f"get_ticks_df              : {ours * 1000:.1f} ms ({df.height / ours:,.0f} rows/s)")
    print(f"plain polars loop         : {plain * 1000:.1f} ms")
    print(f"ratio (loop / get_ticks_df): {plain / ours:.2f}x")


if __name__ == "__main__":
    main()
