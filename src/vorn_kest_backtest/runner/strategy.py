"""策略基底類別: 回測引擎依序呼叫 on_start, 每根收盤 K 棒的 on_bar 與每個 Tick 的 on_tick, 最後 on_finish."""

from __future__ import annotations

from typing import TYPE_CHECKING, ClassVar

if TYPE_CHECKING:
    from vorn_kest_backtest.runner.bars import Bar
    from vorn_kest_backtest.runner.choices import Market, RollMode, Unit
    from vorn_kest_backtest.runner.context import Context
    from vorn_kest_backtest.runner.orders import Fill, Order
    from vorn_kest_backtest.runner.tick import Tick


class Strategy:
    """繼承此類別並覆寫需要的方法.

    類別屬性 `codes` ([(代碼, "Stock"/"Future"), ...]), `start`, `end` ("%Y-%m-%d") 為命令列未指定時的預設值;
    `initial_capital` 為初始資金. `bars` ([(代碼, unit, freq), ...]) 為要收到 on_bar 的 K 棒
    (也可在 on_start 中呼叫 ctx.subscribe).
    `roll`: 資料標明契約月份時 (期交所每日行情檔, 或檔案的 contract 欄), 連續月代碼 (如 TXFR1) 的部位在該月
    到期後的第一筆 Tick 前處理: "settle" (預設) 以到期契約的最後成交價結算平倉 (原因 "到期結算");
    "carry" 結算後以新月份的第一筆成交價建立同方向同口數的部位 (原因 "轉倉").

    on_bar 的時機: 同一商品的 tick 開啟下一根 K 棒時, 在該 tick 的 on_tick 之前; 因交易時段結束而收盤的 K 棒,
    在第一筆時間到達或超過該時段結束後一分鐘 (股票 13:31, 期貨 13:46 與 05:01) 的 tick (任何商品) 交給策略之前;
    其餘在回放結束時 (on_finish 之前). 虛擬 tick 補齊的分鐘 K 棒在該商品下一筆 tick 到達時一起收盤.
    沒有覆寫 on_tick 的策略不會每個 Tick 被呼叫.

    on_order / on_fill: 委託狀態改變 (成交或取消, 含被拒絕) 與每筆成交, 依回放發生的順序, 在造成它的那一步
    (該 Tick 的撮合, 或下單, 取消) 完成後呼叫; 同一筆成交先 on_fill 再 on_order. 其中可再下單或取消.
    """

    codes: ClassVar[list[tuple[str, Market]]] = []
    start: ClassVar[str | None] = None
    end: ClassVar[str | None] = None
    initial_capital: ClassVar[int] = 1_000_000
    bars: ClassVar[list[tuple[str, Unit, int]]] = []
    roll: ClassVar[RollMode] = "settle"

    def on_start(self, ctx: Context) -> None:
        """回放開始前呼叫一次."""

    def on_tick(self, tick: Tick, ctx: Context) -> None:
        """每個 Tick 呼叫一次; tick 含 market_type, timestamp, code, close, qty, tick_type 等欄位."""

    def on_bar(self, bar: Bar, ctx: Context) -> None:
        """每根訂閱的 K 棒收盤時呼叫一次; bar 的數值與 get_kbar 的同一列相同."""

    def on_order(self, order: Order, ctx: Context) -> None:
        """委託成交或取消 (含被拒絕) 時呼叫; order 為唯讀的 Order."""

    def on_fill(self, fill: Fill, ctx: Context) -> None:
        """每筆成交時呼叫; fill 為唯讀的 Fill (order, code, action, quantity, price, time, contract)."""

    def on_finish(self, ctx: Context) -> None:
        """回放結束後呼叫一次 (例如平倉)."""
