"""股票範例: 2330 開盤 30 分鐘區間向上突破時以括號單進場 (停利 +2%, 停損 -1%), 每天最多一次.

進場後同時掛出停利限價與停損單, 一方成交即取消另一方; 13:20 (收盤集合競價前) 仍持有則市價平倉.
執行: python examples/stock_bracket_breakout.py
"""

from __future__ import annotations

import sys
from datetime import date, datetime, time, timedelta

from vorn_kest_backtest.runner import Context, Strategy

CODE = "2330"
RANGE_END, FLAT_AT = time(9, 30), time(13, 20)


def exchange_time(timestamp: float) -> datetime:
    return datetime(1970, 1, 1) + timedelta(hours=8, seconds=timestamp)


class StockBracketBreakout(Strategy):
    codes = [(CODE, "Stock")]
    start = "2024-05-06"
    end = "2024-05-17"
    initial_capital = 2_000_000

    take_profit_pct, stop_loss_pct, lots = 0.02, 0.01, 1

    def __init__(self) -> None:
        self.day: date | None = None
        self.high = 0.0
        self.entered = False

    def on_tick(self, tick, ctx: Context) -> None:
        moment = exchange_time(tick["timestamp"])
        if moment.date() != self.day:
            self.day, self.high, self.entered = moment.date(), tick["close"], False
        if moment.time() < RANGE_END:
            self.high = max(self.high, tick["close"])
            return
        held = ctx.positions(CODE)
        if moment.time() >= FLAT_AT:
            for order in ctx.orders(CODE):
                ctx.cancel(order)
            if held > 0:
                ctx.sell(CODE, held)
            return
        if not self.entered and tick["close"] > self.high:
            price = tick["close"]
            # 2330 trades in whole dollars between 500 and 1000.
            ctx.buy(CODE, self.lots, take_profit=round(price * (1 + self.take_profit_pct)),
                    stop_loss=round(price * (1 - self.stop_loss_pct)))
            self.entered = True

    def on_finish(self, ctx: Context) -> None:
        ctx.close(CODE)


if __name__ == "__main__":
    from vorn_kest_backtest.cli import main

    sys.exit(main(["run", __file__, *sys.argv[1:]]))
