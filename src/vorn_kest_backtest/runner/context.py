"""策略可用的操作: 下單, 查詢 K 線, 持倉與帳戶餘額."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import Action
from vorn_kest_backtest.runner.bars import BarSeries
from vorn_kest_backtest.runner.indicators import Indicator
from vorn_kest_backtest.runner.orders import Order, OrderBook
from vorn_kest_backtest.runner.orders.book import FILL_MODELS
from vorn_kest_backtest.runner.orders.funding import mark_ledger


class Context:
    """傳給策略各個方法的物件. `account` 為模擬帳戶 (Positions), `quotes` 為 QuoteManager,
    `codes` 為這次回測的代碼 (依命令列 --codes 或策略的 codes)."""

    def __init__(self, positions, quote_manager, codes: Sequence[str] = ()) -> None:
        self.account = positions
        self.quotes = quote_manager
        self.codes: tuple[str, ...] = tuple(codes)
        self._orders = OrderBook(positions)
        # Set once a strategy subscribes to bars: the engine then feeds ticks through the bar events.
        self.bar_events = False
        self._warned: set[str] = set()
        self._series: dict[tuple[str, str, int], tuple[int, BarSeries]] = {}

    def _check_code(self, code: str) -> None:
        # A strategy written for other codes would otherwise make no trade without a word.
        if self.codes and code not in self.codes and code not in self._warned:
            self._warned.add(code)
            run_codes = ", ".join(self.codes)
            utils.console.print(f"[yellow]策略使用的代碼 {code} 不在這次回測的代碼中 ({run_codes})[/yellow]")

    def observe(self, tick: dict[str, Any]) -> None:
        """Called by the engine before the strategy sees the tick; working orders of its code meet it first."""
        self._orders.on_tick(tick)

    @property
    def order_book(self) -> OrderBook:
        """The engine's way to the working orders (its driver calls `observe` only when there is work)."""
        return self._orders

    def finish_replay(self) -> None:
        """Called by the engine when the tape is over, before on_finish."""
        self._orders.finish_replay()

    @property
    def last_ticks(self) -> dict[str, dict[str, Any]]:
        """每個代碼最新的 Tick."""
        return self._orders.last_ticks

    # Orders -------------------------------------------------------------------------------------------------

    def buy(self, code: str, qty: int, price: float | None = None, stop: float | None = None, *,
            fill: str = "next_trade", good_till_cancel: bool = False, take_profit: float | None = None,
            stop_loss: float | None = None) -> Order:
        """買進委託, 回傳 Order (其 status 隨回放更新).

        只給 qty: 市價, 於下一筆成交 (fill="this_tick": 以本 Tick 收盤價立即成交); price: 限價;
        stop: 停損 (成交價觸及後於下一筆以市價成交); price 與 stop: 停損限價.
        take_profit / stop_loss: 括號單, 進場成交後掛出停利限價與停損單, 一方成交即取消另一方.
        預設當日有效 (收盤時未成交即取消); good_till_cancel=True 則留到成交或回放結束.
        """
        self._check_code(code)
        return self._orders.submit(code, Action.BUY, qty, price, stop, fill=fill, good_till_cancel=good_till_cancel,
                                   take_profit=take_profit, stop_loss=stop_loss)

    def sell(self, code: str, qty: int, price: float | None = None, stop: float | None = None, *,
             fill: str = "next_trade", good_till_cancel: bool = False, take_profit: float | None = None,
             stop_loss: float | None = None) -> Order:
        """賣出委託 (可平多單或放空); 參數同 buy, 方向相反."""
        self._check_code(code)
        return self._orders.submit(code, Action.SELL, qty, price, stop, fill=fill, good_till_cancel=good_till_cancel,
                                   take_profit=take_profit, stop_loss=stop_loss)

    def cancel(self, order: Order) -> bool:
        """取消仍在等待的委託 (留下 "Cancel" 交易紀錄); 已成交或已取消時回傳 False."""
        return self._orders.cancel(order)

    def orders(self, code: str | None = None) -> list[Order]:
        """仍在等待的委託; 不指定代碼時為全部."""
        return self._orders.open_orders(code)

    def set_fill_model(self, model: str) -> None:
        """市價成交價: "trade" (成交價, 預設) 或 "quote" (買在委賣價, 賣在委買價; 無報價時用成交價).

        "quote" 以買賣價差作為成本, 因此同時把帳戶的滑價設為 0 檔.
        """
        if model not in FILL_MODELS:
            raise ValueError(f"fill_model 必須是 {' 或 '.join(FILL_MODELS)}: {model!r}")
        self._orders.fill_model = model
        if model == "quote":
            for kind in ("stock", "future"):
                for action in ("buy", "sell"):
                    self.account.update_fee_settings(kind, action=action, tick_count=0)

    @property
    def peak_margin(self) -> float:
        """回放中期貨原始保證金占用的最高值."""
        return self._orders.peak_margin

    def kbar(self, code: str, unit: str = "m", freq: int = 1):
        """目前為止的 K 線 (polars DataFrame: dt, code, Open, High, Low, Close, Volume)."""
        self._check_code(code)
        return self.quotes.get_kbar(code, unit=unit, freq=freq)

    # Bar events, bar series and indicators.

    def subscribe(self, code: str, unit: str = "m", freq: int = 1) -> None:
        """訂閱 K 棒收盤事件: 每根收盤的 K 棒呼叫一次策略的 on_bar (在 on_start 中呼叫)."""
        self._check_code(code)
        self.quotes.subscribe(code, unit, freq)
        self.bar_events = True

    def bars(self, code: str, unit: str = "m", freq: int = 1) -> BarSeries:
        """目前為止的 K 棒欄位 (唯讀 numpy 檢視, 不複製, 只在下一筆 tick 之前有效); 與 kbar 相同的列."""
        self._check_code(code)
        # Views stay the bars while the columns stay in place: the same series is handed out again.
        layout = self.quotes.bar_layout(code, unit, freq)
        key = (code, unit, freq)
        cached = self._series.get(key)
        if cached is None or cached[0] != layout:
            cached = self._series[key] = (layout, BarSeries(code, self.quotes.bar_arrays(code, unit, freq)))
        return cached[1]

    def indicator(self, code: str, unit: str, freq: int, kind: str, length: int = 0, width: float = 2.0) -> Indicator:
        """在 (code, unit, freq) 的 K 棒上建立 (或取得同一個) 指標, 每根 K 棒收盤時由 C++ 更新; 也訂閱該 K 棒."""
        handle = self.quotes.add_indicator(code, unit, freq, kind, length, width)
        self.bar_events = True
        return Indicator(self.quotes, handle, kind)

    def positions(self, code: str | None = None):
        """淨持倉數量 (多單為正, 空單為負); 不指定代碼時回傳 {代碼: 淨持倉}."""
        book = self.account.positions
        if code is not None:
            return _net_quantity(book.get(code))
        return {name: _net_quantity(sides) for name, sides in book.items()}

    def _marked_ledger(self):
        # The account's ledger at the latest trade of every code seen so far.
        ledger = self.account.ledger
        mark_ledger(ledger, self._orders.last_ticks)
        return ledger

    def balance(self) -> float:
        """現金: 初始資金 - 股票買進金額 + 股票賣出金額 - 交易成本 + 期貨已實現損益 (期貨保證金不扣除)."""
        return self.account.ledger.cash()

    def equity(self) -> float:
        """權益: 現金 + 股票部位以最新成交價計 (空單為負債) + 期貨未實現損益."""
        return self._marked_ledger().equity()

    def margin_in_use(self) -> float:
        """期貨未平倉口數 x 今日 (最新 Tick 所在交易日) 的每口原始保證金."""
        return self._marked_ledger().margin_in_use()

    def buying_power(self, code: str) -> float:
        """可用資金: 股票為現金 - 期貨保證金占用 - 期貨未實現虧損; 期貨為權益 - 保證金占用.
        市場依該代碼最新 Tick 的 market_type."""
        tick = self._orders.last_ticks.get(code)
        if tick is None:
            raise ValueError(f"尚未收到 {code} 的 Tick, 無法判斷市場")
        return self._marked_ledger().buying_power(tick["market_type"])


def _net_quantity(sides) -> int:
    if not sides:
        return 0
    return sum(p["quantity"] for p in sides["buy"]) - sum(p["quantity"] for p in sides["sell"])
