"""Standard report of a long run: 250 dense days of a futures code, against the page that draws every minute.

The frames stand for what a year's replay leaves behind (every minute of the day and night sessions, a marked
equity sample a minute, a round trip a day), so no ticks are replayed. Prints the page size, the size of the folder of
day files beside it and the build time of the report as built (coarser candles and thinned equity on the page, every
day's minute bars and equity in its own file) and of the straightforward page with every 1-minute bar and every sample,
built in the same run, and their ratios.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
from datetime import date, datetime

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

from report_fakes import FakePositions, SessionMinutes, daily_round_trips, weekdays  # noqa: E402

from vorn_kest_backtest import utils  # noqa: E402
from vorn_kest_backtest.constant import BASIC_INFO  # noqa: E402
from vorn_kest_backtest.modules.market.market import exchange_datetime  # noqa: E402
from vorn_kest_backtest.reports import generate_standard_report, minute_folder, standard  # noqa: E402

DAYS = int(os.environ.get("BENCH_DAYS", "250"))


class Quiet:
    def print(self, *args, **kwargs) -> None:
        pass


def build(positions, quotes, equity) -> tuple[float, int, int, int]:
    """Build time, page size, and the day folder's size and file count (0 when there is none)."""
    start = time.perf_counter()
    path = generate_standard_report(positions, "TXFR1", quotes, equity=equity)
    took = time.perf_counter() - start
    folder = minute_folder(path)
    names = os.listdir(folder) if os.path.isdir(folder) else []
    return took, os.path.getsize(path), sum(os.path.getsize(os.path.join(folder, n)) for n in names), len(names)


def main() -> None:
    days = weekdays(date(2024, 1, 1), DAYS)
    quotes = SessionMinutes("TXFR1", days)
    positions = FakePositions(daily_round_trips("TXFR1", days))
    # A sample at the end of every minute, in epoch seconds of the exchange clock's wall time.
    offset = (exchange_datetime(0.0) - datetime(1970, 1, 1)).total_seconds()
    walls = quotes.frame["dt"].dt.epoch("us").to_numpy() / 1e6
    equity = [(float(wall - offset + 59.5), 1_000_000.0 + i) for i, wall in enumerate(walls)]
    BASIC_INFO.data_dir = tempfile.mkdtemp()
    utils.console = Quiet()

    ours, ours_size, folder_size, day_files = build(positions, quotes, equity)
    standard_chart_bars = standard.chart_bars
    standard.chart_bars = lambda minute: (minute, 1)  # every 1-minute bar and every sample: the straightforward page
    try:
        plain, plain_size, _, _ = build(positions, quotes, equity)
    finally:
        standard.chart_bars = standard_chart_bars
    print(f"{DAYS} dense days: {quotes.frame.height:,} minute bars, {len(equity):,} equity samples")
    print(f"report as built (coarser candles, day files beside it):     {ours:6.2f} s, {ours_size / 1e6:6.2f} MB page, "
          f"{folder_size / 1e6:.2f} MB in {day_files} day files ({folder_size / max(day_files, 1) / 1e3:.1f} kB each)")
    print(f"every 1-minute bar and sample on the page:                  {plain:6.2f} s, {plain_size / 1e6:6.2f} MB")
    print(f"ratio plain / ours: time {plain / ours:.1f}x, size {plain_size / ours_size:.1f}x")


if __name__ == "__main__":
    main()
