"""均線交叉: 2330 的 1 分 K 快線 (30) 向上穿越慢線 (120) 時買進, 向下穿越時賣出; 0050 作為績效基準.

每根 1 分 K 收盤時 (on_bar) 以 C++ 指標判斷, 不需每個 Tick 呼叫策略.
"""

from __future__ import annotations

from vorn_kest_backtest.runner import Context, Strategy


class MovingAverageCross(Strategy):
    codes = [("2330", "Stock"), ("0050", "Stock")]
    start = "2024-03-04"
    end = "2024-03-22"
    initial_capital = 2_000_000

    trade_code = "2330"
    fast = 30
    slow = 120
    lots = 1

    def __init__(self) -> None:
        self._fast_above: bool | None = None

    def on_start(self, ctx: Context) -> None:
        # A liquid large cap usually fills within one price tick of the quote.
        for action in ("buy", "sell"):
            ctx.account.update_fee_settings("stock", action=action, tick_count=1)
        self._fast_ma = ctx.indicator(self.trade_code, "m", 1, "sma", self.fast)
        self._slow_ma = ctx.indicator(self.trade_code, "m", 1, "sma", self.slow)

    def on_bar(self, bar, ctx: Context) -> None:
        slow = self._slow_ma.value
        if slow != slow:  # NaN: fewer than `slow` bars so far
            return
        self.follow(self._fast_ma.value > slow, ctx)

    def follow(self, fast_above: bool, ctx: Context) -> None:
        """One closed bar's averages: buy when the fast one crosses above the slow one, sell when it crosses below."""
        crossed = self._fast_above is not None and fast_above != self._fast_above
        self._fast_above = fast_above
        if not crossed:
            return
        held = ctx.positions(self.trade_code)
        if fast_above and held == 0:
            ctx.buy(self.trade_code, self.lots)
        elif not fast_above and held > 0:
            ctx.sell(self.trade_code, held)

    def on_finish(self, ctx: Context) -> None:
        ctx.close(self.trade_code)
