"""Checked by mypy in the test suite: every line marked `# mypy: error` must be reported, no other line."""

from __future__ import annotations

import polars as pl

from vorn_kest_backtest import BacktestResult, Context, Strategy, Tick, backtest
from vorn_kest_backtest.runner import Bar, Market


class Probe(Strategy):
    codes = [("2330", "Stocks")]  # mypy: error
    bars = [("2330", "m", 5)]

    def on_tick(self, tick: Tick, ctx: Context) -> None:
        price: float = tick["close"]
        market: Market = tick["market_type"]
        ctx.buy("2330", 1, price=price)
        ctx.buy("2330", "one lot")  # mypy: error
        ctx.indicator("2330", "m", 1, "smaa", 5)  # mypy: error
        ctx.subscribe("2330", "min", 1)  # mypy: error
        ctx.set_fill_model(limit="toch")  # mypy: error
        started = ctx.now
        if started is not None:
            print(started.hour)
        tick["closee"]  # mypy: error
        print(market)

    def on_bar(self, bar: Bar, ctx: Context) -> None:
        ctx.sell(bar.code, ctx.positions(bar.code))


result: BacktestResult = backtest(Probe, fees="tw_broker", slippage_ticks=1)
trades: pl.DataFrame = result.trades
backtest(Probe, fees="cheap")  # mypy: error
backtest(Probe, roll="keep")  # mypy: error
