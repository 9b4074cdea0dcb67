"""After the replay of 250 dense days: daily closes, drawdown and the loud run's fill lines.

Daily closes and the largest drawdown over a sample a minute (day and night sessions of a futures code), against
the plain loops they replaced; and the console lines of the fills (three a round trip) written as a print per line
and through the replay's batch, to a pipe-like console, both measured in the same run.
"""

from __future__ import annotations

import io
import os
import sys
import time

from rich.console import Console

from vorn_kest_backtest import utils
from vorn_kest_backtest.runner.console_batch import ConsoleBatch
from vorn_kest_backtest.runner.statistics import max_drawdown, sample_pairs
from vorn_kest_backtest.runner.trading_days import daily_closes

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from equity_models import looped_closes, looped_drawdown  # noqa: E402  (the tests' own plain loops)

DAYS = int(os.environ.get("BENCH_DAYS", "250"))
FILLS = int(os.environ.get("BENCH_FILLS", "3000"))
FIRST_NIGHT = 1704097200.0  # 2024-01-01 15:00 Taipei


def samples(days: int) -> list[tuple[float, float]]:
    out = []
    for day in range(days):
        for minute in range(1140):
            stamp = FIRST_NIGHT + day * 86400 + minute * 60 + 59.5
            out.append((stamp, 1_000_000.0 + (minute * 37 % 1000) - day * 3.0))
    return out


def timed(fn):
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


FILL_LINES = [
    "[green]沖銷部位: {'trade_id': '2', 'code': 'TXFR1', 'action': 'Sell', 'quantity': 1, 'price': 17003.0, "
    "'origin_price': 17002.0, 'exchange_ts': 1709514002.364875}[/green]",
    "[yellow]被沖銷部位: {'trade_id': '1', 'code': 'TXFR1', 'action': 'Buy', 'quantity': 1, 'price': 16990.0, "
    "'origin_price': 16989.0, 'exchange_ts': 1709514000.246907}[/yellow]",
    "[bold yellow][做多沖銷]本金: 992102.0, 回收價金: 3400600.0, 損益: 2512.0, 出場成本: 89.0[/bold yellow]",
]


def print_fills(batched: bool) -> tuple[float, str]:
    out = io.StringIO()
    utils.console = Console(file=out, width=utils.PIPE_WIDTH, soft_wrap=True)
    batch = ConsoleBatch().install() if batched else None
    start = time.perf_counter()
    for _ in range(FILLS):
        for line in FILL_LINES:
            utils.console.print(line)
    if batch is not None:
        batch.uninstall()
    return time.perf_counter() - start, out.getvalue()


def main() -> None:
    points = samples(DAYS)
    print(f"{DAYS} dense days: {len(points):,} equity samples")
    ours, closes = timed(lambda: daily_closes(sample_pairs(points), ["Future"]))
    plain, expected = timed(lambda: looped_closes(points, "Future"))
    assert closes == expected
    print(f"daily closes (array included): vectorised {ours * 1000:7.1f} ms, loop {plain * 1000:7.1f} ms, "
          f"ratio {plain / ours:.1f}x")
    ours, pairs = timed(lambda: sample_pairs(points))
    print(f"samples to one array (shared by both): {ours * 1000:7.1f} ms")
    ours, drawdown = timed(lambda: max_drawdown(pairs))
    plain, expected_drawdown = timed(lambda: looped_drawdown(points))
    assert drawdown == expected_drawdown
    print(f"max drawdown (over the array): vectorised {ours * 1000:7.1f} ms, loop {plain * 1000:7.1f} ms, "
          f"ratio {plain / ours:.1f}x")
    ours, text = print_fills(batched=True)
    plain, expected_text = print_fills(batched=False)
    assert text == expected_text
    print(f"{FILLS:,} round trips' console lines to a pipe: batched {ours * 1000:7.1f} ms, "
          f"a print per line {plain * 1000:7.1f} ms, ratio {plain / ours:.1f}x")


if __name__ == "__main__":
    main()
