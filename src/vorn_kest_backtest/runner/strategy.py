"""策略基底類別: 回測引擎依序呼叫 on_start, 每個 Tick 的 on_tick, 最後 on_finish."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, ClassVar

if TYPE_CHECKING:
    from vorn_kest_backtest.runner.context import Context


class Strategy:
    """繼承此類別並覆寫需要的方法.

    類別屬性 `codes` ([(代碼, "Stock"/"Future"), ...]), `start`, `end` ("%Y-%m-%d") 為命令列未指定時的預設值;
    `initial_capital` 為初始資金.
    """

    codes: ClassVar[list[tuple[str, str]]] = []
    start: ClassVar[str | None] = None
    end: ClassVar[str | None] = None
    initial_capital: ClassVar[int] = 1_000_000

    def on_start(self, ctx: Context) -> None:
        """回放開始前呼叫一次."""

    def on_tick(self, tick: dict[str, Any], ctx: Context) -> None:
        """每個 Tick 呼叫一次; tick 含 market_type, timestamp, code, close, qty, tick_type 等欄位."""

    def on_finish(self, ctx: Context) -> None:
        """回放結束後呼叫一次 (例如平倉)."""
