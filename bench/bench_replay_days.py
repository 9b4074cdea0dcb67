"""Replay over many days, cached: wall time, ticks/s and peak memory as the date range grows.

Each figure comes from a child process of its own (peak RSS from its rusage), on the simulated broker's
dense futures days (one code), after a first run has filled the tick cache:
- cli: the command line (`run --no-report --quiet`) with the bundled 1-minute SMA cross strategy;
- ticker: the Ticker alone, every record taken and permitted in a plain loop (no account, no quotes);
- polars: the straightforward reference, every cache file of the range read with polars and stacked.

    .venv/bin/python bench/bench_replay_days.py --days 20 120
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from datetime import date, timedelta

CODE = "TXFR1"
START = date(2024, 1, 2)

CHILD = r"""
import json, sys, time
mode, data_dir, start, end, per_day = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
began = time.perf_counter()
ticks = 0
if mode == "cli":
    from vorn_kest_backtest import cli
    from vorn_kest_backtest.brokers import SimulatedBroker
    import vorn_kest_backtest.examples.ma_cross as example
    cli._broker = lambda name, folder: SimulatedBroker(ticks_per_day=per_day)
    status = cli.main(["run", example.__file__, "--codes", "TXFR1:Future", "--param", "trade_code=TXFR1",
                       "--start", start, "--end", end, "--no-report", "--quiet", "--data-dir", data_dir])
    assert status == 0, status
elif mode == "ticker":
    from vorn_kest_backtest import utils
    from vorn_kest_backtest.brokers import SimulatedBroker
    from vorn_kest_backtest.constant import BASIC_INFO
    from vorn_kest_backtest.modules.ticker.ticker import Ticker
    BASIC_INFO.data_dir = data_dir
    utils.console.quiet = True
    ticker = Ticker(SimulatedBroker(ticks_per_day=per_day))
    ticker.send_ticks([{"code": "TXFR1", "market": "Future"}], start, end)
    while "vorn_status" not in ticker.pop_tick():
        ticks += 1
        ticker.allow_next_tick()
    ticker.wait_for_tick_cache()
else:
    import glob, polars as pl
    from vorn_kest_backtest.modules.ticker.ticker import Ticker
    schema = Ticker(None).tick_df_schema
    paths = sorted(glob.glob(f"{data_dir}/kest/sources/*/TXFR1 *.csv"))
    paths = [p for p in paths if start <= p.rsplit(" ", 3)[1] <= end]
    ticks = pl.concat([pl.read_csv(p, schema=schema) for p in paths]).height
print(json.dumps({"seconds": time.perf_counter() - began, "ticks": ticks}))
"""


def trading_end(days: int) -> date:
    from vorn_kest_backtest.modules.market.market import listed_holidays

    holidays = set(listed_holidays())
    current, counted = START, 0
    while True:
        if current.weekday() < 5 and current not in holidays:
            counted += 1
            if counted == days:
                return current
        current += timedelta(days=1)


def child(mode: str, data_dir: str, end: date, per_day: int) -> dict:
    process = subprocess.Popen([sys.executable, "-c", CHILD, mode, data_dir, START.isoformat(), end.isoformat(),
                                str(per_day)], stdout=subprocess.PIPE, text=True)
    out = process.stdout.read() if process.stdout else ""
    _, status, usage = os.wait4(process.pid, 0)
    if status != 0:
        raise SystemExit(f"{mode} run failed: {status}")
    figures = json.loads(out.strip().splitlines()[-1])
    figures["peak_mb"] = usage.ru_maxrss / 1024
    return figures


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--days", type=int, nargs="+", default=[20, 120])
    parser.add_argument("--ticks-per-day", type=int, default=150_000)
    parser.add_argument("--data-dir", help="a folder kept between runs (default: a new temporary one)")
    args = parser.parse_args()
    data_dir = args.data_dir or tempfile.mkdtemp(prefix="bench_replay_days_")
    longest = trading_end(max(args.days))
    began = time.perf_counter()
    child("ticker", data_dir, longest, args.ticks_per_day)  # fills the cache
    print(f"cache of {max(args.days)} trading days filled in {time.perf_counter() - began:.1f} s ({data_dir})")
    for days in args.days:
        end = trading_end(days)
        reference = child("polars", data_dir, end, args.ticks_per_day)
        ticker = child("ticker", data_dir, end, args.ticks_per_day)
        cli = child("cli", data_dir, end, args.ticks_per_day)
        ticks = ticker["ticks"]
        print(f"{days:4d} trading days, {ticks:,} ticks ({START} .. {end}):")
        print(f"  polars read + stack (reference): {reference['seconds']:6.2f} s, peak {reference['peak_mb']:7.0f} MB")
        print(f"  ticker loop                     : {ticker['seconds']:6.2f} s, peak {ticker['peak_mb']:7.0f} MB, "
              f"{ticks / ticker['seconds']:,.0f} ticks/s")
        print(f"  cli run --no-report --quiet     : {cli['seconds']:6.2f} s, peak {cli['peak_mb']:7.0f} MB, "
              f"{ticks / cli['seconds']:,.0f} ticks/s, {cli['seconds'] / reference['seconds']:.1f}x the polars read")


if __name__ == "__main__":
    main()
