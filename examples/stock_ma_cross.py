"""股票範例: 2330 的 1 分 K 均線交叉 (10 / 30), 以 0050 為績效基準; 每根 K 棒收盤時 (on_bar) 以 C++ 指標判斷.

執行: python examples/stock_ma_cross.py  (或 vorn-kest-backtest run examples/stock_ma_cross.py --start ... --end ...)
"""

from __future__ import annotations

import sys

from vorn_kest_backtest.runner import Context, Strategy


class StockMovingAverageCross(Strategy):
    codes = [("2330", "Stock"), ("0050", "Stock")]
    start = "2024-05-06"
    end = "2024-05-17"
    initial_capital = 2_000_000

    fast, slow, lots = 10, 30, 1

    def __init__(self) -> None:
        self.fast_above: bool | None = None

    def on_start(self, ctx: Context) -> None:
        self.fast_ma = ctx.indicator("2330", "m", 1, "sma", self.fast)
        self.slow_ma = ctx.indicator("2330", "m", 1, "sma", self.slow)

    def on_bar(self, bar, ctx: Context) -> None:
        if self.slow_ma.value != self.slow_ma.value:  # NaN until `slow` bars have closed
            return
        fast_above = self.fast_ma.value > self.slow_ma.value
        crossed, self.fast_above = self.fast_above is not None and fast_above != self.fast_above, fast_above
        held = ctx.positions("2330")
        if crossed and fast_above and held == 0:
            ctx.buy("2330", self.lots)
        elif crossed and not fast_above and held > 0:
            ctx.sell("2330", held)

    def on_finish(self, ctx: Context) -> None:
        ctx.close_all()


if __name__ == "__main__":
    from vorn_kest_backtest.cli import main

    sys.exit(main(["run", __file__, *sys.argv[1:]]))
