"""Tick buffer and k-bars: QuoteManager against a straightforward pure-Python + polars version.

500,000 ticks of one stock code. Figures: add_tick ticks/s, a strategy loop calling get_kbar(code, "m", 1)
after every tick and after every 100 ticks, the warm get_kbar after one new tick in microseconds, and
bytes per buffered tick. The pure-Python every-tick loop is slow, so it runs on the last `--ref-every-tick`
ticks only (after the same warm-up prefix); per-call figures compare the same window.
"""

from __future__ import annotations

import argparse
import gc
import os
import time
import tracemalloc
from datetime import datetime, time as dtime, timedelta

import numpy as np
import polars as pl

from vorn_kest_backtest.modules.positions.positions import QuoteManager

EPOCH = datetime(1970, 1, 1)
OFFSET = timedelta(hours=8)


class ReferenceQuoteManager:
    """The same buffer and cached k-bars in plain Python records and polars frames."""

    SCHEMA = {"dt": pl.Datetime("us"), "market_type": pl.Utf8, "code": pl.Utf8, "close": pl.Float64,
              "qty": pl.Int64, "tick_type": pl.Int8, "is_simulate": pl.Boolean, "is_virtual": pl.Boolean}

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
            for offset, step, qty in zip(offsets.tolist(), steps.tolist(), qtys.tolist()):
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


def loop_every(manager, ticks, every: int) -> tuple[float, float, int]:
    """Strategy loop: add_tick per tick, get_kbar every `every` ticks. Returns total s, get_kbar s, calls."""
    add, get, clock = manager.add_tick, manager.get_kbar, time.perf_counter
    in_get, calls = 0.0, 0
    start = clock()
    for i, t in enumerate(ticks, 1):
        add(t)
        if i % every == 0:
            t0 = clock()
            get("2330", "m", 1)
            in_get += clock() - t0
            calls += 1
    return clock() - start, in_get, calls


def warm(manager, ticks):
    for t in ticks:
        manager.add_tick(t)
    manager.get_kbar("2330", "m", 1)
    return manager


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ticks", type=int, default=500_000)
    parser.add_argument("--ref-every-tick", type=int, default=3_000)
    args = parser.parse_args()
    holidays = set(pl.read_csv(
        os.path.join(os.path.dirname(__import__("vorn_kest_backtest").__file__), "static",
                     "holidays_search_from_2017.csv"))["Date"].cast(pl.Utf8).to_list())
    ticks = make_ticks(args.ticks)
    n = len(ticks)
    print(f"{n:,} ticks of one code, {ticks[0]['timestamp']:.0f} .. {ticks[-1]['timestamp']:.0f}")

    gc.collect()
    rss0 = rss_bytes()
    tracemalloc.start()
    fast = QuoteManager()
    fast_add = add_all(fast, ticks)
    fast_py_bytes = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    fast_rss = rss_bytes() - rss0
    buffered = fast.poped_tick_to_df("2330").height
    del fast
    gc.collect()

    tracemalloc.start()
    ref = ReferenceQuoteManager(holidays)
    ref_add = add_all(ref, ticks)
    ref_py_bytes = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del ref
    gc.collect()

    print("\nadd_tick")
    print(f"  QuoteManager : {n / fast_add:12,.0f} ticks/s")
    print(f"  reference    : {n / ref_add:12,.0f} ticks/s   ratio {ref_add / fast_add:6.1f}x")

    print(f"\nmemory per buffered tick ({buffered:,} incl. virtual)")
    fast_bytes = (fast_py_bytes + max(fast_rss, 0)) / buffered
    ref_bytes = ref_py_bytes / buffered
    print(f"  QuoteManager : {fast_bytes:8.1f} B (tracemalloc {fast_py_bytes / buffered:.1f} + C++ buffer by RSS "
          f"{fast_rss / buffered:.1f}; struct is 32 B)")
    print(f"  reference    : {ref_bytes:8.1f} B (tracemalloc)   ratio {ref_bytes / fast_bytes:6.1f}x")

    print("\nget_kbar(code, 'm', 1) every 100 ticks, whole stream")
    total, in_get, calls = loop_every(QuoteManager(), ticks, 100)
    print(f"  QuoteManager : loop {n / total:10,.0f} ticks/s, {in_get / calls * 1e6:8.1f} us per get_kbar")
    r_total, r_get, r_calls = loop_every(ReferenceQuoteManager(holidays), ticks, 100)
    print(f"  reference    : loop {n / r_total:10,.0f} ticks/s, {r_get / r_calls * 1e6:8.1f} us per get_kbar"
          f"   ratio {r_total / total:6.1f}x loop, {(r_get / r_calls) / (in_get / calls):6.1f}x per call")

    print("\nget_kbar(code, 'm', 1) after every tick")
    total, in_get, calls = loop_every(QuoteManager(), ticks, 1)
    print(f"  QuoteManager : loop {n / total:10,.0f} ticks/s over all {n:,} ticks, "
          f"{in_get / calls * 1e6:.1f} us per get_kbar")
    window = ticks[n - args.ref_every_tick:]
    prefix = ticks[: n - args.ref_every_tick]
    w_total, w_get, w_calls = loop_every(warm(QuoteManager(), prefix), window, 1)
    r_total, r_get, r_calls = loop_every(warm(ReferenceQuoteManager(holidays), prefix), window, 1)
    fast_us, ref_us = w_get / w_calls * 1e6, r_get / r_calls * 1e6
    print(f"  last {len(window):,} ticks after a warm prefix (warm get_kbar after one new tick):")
    print(f"  QuoteManager : loop {len(window) / w_total:10,.0f} ticks/s, {fast_us:8.1f} us per get_kbar")
    print(f"  reference    : loop {len(window) / r_total:10,.0f} ticks/s, {ref_us:8.1f} us per get_kbar"
          f"   ratio {ref_us / fast_us:6.1f}x per call")


if __name__ == "__main__":
    main()
