"""Memory and time of long runs: the bundled 1-minute SMA cross example on one futures code with dense days
(150,000 day-session ticks a day, half as many at night), over 20 and over 120 trading days, cached.

The days come from the simulated broker, written as the file broker's day files; a first run over the whole
range fills the tick cache. Each measured run is the command line in its own process (`run --no-report
--quiet`); its peak RSS is the one the kernel reports for that child alone (wait4). The straightforward
comparison is a plain polars read of the same cache files (read each, stack, sort by time), also in a process
of its own: what holding the range's ticks in memory costs. A 120-day run holding every tick
(`--tick-window all`) shows the share of the quotes' tick buffer.

Goals: peak RSS at 120 days at most 1.25x the one at 20 days and at most 1 GB; 120 days in at most 8 s.
`--quick` tries it on 5 and 20 days of 20,000 ticks.
"""

from __future__ import annotations

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time
from datetime import date, datetime, timedelta, timezone
from datetime import time as dt_time
from pathlib import Path

import polars as pl

from vorn_kest_backtest.brokers import SimulatedBroker
from vorn_kest_backtest.modules.market.market import TradingCalendar

CODE = "TXFR1"
FIRST_DAY = date(2024, 1, 2)
EXAMPLE = Path(__file__).resolve().parents[1] / "src" / "vorn_kest_backtest" / "examples" / "ma_cross.py"
GOAL_RSS_RATIO, GOAL_RSS_BYTES, GOAL_WALL = 1.25, 1 << 30, 8.0

# Reads the cache files, keeps the ticks of the range (from the night session opening its first trading date to
# the close of its last day session), stacks and sorts them; prints how many.
PLAIN_READ = """
import sys
import polars as pl
first_ns, last_ns = int(sys.argv[1]), int(sys.argv[2])
schema = {"ts": pl.Int64, "close": pl.Float64, "volume": pl.Int64, "bid_price": pl.Float64, "bid_volume": pl.Int64,
          "ask_price": pl.Float64, "ask_volume": pl.Int64, "tick_type": pl.Int64}
frames = [pl.read_csv(path, schema=schema).filter(pl.col("ts").is_between(first_ns, last_ns)) for path in sys.argv[3:]]
print(pl.concat(frames).sort("ts", maintain_order=True).height)
"""

def trading_days(count: int) -> list[date]:
    calendar = TradingCalendar()
    days: list[date] = []
    day = FIRST_DAY
    while len(days) < count:
        if calendar.is_trading_day(day):
            days.append(day)
        day += timedelta(days=1)
    return days


def write_days(folder: str, last: date, ticks_per_day: int) -> int:
    """Every calendar day from the week before the first (whose last night session opens the first trading date)
    to the morning after `last` (its night session's tail), as <code>/<day>.parquet."""
    broker = SimulatedBroker(ticks_per_day=ticks_per_day)
    contract = broker.Contracts.Futures[CODE]
    os.makedirs(os.path.join(folder, CODE), exist_ok=True)
    rows, day = 0, FIRST_DAY - timedelta(days=7)
    while day <= last + timedelta(days=3):
        ticks = broker.ticks(contract=contract, date=day.isoformat())
        if ticks["ts"]:
            pl.DataFrame(ticks).write_parquet(os.path.join(folder, CODE, f"{day.isoformat()}.parquet"))
            rows += len(ticks["ts"])
        day += timedelta(days=1)
    return rows


def measured(command: list[str]) -> tuple[float, int]:
    """Wall seconds and peak RSS in bytes of one child process, which must succeed."""
    began = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - began
    child.returncode = os.waitstatus_to_exitcode(status)
    error = child.stderr.read().decode(errors="replace") if child.stderr else ""
    if child.returncode != 0:
        raise SystemExit(f"{' '.join(command)} exited {child.returncode}:\n{error}")
    return wall, usage.ru_maxrss * 1024


def run_command(files: str, data_dir: str, days: list[date], window: str) -> list[str]:
    return [sys.executable, "-m", "vorn_kest_backtest.cli", "--data-dir", data_dir, "run", str(EXAMPLE),
            "--broker", "files", "--data", files, "--codes", f"{CODE}:Future", "--param", f"trade_code={CODE}",
            "--start", days[0].isoformat(), "--end", days[-1].isoformat(), "--no-report", "--quiet",
            "--tick-window", window]


def cache_files(data_dir: str, days: list[date]) -> list[str]:
    """The cache files of the calendar days from the trading day before the range to its last day."""
    wanted = {(days[0] - timedelta(days=i)).isoformat() for i in range(1, 5)}
    wanted |= {(days[0] + timedelta(days=i)).isoformat() for i in range((days[-1] - days[0]).days + 1)}
    found = glob.glob(os.path.join(data_dir, "kest", "**", f"{CODE} * - ticks.csv"), recursive=True)
    return sorted(path for path in found if os.path.basename(path).split(" ")[1] in wanted)


def range_ns(days: list[date]) -> tuple[int, int]:
    """UTC nanoseconds of the previous trading day's 15:00 and the last day's 13:45 (exchange time, UTC+8)."""
    calendar, before = TradingCalendar(), days[0] - timedelta(days=1)
    while not calendar.is_trading_day(before):
        before -= timedelta(days=1)
    first = datetime.combine(before, dt_time(15), timezone(timedelta(hours=8)))
    last = datetime.combine(days[-1], dt_time(13, 45), timezone(timedelta(hours=8)))
    return int(first.timestamp()) * 10**9, int(last.timestamp()) * 10**9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--short", type=int, default=20, help="trading days of the short run")
    parser.add_argument("--long", type=int, default=120, help="trading days of the long run")
    parser.add_argument("--ticks-per-day", type=int, default=150_000, help="day-session ticks a day")
    parser.add_argument("--quick", action="store_true", help="5 and 20 days of 20,000 ticks")
    args = parser.parse_args()
    if args.quick:
        args.short, args.long, args.ticks_per_day = 5, 20, 20_000

    root = tempfile.mkdtemp(prefix="vkb-bench-scale-")
    try:
        measure(args, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def measure(args: argparse.Namespace, root: str) -> None:
    files, data_dir = os.path.join(root, "files"), os.path.join(root, "data")
    long_days = trading_days(args.long)
    short_days = long_days[:args.short]
    began = time.perf_counter()
    written = write_days(files, long_days[-1], args.ticks_per_day)
    print(f"dense days written          : {written:,} ticks of {CODE} in {time.perf_counter() - began:.1f} s "
          f"({args.ticks_per_day:,} day-session ticks a day)")
    cold, _ = measured(run_command(files, data_dir, long_days, "day"))
    print(f"cache filled (cold run)     : {args.long} days in {cold:.1f} s")

    results = {}
    for label, days, window in (("short", short_days, "day"), ("long", long_days, "day"), ("all", long_days, "all")):
        paths = cache_files(data_dir, days)
        wall, rss = measured(run_command(files, data_dir, days, window))
        first_ns, last_ns = range_ns(days)
        plain = [sys.executable, "-c", PLAIN_READ, str(first_ns), str(last_ns), *paths]
        plain_wall, plain_rss = measured(plain)
        ticks = int(subprocess.run(plain, capture_output=True, text=True, check=True).stdout)
        results[label] = (wall, rss)
        name = f"{len(days)} days, --tick-window {window}"
        print(f"{name:<28}: {wall:.2f} s, {ticks / wall:,.0f} ticks/s ({ticks:,} ticks), peak RSS {rss / 2**20:,.0f} MB"
              f" | plain polars read {plain_wall:.2f} s, peak RSS {plain_rss / 2**20:,.0f} MB; ratio (ours / plain) "
              f"wall {wall / plain_wall:.2f}x, RSS {rss / plain_rss:.2f}x")

    short_rss, long_rss, all_rss = results["short"][1], results["long"][1], results["all"][1]
    long_wall = results["long"][0]
    ratio = long_rss / short_rss
    lines = [
        (f"RSS{args.long} / RSS{args.short}", f"{ratio:.2f}x", ratio <= GOAL_RSS_RATIO, f"<= {GOAL_RSS_RATIO}x"),
        (f"peak RSS at {args.long} days", f"{long_rss / 2**20:,.0f} MB", long_rss <= GOAL_RSS_BYTES, "<= 1 GB"),
        (f"wall at {args.long} days", f"{long_wall:.2f} s", long_wall <= GOAL_WALL, f"<= {GOAL_WALL:.0f} s"),
    ]
    for label, figure, met, goal in lines:
        print(f"{label:<28}: {figure} (goal {goal}: {'met' if met else 'not met'})")
    held = all_rss - long_rss
    print(f"{'quotes holding every tick':<28}: {held / 2**20:,.0f} MB more at {args.long} days "
          f"({held / max(1, args.long - 1) / 2**20:.1f} MB per trading day of dense ticks)")

if __name__ == "__main__":
    main()
