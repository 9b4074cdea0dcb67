"""Importing the exchange's daily tick files: `import_taifex` against a plain polars read of the same files.

Generates `--days` trading days of a realistic file (TX and MTX in three months, weeklies, calendar spreads,
night and day session, about `--rows` rows a day, cp950 in a zip), then times
- plain: unzip, decode, `pl.read_csv` of every file (the least any reader must do);
- import: `import_taifex` (parse, drop spreads, type, write one Parquet per day);
- serve: `TaifexBroker.ticks` for TXFR1 on every calendar day from the converted copies.
"""

from __future__ import annotations

import argparse
import io
import os
import sys
import tempfile
import time
import zipfile
from collections.abc import Callable
from datetime import date, timedelta
from typing import TypeVar, cast

import numpy as np
import polars as pl
from rich.console import Console

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from taifex_fixtures import HEADER, zipped  # noqa: E402

from vorn_kest_backtest import utils  # noqa: E402
from vorn_kest_backtest.brokers import TaifexBroker  # noqa: E402
from vorn_kest_backtest.brokers.taifex_import import import_taifex  # noqa: E402


class QuietConsole:
    def print(self, *args, **kwargs) -> None:
        pass


def day_rows(trading_day: date, previous: date, rows: int, seed: int) -> bytes:
    """One file's body: a third night session, two thirds day session, across products and expiries."""
    rng = np.random.default_rng(seed)
    month = f"{trading_day:%Y%m}"
    expiries = np.array([month, f"{month}W4", "209901", "209902", f"{month}/209901", "209901/209902"])
    products = np.array(["TX", "MTX", "TMF"])
    night = rng.random(rows) < 1 / 3
    seconds = np.where(
        night, 15 * 3600 + rng.integers(0, 14 * 3600, rows), 8 * 3600 + 45 * 60 + rng.integers(0, 5 * 3600, rows)
    )
    seconds.sort()
    after_midnight = seconds >= 24 * 3600
    day_text = np.where(night & ~after_midnight, f"{previous:%Y%m%d}", f"{trading_day:%Y%m%d}")
    seconds = seconds % (24 * 3600)
    expiry = expiries[rng.choice(len(expiries), rows, p=[0.45, 0.15, 0.2, 0.1, 0.05, 0.05])]
    spread = np.char.find(expiry.astype(str), "/") >= 0
    price = np.where(spread, rng.integers(20, 60, rows), 23000 + rng.integers(-300, 300, rows))
    frame = pl.DataFrame(
        {
            "date": day_text,
            "product": pl.Series(products[rng.choice(3, rows, p=[0.5, 0.35, 0.15])]).str.pad_end(7),
            "expiry": pl.Series(expiry).str.pad_end(11),
            "time": [f"{s // 3600:02d}{s // 60 % 60:02d}{s % 60:02d}" for s in seconds.tolist()],
            "price": price,
            "sides": 2 * rng.integers(1, 20, rows),
            "near": np.where(spread, "23000", "-"),
            "far": np.where(spread, "23030", "-"),
            "auction": np.where(np.arange(rows) == 0, "*", ""),
        }
    )
    body = io.BytesIO()
    frame.write_csv(body, include_header=False, line_terminator="\r\n")
    return (HEADER + "\r\n").encode("cp950") + body.getvalue()


def write_folder(folder: str, days: int, rows: int) -> list[date]:
    trading_days: list[date] = []
    day = date(2025, 3, 3)
    while len(trading_days) < days:
        if day.weekday() < 5:
            trading_days.append(day)
        day += timedelta(days=1)
    template = day_rows(trading_days[1], trading_days[0], rows, 0)
    first, before = f"{trading_days[1]:%Y%m%d}".encode(), f"{trading_days[0]:%Y%m%d}".encode()
    previous_days = [trading_days[0] - timedelta(days=3), *trading_days[:-1]]
    for previous, trading_day in zip(previous_days, trading_days, strict=True):
        # The same tape on every day, re-dated: parsing cost does not depend on the prices.
        data = template.replace(before, f"{previous:%Y%m%d}".encode()).replace(first, f"{trading_day:%Y%m%d}".encode())
        with open(os.path.join(folder, f"Daily_{trading_day:%Y_%m_%d}.zip"), "wb") as stream:
            stream.write(zipped(f"Daily_{trading_day:%Y_%m_%d}.csv", data))
    return trading_days


def plain_read(folder: str) -> int:
    total = 0
    for name in sorted(os.listdir(folder)):
        if name.endswith(".zip"):
            with zipfile.ZipFile(os.path.join(folder, name)) as archive:
                text = archive.read(archive.namelist()[0]).decode("cp950")
            total += pl.read_csv(text.encode("utf-8"), infer_schema=False).height
    return total


T = TypeVar("T")


def timed(work: Callable[[], T]) -> tuple[float, T]:
    began = time.perf_counter()
    result = work()
    return time.perf_counter() - began, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=60)
    parser.add_argument("--rows", type=int, default=120_000)
    args = parser.parse_args()
    utils.console = cast(Console, QuietConsole())
    with tempfile.TemporaryDirectory() as folder:
        trading_days = write_folder(folder, args.days, args.rows)
        plain_s, rows = timed(lambda: plain_read(folder))
        import_s, result = timed(lambda: import_taifex(folder, progress=False))
        again_s, _ = timed(lambda: import_taifex(folder, progress=False))
        broker = TaifexBroker(folder)
        contract = broker.Contracts.Futures["TXFR1"]
        calendar_days = [trading_days[0] + timedelta(days=i) for i in range((trading_days[-2] - trading_days[0]).days)]
        serve_s, served = timed(
            lambda: sum(len(broker.ticks(contract=contract, date=d.isoformat())["ts"]) for d in calendar_days))
    print(f"{args.days} days, {rows:,} rows ({rows / args.days:,.0f} a day); {len(result.converted)} days converted")
    print(f"plain polars read : {plain_s:7.2f} s  ({rows / plain_s:,.0f} rows/s)")
    print(f"import taifex     : {import_s:7.2f} s  ({rows / import_s:,.0f} rows/s), ratio {import_s / plain_s:.2f}x")
    print(f"import again      : {again_s:7.3f} s  (nothing to convert)")
    print(f"serve TXFR1       : {serve_s:7.2f} s  for {len(calendar_days)} calendar days, {served:,} ticks")


if __name__ == "__main__":
    main()
