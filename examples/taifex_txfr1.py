"""期貨範例: 以期交所每日行情檔 (Daily_YYYY_MM_DD.zip) 回測台指期近月 (TXFR1) 的 5 分鐘均線交叉.

近月合約在最後交易日 (當月第三個星期三) 之後自動換到次月; 夜盤與日盤依時間順序重播.
執行: python examples/taifex_txfr1.py --data 放每日行情檔的資料夾 --start 2026-01-05 --end 2026-01-30
(先執行 vorn-kest-backtest import taifex 資料夾, 之後的回測讀取較快)
"""

from __future__ import annotations

import sys

from vorn_kest_backtest.runner import Context, Strategy

CODE = "TXFR1"


class TaifexMovingAverageCross(Strategy):
    codes = [(CODE, "Future")]
    start = "2026-01-05"
    end = "2026-01-30"
    initial_capital = 1_000_000

    fast = 6
    slow = 24

    def on_tick(self, tick, ctx: Context) -> None:
        bars = ctx.kbar(CODE, "m", 5)
        if len(bars) <= self.slow:
            return
        closes = bars["Close"]
        fast, slow = closes.tail(self.fast).mean(), closes.tail(self.slow).mean()
        held = ctx.positions(CODE)
        if fast > slow and held <= 0:
            ctx.buy(CODE, 1 - held)
        elif fast < slow and held >= 0:
            ctx.sell(CODE, 1 + held)

    def on_finish(self, ctx: Context) -> None:
        ctx.close(CODE)


if __name__ == "__main__":
    from vorn_kest_backtest.cli import main

    sys.exit(main(["run", __file__, "--broker", "taifex", *sys.argv[1:]]))
