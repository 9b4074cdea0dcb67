"""Standard report of a long run: 250 dense days of a futures code, against the page that draws every minute.

The frames stand for what a year's replay leaves behind (every minute of the day and night sessions, a marked
equity sample a minute, a round trip a day), so no ticks are replayed. Prints the page size and the build time of
the report as built (coarser candles, thinned equity, the trade days' minute bars) and of the straightforward page
with every 1-minute bar and every sample, built in the same run, and their ratios.
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
from vorn_kest_backtest.reports import generate_standard_report, standard  # noqa: E402

DAYS = int(os.environ.get("BENCH_DAYS", "250"))


class Quiet:
    def print(self, *args, **kwargs) -> None:
        pass


def build(positions, quotes, equity) -> tuple[float, int]:
    start = time.perf_counter()
    path = generate_standard_report(positions, "TXFR1", quotes, equity=equity)
    return time.perf_counter() - start, os.path.getsize(path)


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

    ours, ours_size = build(positions, quotes, equity)
    standard_chart_bars = standard.chart_bars
    standard.chart_bars = lambda minute: (minute, 1)  # every 1-minute bar and every sample: the straightforward page
    try:
        plain, plain_size = build(positions, quotes, equity)
    finally:
        standard.chart_bars = standard_chart_bars
    print(f"{DAYS} dense days: {quotes.frame.height:,} minute bars, {len(equity):,} equity samples")
    print(f"report as built (coarser candles, trade days' minute bars): {ours:6.2f} s, {ours_size / 1e6:6.2f} MB")
    print(f"every 1-minute bar and sample on the page:                  {plain:6.2f} s, {plain_size / 1e6:6.2f} MB")
    print(f"ratio plain / ours: time {plain / ours:.1f}x, size {plain_size / ours_size:.1f}x")


if __name__ == "__main__":
    main()
