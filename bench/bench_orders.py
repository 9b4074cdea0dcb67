"""Working orders at engine speed, in one process over the same ticks (>= 1,000,000 of two codes): the same
one-minute moving-average cross on `on_bar`, stop-and-reverse,
(a) entering with market orders only, no order working between its bars, and
(b) entering each side with a bracket, its stop-loss and take-profit working at all times while in the market.
The core's order matcher meets (b)'s exits on every tick of their code; Python hears only of fills.
Goals: (b) >= 1,000,000 ticks/s and (b) >= 0.5 x (a)."""

from __future__ import annotations

import argparse
import tempfile
import time
from typing import cast

from rich.console import Console

from vorn_kest_backtest import utils
from vorn_kest_backtest.brokers.simulated import SimulatedBroker
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.modules.market.market import price_grid_for, snap
from vorn_kest_backtest.runner import Context, Market, Strategy, session

CODES: list[tuple[str, Market]] = [("2330", "Stock"), ("0050", "Stock")]
START, END = "2024-03-04", "2024-03-22"
# The bracket's exits, this far from the entry: wide enough to stay working between crosses.
BRACKET = 0.04


class QuietConsole:
    def print(self, *args, **kwargs) -> None:
        pass


class ReversingCross(Strategy):
    """(a): long above the slow average, short below it, market orders only."""

    codes = CODES
    initial_capital = 100_000_000
    code, fast, slow, lots = "2330", 30, 120, 1

    def __init__(self) -> None:
        self.fast_above: bool | None = None
        self.grid = price_grid_for(self.code, "Stock")

    def on_start(self, ctx: Context) -> None:
        self.fast_ma = ctx.indicator(self.code, "m", 1, "sma", self.fast)
        self.slow_ma = ctx.indicator(self.code, "m", 1, "sma", self.slow)

    def on_bar(self, bar, ctx: Context) -> None:
        if bar.code != self.code or self.slow_ma.value != self.slow_ma.value:
            return
        fast_above = self.fast_ma.value > self.slow_ma.value
        if fast_above != self.fast_above:
            self.fast_above = fast_above
            ctx.close(self.code)
            self.enter(ctx, fast_above, bar.close)

    def enter(self, ctx: Context, long: bool, close: float) -> None:
        (ctx.buy if long else ctx.sell)(self.code, self.lots)

    def on_finish(self, ctx: Context) -> None:
        ctx.close_all()


class BracketedCross(ReversingCross):
    """(b): the same entries, each with its stop-loss and take-profit working."""

    def enter(self, ctx: Context, long: bool, close: float) -> None:
        up, down = snap(close * (1 + BRACKET), self.grid), snap(close * (1 - BRACKET), self.grid)
        if long:
            ctx.buy(self.code, self.lots, take_profit=up, stop_loss=down, good_till_cancel=True)
        else:
            ctx.sell(self.code, self.lots, take_profit=down, stop_loss=up, good_till_cancel=True)


def timed_run(strategy: Strategy, broker) -> tuple[int, float, int]:
    """Ticks handled, seconds of the replay, and the trade records made."""
    measured: dict[str, float] = {}
    real_replay, real_modules = session.replay, session._modules
    accounts = []

    def replay(*args):
        start = time.perf_counter()
        measured["ticks"] = real_replay(*args)
        measured["seconds"] = time.perf_counter() - start
        return measured["ticks"]

    def modules():
        ticker, positions, quotes = real_modules()
        return ticker, lambda: accounts.append(positions()) or accounts[-1], quotes

    session.replay, session._modules = replay, modules
    try:
        session.run_backtest(strategy, [{"code": c, "market": m} for c, m in CODES], START, END, broker,
                             reports_wanted=False)
    finally:
        session.replay, session._modules = real_replay, real_modules
    return int(measured["ticks"]), measured["seconds"], len(accounts[0].trade_records)


def fastest(make_strategy, broker, repeat: int) -> tuple[int, float, int]:
    runs = [timed_run(make_strategy(), broker) for _ in range(repeat)]
    assert all(run[0] == runs[0][0] and run[2] == runs[0][2] for run in runs), "runs differ"
    return runs[0][0], min(run[1] for run in runs), runs[0][2]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--ticks-per-day", type=int, default=34_000, help="ticks per code and day (15 days, 2 codes)")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each form; the fastest is reported")
    args = parser.parse_args()
    utils.console = cast(Console, QuietConsole())
    with tempfile.TemporaryDirectory() as folder:
        BASIC_INFO.data_dir = folder
        broker = SimulatedBroker(ticks_per_day=args.ticks_per_day)
        timed_run(ReversingCross(), broker)  # fills the tick cache, so every timed run reads the same files
        n_a, s_a, records_a = fastest(ReversingCross, broker, args.repeat)
        n_b, s_b, records_b = fastest(BracketedCross, broker, args.repeat)
    assert n_a == n_b
    rate_a, rate_b = n_a / s_a, n_b / s_b
    print(f"ticks: {n_a:,} of 2 codes; trade records (a) {records_a}, (b) {records_b}; "
          f"fastest of {args.repeat} runs")
    print(f"(a) no working order:         {rate_a:12,.0f} ticks/s  ({s_a:.2f} s)")
    print(f"(b) bracket working always:   {rate_b:12,.0f} ticks/s  ({s_b:.2f} s)  {rate_b / rate_a:.2f}x (a)")
    print(f"goals: (b) >= 1,000,000 ticks/s: {'met' if rate_b >= 1_000_000 else 'NOT met'}; "
          f"(b) >= 0.5 x (a): {'met' if rate_b >= 0.5 * rate_a else 'NOT met'}")


if __name__ == "__main__":
    main()
