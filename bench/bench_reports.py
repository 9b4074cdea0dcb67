"""Standard report on a large day set: bars to page JSON and render, against a plain-Python serialisation.

Prints absolute times for N one-minute bars and the ratio to a straightforward pure-Python version of the
same bar work (strftime and json per row dict).
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
import time
from datetime import datetime, timedelta
from typing import cast

from rich.console import Console

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

from report_fakes import FakePositions, FakeQuoteManager, profit_row  # noqa: E402

from vorn_kest_backtest import utils  # noqa: E402
from vorn_kest_backtest.constant import BASIC_INFO  # noqa: E402
from vorn_kest_backtest.reports import generate_standard_report  # noqa: E402
from vorn_kest_backtest.reports.standard import kbar_json  # noqa: E402

BARS = int(os.environ.get("BENCH_BARS", "50000"))


class Quiet:
    def print(self, *args, **kwargs) -> None:
        pass


def make_bars(count: int) -> list[tuple]:
    first = datetime(2024, 1, 2, 8, 45)
    return [(first + timedelta(minutes=i), "TXFR1", 100.0 + i % 7, 101.0 + i % 7, 99.0 + i % 7, 100.5 + i % 7, i % 50)
            for i in range(count)]


def plain_python(rows: list[tuple]) -> str:
    out = []
    for dt, code, o, h, low, c, v in rows:
        out.append({"time": dt.strftime("%Y-%m-%d %H:%M:%S"), "code": code,
                    "Open": o, "High": h, "Low": low, "Close": c, "Volume": v})
    return json.dumps(out, ensure_ascii=False)


def best_of(fn, repeat: int = 3) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    rows = make_bars(BARS)
    quotes = FakeQuoteManager({("TXFR1", "m"): rows})
    positions = FakePositions([profit_row("TXFR1", "2024-01-02 09:00:00", "2024-01-02 10:00:00", 100.0)] * 200)
    BASIC_INFO.data_dir = tempfile.mkdtemp()
    utils.console = cast(Console, Quiet())

    ours = best_of(lambda: kbar_json(quotes, "TXFR1"))
    plain = best_of(lambda: plain_python(rows))
    page = best_of(lambda: generate_standard_report(positions, "TXFR1", quotes))
    size = os.path.getsize(os.path.join(BASIC_INFO.data_dir, "report", "TXFR1-report.html"))
    print(f"bars: {BARS:,}")
    print(f"bars -> page JSON (polars strftime + write_json)    : {ours * 1000:8.1f} ms")
    print(f"bars -> page JSON (plain Python loop):                  {plain * 1000:8.1f} ms")
    print(f"ratio plain / ours: {plain / ours:.2f}x")
    print(f"whole standard report (query, JSON, render, write):      {page * 1000:8.1f} ms, page {size / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
