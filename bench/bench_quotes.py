"""Tick buffer and k-bars: QuoteManager against a straightforward pure-Python + polars version.

500,000 ticks of one stock code. Figures: add_tick ticks/s, a strategy loop calling get_kbar(code, "m", 1)
after every tick and after every 100 ticks, the warm get_kbar after one new tick in microseconds, and
bytes per buffered tick. The pure-Python loops are slow, so the comparison runs on two windows at the end
of the stream after the same warm prefix; QuoteManager alone also runs the loops over the whole stream.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import time
import tracemalloc
from datetime import datetime, timedelta
from datetime import time as dtime

import numpy as np
import polars as pl

from vorn_kest_backtest.modules.market.market import holiday_table_path
from vorn_kest_backtest.modules.positions.positions import QuoteManager

EPOCH = datetime(1970, 1, 1)
OFFSET = timedelta(hours=8)


class ReferenceQuoteManager:
    """The same buffer and cached k-bars in plain Python records and polars frames."""

    SCHEMA: dict[str, pl.DataType] = {
        "dt": pl.Datetime("us"), "market_type": pl.Utf8(), "code": pl.Utf8(), "close": pl.Float64(), "qty": pl.Int64(),
        "tick_type": pl.Int8(), "is_simulate": pl.Boolean(), "is_virtual": pl.Boolean()}

    def __init__(self, holidays: set[str]) -> None:
        self.holiday_search_set = set(holidays)
        self.ticks: dict[str, dict] = {}
        self.not_trade_times = {
            "Stock": [[dtime(13, 30), dtime(23, 59, 59)], [dtime(0, 0), dtime(8, 59, 59)]],
            "Future": [[dtime(13, 45), dtime(14, 59, 59)], [dtime(5, 0), dtime(8, 44, 59)]],
        }

    def skip(self, market: str, minute: datetime) -> bool:
        t = minute.time()
        if any(start <= t <= end for start, end in self.not_trade_times[market]):
            return True
        if minute.weekday() >= 5 and not (market == "Future" and minute.weekday() == 5 and t < dtime(5)):
            return True
        return minute.strftime("%Y-%m-%d") in self.holiday_search_set

    def add_tick(self, tick: dict) -> None:
        dt = EPOCH + timedelta(seconds=tick["timestamp"]) + OFFSET
        entry = self.ticks.setdefault(tick["code"], {"ticks": [], "old_ticks": [], "last_tick": None,
                                                     "cached_kbars": {}})
        last = entry["last_tick"]
        if last is not None:
            last_minute = last["dt"].replace(second=0, microsecond=0)
            gap = int((dt.replace(second=0, microsecond=0) - last_minute).total_seconds() // 60)
            for i in range(1, gap):
                minute = last_minute + timedelta(minutes=i)
                if not self.skip(tick["market_type"], minute):
                    entry["ticks"].append({"dt": minute, "market_type": tick["market_type"], "code": tick["code"],
                                           "close": last["close"], "qty": 0, "tick_type": 0,
                                           "is_simulate": False, "is_virtual": True})
        record = {"dt": dt, "market_type": tick["market_type"], "code": tick["code"], "close": tick["close"],
                  "qty": tick["qty"], "tick_type": tick["tick_type"], "is_simulate": tick["is_simulate"],
                  "is_virtual": False}
        entry["ticks"].append(record)
        entry["last_tick"] = record

    def frame(self, records: list[dict]) -> pl.DataFrame:
        if not records:
            return pl.DataFrame(schema=self.SCHEMA)
        df = pl.DataFrame(records)
        return df.select([pl.col(k).cast(v) for k, v in self.SCHEMA.items()]).sort("dt", maintain_order=True)

    def poped_tick_to_df(self, code: str) -> pl.DataFrame:
        entry = self.ticks.get(code)
        if entry is None:
            return self.frame([])
        df = self.frame(entry["ticks"])
        entry["old_ticks"].extend(entry["ticks"])
        entry["ticks"] = []
        return df

    @staticmethod
    def aggregate_kbar(df: pl.DataFrame) -> pl.DataFrame:
        return (df.group_by(["kbar_time", "code"], maintain_order=True)
                .agg(Open=pl.col("close").first(), High=pl.col("close").max(), Low=pl.col("close").min(),
                     Close=pl.col("close").last(), Volume=pl.col("qty").sum())
                .rename({"kbar_time": "dt"}))

    def get_kbar(self, code: str, unit: str = "m", freq: int = 1) -> pl.DataFrame:
        new = self.poped_tick_to_df(code)
        entry = self.ticks[code]
        key = f"{freq}{unit}"
        cached = entry["cached_kbars"].get(key)
        if cached is None:
            old = self.frame(entry["old_ticks"]).filter(~pl.col("is_simulate"))
            bars = self.aggregate_kbar(old.with_columns(kbar_time=pl.col("dt").dt.truncate(key)))
        elif new.is_empty():
            bars = cached
        else:
            new = new.with_columns(kbar_time=pl.col("dt").dt.truncate(key))
            latest = cached["dt"].max()
            fresh = self.aggregate_kbar(new.filter((pl.col("kbar_time") >= latest) & ~pl.col("is_simulate")))
            merged = (pl.concat([cached.filter(pl.col("dt") == latest), fresh])
                      .group_by(["code", "dt"], maintain_order=True)
                      .agg(pl.col("Open").first(), pl.col("High").max(), pl.col("Low").min(),
                           pl.col("Close").last(), pl.col("Volume").sum())
                      .select(cached.columns))
            bars = pl.concat([cached.filter(pl.col("dt") < latest), merged]).sort("dt")
        entry["cached_kbars"][key] = bars
        return bars


def make_ticks(n: int, seed: int = 3) -> list[dict]:
    """Stock ticks in session hours of weekdays, about one a second, with the odd gap of a few minutes."""
    rng = np.random.default_rng(seed)
    out: list[dict] = []
    day = datetime(2024, 1, 2)
    price = 600.0
    while len(out) < n:
        if day.weekday() < 5:
            gaps = rng.exponential(0.9, 20000)
            gaps[rng.random(20000) < 0.002] += 240.0
            offsets = np.cumsum(gaps)
            offsets = offsets[offsets < 16200.0][: n - len(out)]
            steps = rng.choice([-0.5, 0.0, 0.5], len(offsets))
            qtys = rng.integers(1, 20, len(offsets))
            base = (day - EPOCH).total_seconds() + 9 * 3600 - 8 * 3600
            for offset, step, qty in zip(offsets.tolist(), steps.tolist(), qtys.tolist(), strict=True):
                price += step
                out.append({"timestamp": base + round(offset, 6), "market_type": "Stock", "code": "2330",
                            "close": price, "qty": qty, "tick_type": 1, "is_simulate": False,
                            "is_backfilling": False})
        day += timedelta(days=1)
    return out


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def add_all(manager, ticks) -> float:
    add = manager.add_tick
    start = time.perf_counter()
    for t in ticks:
        add(t)
    return time.perf_counter() - start


def loop_every(manager, ticks, every: int) -> tuple[float, float, int, float]:
    """Strategy loop: add_tick per tick, get_kbar every `every` ticks. Returns total s, get_kbar s, calls and
    the median call in s (which a shared machine's bursts of load move less than the mean)."""
    add, get, clock = manager.add_tick, manager.get_kbar, time.perf_counter
    calls: list[float] = []
    start = clock()
    for i, t in enumerate(ticks, 1):
        add(t)
        if i % every == 0:
            t0 = clock()
            get("2330", "m", 1)
            calls.append(clock() - t0)
    return clock() - start, sum(calls), len(calls), statistics.median(calls)


def warm(manager, ticks):
    for t in ticks:
        manager.add_tick(t)
    manager.get_kbar("2330", "m", 1)
    return manager


def report(label: str, fast: float, ref: float, unit: str, higher_is_better: bool) -> None:
    ratio = fast / ref if higher_is_better else ref / fast
    print(f"  {label:<44} QuoteManager {fast:12,.1f} {unit}   reference {ref:12,.1f} {unit}   ratio {ratio:7.1f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ticks", type=int, default=500_000)
    parser.add_argument("--every-100-window", type=int, default=20_000)
    parser.add_argument("--every-tick-window", type=int, default=2_000)
    parser.add_argument("--ref-add-ticks", type=int, default=100_000)
    args, _ = parser.parse_known_args()
    holidays = set(pl.read_csv(holiday_table_path())["Date"].cast(pl.Utf8).to_list())
    ticks = make_ticks(args.ticks)
    n = len(ticks)
    w100, w1 = args.every_100_window, args.every_tick_window
    prefix, window100, window1 = ticks[: n - w100 - w1], ticks[n - w100 - w1: n - w1], ticks[n - w1:]
    print(f"{n:,} ticks of one code; windows: every 100 ticks on {w100:,}, every tick on {w1:,} "
          f"(after a warm prefix of {len(prefix):,}); reference add_tick rate on {args.ref_add_ticks:,}")

    # Memory first, while the process is fresh: tracemalloc for Python objects, RSS growth for the C++ buffer.
    rss0 = rss_bytes()
    tracemalloc.start()
    fast = QuoteManager()
    add_all(fast, prefix)
    fast_py = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    fast_rss = max(rss_bytes() - rss0, 0)
    buffered = fast.poped_old_ticks_to_df("2330").height + fast.poped_tick_to_df("2330").height
    tracemalloc.start()
    ref = ReferenceQuoteManager(holidays)
    add_all(ref, prefix)
    ref_py = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    fast_bytes, ref_bytes = (fast_py + fast_rss) / buffered, ref_py / buffered

    # add_tick rate, untraced.
    fast_add = n / add_all(QuoteManager(), ticks)
    ref_ticks = ticks[: args.ref_add_ticks]
    ref_add = len(ref_ticks) / add_all(ReferenceQuoteManager(holidays), ref_ticks)
    gc.collect()

    # Strategy loops on the same windows after the same warm prefix.
    fast.get_kbar("2330", "m", 1)
    ref.get_kbar("2330", "m", 1)
    f100 = loop_every(fast, window100, 100)
    r100 = loop_every(ref, window100, 100)
    f1 = loop_every(fast, window1, 1)
    r1 = loop_every(ref, window1, 1)
    del ref
    gc.collect()
    whole1 = loop_every(QuoteManager(), ticks, 1)
    whole100 = loop_every(QuoteManager(), ticks, 100)

    print()
    report("add_tick", fast_add, ref_add, "ticks/s", True)
    report(f"bytes per buffered tick ({buffered:,} incl. virtual)", fast_bytes, ref_bytes, "B", False)
    print(f"    QuoteManager: tracemalloc {fast_py / buffered:.1f} B + C++ buffer by RSS {fast_rss / buffered:.1f} B"
          " (the tick struct is 32 B)")
    report("loop, get_kbar every 100 ticks", len(window100) / f100[0], len(window100) / r100[0], "ticks/s", True)
    report("  get_kbar every 100 ticks", f100[1] / f100[2] * 1e6, r100[1] / r100[2] * 1e6, "us", False)
    report("loop, get_kbar every tick", len(window1) / f1[0], len(window1) / r1[0], "ticks/s", True)
    report("  warm get_kbar after one new tick", f1[1] / f1[2] * 1e6, r1[1] / r1[2] * 1e6, "us", False)
    report("  the same, median call", f1[3] * 1e6, r1[3] * 1e6, "us", False)
    print(f"\n  QuoteManager over all {n:,} ticks: get_kbar every tick {n / whole1[0]:,.0f} ticks/s "
          f"({whole1[1] / whole1[2] * 1e6:.1f} us per call), every 100 ticks {n / whole100[0]:,.0f} ticks/s "
          f"({whole100[1] / whole100[2] * 1e6:.1f} us per call)")


if __name__ == "__main__":
    main()
