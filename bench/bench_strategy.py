"""End-to-end strategy throughput in one process and one run of each form, over the same ticks:
(a) the moving-average cross polling `ctx.kbar` once per minute from `on_tick` (the straightforward form),
(b) the bundled demo on `on_bar` with C++ moving averages, and
(c) an `on_tick` strategy that only reads the zero-copy `ctx.bars`;
and (b) and (a) once more through the per-tick Python loop, against which the C++ replay loop is measured.
Trades of (a) and (b) are asserted equal (an order acted on at a session's end fills at that session's
last close in (b), at the next session's first tick in (a); those are reported apart)."""

from __future__ import annotations

import argparse
import tempfile
import time
from typing import cast

from rich.console import Console

from vorn_kest_backtest import utils
from vorn_kest_backtest.brokers.simulated import SimulatedBroker
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.examples.ma_cross import MovingAverageCross
from vorn_kest_backtest.runner import Strategy, engine, session


class QuietConsole:
    def print(self, *args, **kwargs) -> None:
        pass


class PollingCross(MovingAverageCross):
    on_bar = Strategy.on_bar

    def on_start(self, ctx) -> None:
        for action in ("buy", "sell"):
            ctx.account.update_fee_settings("stock", action=action, tick_count=1)
        self._minute: int | None = None

    def on_tick(self, tick, ctx) -> None:
        if tick["code"] != self.trade_code:
            return
        minute = int(tick["timestamp"] // 60)
        if minute == self._minute:
            return
        self._minute = minute
        closes = ctx.kbar(self.trade_code, "m", 1)["Close"].head(-1)
        if closes.len() < self.slow:
            return
        self.follow(closes.tail(self.fast).mean() > closes.tail(self.slow).mean(), ctx)


class BarsReader(Strategy):
    codes = MovingAverageCross.codes

    def __init__(self) -> None:
        self.last_close = 0.0

    def on_tick(self, tick, ctx) -> None:
        bars = ctx.bars(tick["code"], "m", 1)
        self.last_close = bars.close[-1]


def timed_run(strategy, broker, python_loop: bool = False) -> tuple[int, float, list]:
    """Ticks handled, seconds of the replay loop, and the trade records."""
    measured = {}
    real_replay, real_modules, real_driver = session.replay, session._modules, engine._native_driver
    ledgers = []

    def replay(*args):
        start = time.perf_counter()
        measured["ticks"] = real_replay(*args)
        measured["seconds"] = time.perf_counter() - start
        return measured["ticks"]

    def modules():
        ticker, positions, quotes = real_modules()
        return ticker, lambda: ledgers.append(positions()) or ledgers[-1], quotes

    session.replay, session._modules = replay, modules
    if python_loop:
        engine._native_driver = lambda positions, quotes: None
    try:
        codes = [{"code": c, "market": m} for c, m in MovingAverageCross.codes]
        session.run_backtest(strategy, codes, MovingAverageCross.start, MovingAverageCross.end, broker,
                             reports_wanted=False)
    finally:
        session.replay, session._modules, engine._native_driver = real_replay, real_modules, real_driver
    trades = [(r["code"], r["action"], r["quantity"], r["price"], r["dt"], r["trade_status"])
              for r in ledgers[0].trade_records]
    return measured["ticks"], measured["seconds"], trades


def fastest(make_strategy, broker, repeat: int, python_loop: bool = False) -> tuple[int, float, list]:
    """The fastest of `repeat` runs (a shared machine's noise only ever slows a run); every run trades alike."""
    runs = [timed_run(make_strategy(), broker, python_loop) for _ in range(repeat)]
    assert all(run[0] == runs[0][0] and run[2] == runs[0][2] for run in runs), "runs differ"
    return runs[0][0], min(run[1] for run in runs), runs[0][2]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--ticks-per-day", type=int, default=34_000, help="ticks per code and day (15 days, 2 codes)")
    parser.add_argument("--repeat", type=int, default=5, help="runs of each form; the fastest is reported")
    args = parser.parse_args()
    utils.console = cast(Console, QuietConsole())
    with tempfile.TemporaryDirectory() as folder:
        BASIC_INFO.data_dir = folder
        broker = SimulatedBroker(ticks_per_day=args.ticks_per_day)
        timed_run(BarsReader(), broker)  # fills the tick cache, so every timed run reads the same files
        n_a, s_a, trades_a = fastest(PollingCross, broker, args.repeat)
        n_b, s_b, trades_b = fastest(MovingAverageCross, broker, args.repeat)
        n_c, s_c, _ = fastest(BarsReader, broker, args.repeat)
        n_p, s_p, trades_p = fastest(MovingAverageCross, broker, 1, python_loop=True)
        n_q, s_q, trades_q = fastest(PollingCross, broker, 1, python_loop=True)
    assert n_a == n_b == n_c == n_p == n_q
    assert [t[:3] + t[5:] for t in trades_a] == [t[:3] + t[5:] for t in trades_b], "trades differ"
    assert trades_p == trades_b and trades_q == trades_a, "the Python loop traded otherwise"
    at_session_end = sum(a != b for a, b in zip(trades_a, trades_b, strict=True))
    print(f"ticks: {n_a:,} of 2 codes; trade records: {len(trades_b)} identical "
          f"({at_session_end} acted on at a session end fill at its last close in on_bar); "
          f"fastest of {args.repeat} runs")
    print(f"(a) polling ctx.kbar from on_tick: {n_a / s_a:12,.0f} ticks/s  ({s_a:.2f} s)")
    print(f"(b) on_bar + C++ indicators:       {n_b / s_b:12,.0f} ticks/s  ({s_b:.2f} s)  {s_a / s_b:.1f}x (a)")
    print(f"(c) on_tick reading ctx.bars:      {n_c / s_c:12,.0f} ticks/s  ({s_c:.2f} s)")
    print(f"(b) through the Python tick loop:  {n_p / s_p:12,.0f} ticks/s  ({s_p:.2f} s)  "
          f"C++ loop {s_p / s_b:.1f}x faster")
    print(f"(a) through the Python tick loop:  {n_q / s_q:12,.0f} ticks/s  ({s_q:.2f} s)  "
          f"(b) is {s_q / s_b:.1f}x this")


if __name__ == "__main__":
    main()
