"""策略可用的操作: 下單, 平倉, 查詢 K 線, 持倉與帳戶餘額."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from datetime import datetime
from typing import Any

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import Action
from vorn_kest_backtest.modules.market.market import exchange_datetime
from vorn_kest_backtest.runner.bars import BarSeries
from vorn_kest_backtest.runner.choices import FillMode, FillModel, IndicatorKind, LimitRule, Unit
from vorn_kest_backtest.runner.errors import StrategyError
from vorn_kest_backtest.runner.indicators import Indicator
from vorn_kest_backtest.runner.orders import Fill, Order, OrderBook
from vorn_kest_backtest.runner.orders.book import FILL_MODELS
from vorn_kest_backtest.runner.orders.funding import mark_ledger

CLOSE_REASON = "平倉, 委託取消"


@dataclass(frozen=True)
class PositionView:
    """一個代碼的部位 (唯讀): `qty` 淨持倉 (多單為正, 空單為負), `pending_buy` / `pending_sell` 等待中的買進 /
    賣出委託數量 (互相取消的 OCO 出場委託只算一次), `avg_price` 淨持倉一方的平均進場價 (無持倉時為 0),
    `unrealised` 以最新成交價計的未實現損益 (未扣成本)."""

    code: str
    qty: int
    pending_buy: int
    pending_sell: int
    avg_price: float
    unrealised: float


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
        self._on_order: Callable[[Order, Context], None] | None = None
        self._on_fill: Callable[[Fill, Context], None] | None = None

    def _check_code(self, code: str) -> None:
        # A strategy written for other codes would otherwise make no trade without a word.
        if self.codes and code not in self.codes and code not in self._warned:
            self._warned.add(code)
            run_codes = ", ".join(self.codes)
            utils.console.print(f"[yellow]策略使用的代碼 {code} 不在這次回測的代碼中 ({run_codes})[/yellow]")

    def observe(self, tick: dict[str, Any]) -> None:
        """Called by the Python loop before the strategy sees the tick; working orders of its code meet it first
        (the C++ loop matches them in the core and hands the book only what they did)."""
        self._orders.on_tick(tick)

    @property
    def order_book(self) -> OrderBook:
        """The engine's way to the working orders (the C++ loop shares its `matcher`)."""
        return self._orders

    def set_order_hooks(self, on_order: Callable[[Order, Context], None] | None,
                        on_fill: Callable[[Fill, Context], None] | None) -> None:
        """The strategy's on_order / on_fill, called for each change of an order in the order it happened."""
        self._on_order, self._on_fill = on_order, on_fill
        self._orders.listener = self._tell if on_order is not None or on_fill is not None else None

    def _tell(self, event: Order | Fill) -> None:
        hook, name = (self._on_fill, "on_fill") if isinstance(event, Fill) else (self._on_order, "on_order")
        if hook is None:
            return
        try:
            hook(event, self)  # type: ignore[arg-type]
        except Exception as error:
            raise StrategyError(name, error, None) from error

    def finish_replay(self) -> None:
        """Called by the engine when the tape is over, before on_finish."""
        self._orders.finish_replay()

    @property
    def now(self) -> datetime | None:
        """回放的時間: 所有代碼中最新一筆 Tick 的交易所時間 (naive datetime); 第一筆 Tick 之前為 None."""
        return exchange_datetime(self._orders.clock) if self._orders.last_ticks else None

    @property
    def last_ticks(self) -> dict[str, dict[str, Any]]:
        """每個代碼最新的 Tick."""
        return self._orders.last_ticks

    # Orders -------------------------------------------------------------------------------------------------

    def buy(self, code: str, qty: int, price: float | None = None, stop: float | None = None, *,
            fill: FillMode = "next_trade", good_till_cancel: bool = False, take_profit: float | None = None,
            stop_loss: float | None = None, trail: float | str | None = None) -> Order:
        """買進委託, 回傳唯讀的 Order (其 status 隨回放更新).

        只給 qty: 市價, 於下一筆成交 (fill="this_tick": 以本 Tick 收盤價立即成交); price: 限價;
        stop: 停損 (成交價觸及後於下一筆以市價成交); price 與 stop: 停損限價.
        trail: 移動停損, 點數或百分比文字 (如 "2%"): 停損價跟隨下單後最低的成交價 (賣出為最高), 保持此距離且
        只往有利方向移動; 未給 stop 時由目前成交價起算.
        take_profit / stop_loss: 括號單, 進場成交後掛出停利限價與停損單, 一方成交即取消另一方.
        價格須在該代碼的價格跳動格上, 否則委託被拒絕 (原因寫出最接近的有效價格).
        預設當日有效 (收盤時未成交即取消); good_till_cancel=True 則留到成交或回放結束.
        """
        self._check_code(code)
        return self._orders.submit(code, Action.BUY, qty, price, stop, fill=fill, good_till_cancel=good_till_cancel,
                                   take_profit=take_profit, stop_loss=stop_loss, trail=trail)

    def sell(self, code: str, qty: int, price: float | None = None, stop: float | None = None, *,
             fill: FillMode = "next_trade", good_till_cancel: bool = False, take_profit: float | None = None,
             stop_loss: float | None = None, trail: float | str | None = None) -> Order:
        """賣出委託 (可平多單或放空); 參數同 buy, 方向相反."""
        self._check_code(code)
        return self._orders.submit(code, Action.SELL, qty, price, stop, fill=fill, good_till_cancel=good_till_cancel,
                                   take_profit=take_profit, stop_loss=stop_loss, trail=trail)

    def close(self, code: str) -> Order | None:
        """平倉一個代碼: 取消其等待中的委託, 以市價委託沖銷淨持倉; 回傳該委託 (無持倉時為 None).
        在 on_finish 中以最後成交價成交."""
        self._check_code(code)
        for order in self._orders.open_orders(code):
            self._orders.cancel(order, CLOSE_REASON)
        quantity = self.positions(code)
        if quantity == 0:
            return None
        return self._orders.submit(code, Action.SELL if quantity > 0 else Action.BUY, abs(quantity))

    def close_all(self) -> list[Order]:
        """平倉所有代碼 (有持倉或等待中委託者); 回傳沖銷的市價委託."""
        codes = [code for code, quantity in self.positions().items() if quantity]
        codes += [order.code for order in self._orders.open_orders() if order.code not in codes]
        return [order for code in dict.fromkeys(codes) if (order := self.close(code)) is not None]

    def order_target(self, code: str, qty: int, price: float | None = None, *, fill: FillMode = "next_trade",
                     good_till_cancel: bool = False) -> Order | None:
        """下單使淨持倉加上等待中委託達到 qty (多單為正, 空單為負): 買進或賣出兩者的差額; 已達到時為 None.
        price: 以限價委託差額."""
        if isinstance(qty, bool) or not isinstance(qty, int):
            raise ValueError(f"目標部位必須是整數: {qty!r}")
        view = self.position(code)
        difference = qty - (view.qty + view.pending_buy - view.pending_sell)
        if difference == 0:
            return None
        action = Action.BUY if difference > 0 else Action.SELL
        self._check_code(code)
        return self._orders.submit(code, action, abs(difference), price, fill=fill, good_till_cancel=good_till_cancel)

    def cancel(self, order: Order) -> bool:
        """取消仍在等待的委託 (留下 "Cancel" 交易紀錄); 已成交或已取消時回傳 False."""
        return self._orders.cancel(order)

    def position(self, code: str) -> PositionView:
        """一個代碼的部位檢視 (PositionView): qty, pending_buy, pending_sell, avg_price, unrealised."""
        quantity = self.positions(code)
        pending_buy, pending_sell = self._orders.pending(code)
        rows = [row for row in self._marked_ledger().open_positions() if row["code"] == code]
        side = "Buy" if quantity > 0 else "Sell"
        held = [row for row in rows if row["side"] == side] if quantity else []
        lots = sum(int(row["quantity"]) for row in held)
        average = sum(row["entry_price"] * row["quantity"] for row in held) / lots if lots else 0.0
        return PositionView(code, quantity, pending_buy, pending_sell, float(average),
                            float(sum(row["unrealised"] for row in rows)))

    def orders(self, code: str | None = None) -> list[Order]:
        """仍在等待的委託; 不指定代碼時為全部."""
        return self._orders.open_orders(code)

    def set_fill_model(self, model: FillModel | None = None, *, limit: LimitRule | None = None,
                       queue: bool | None = None, partial: bool | None = None,
                       latency_ms: float | None = None) -> None:
        """成交模型; 未給的項目維持原設定. 預設為保守的: "trade", limit="through", 不排隊, 不部分成交, 無延遲.

        model: 市價成交價, "trade" (成交價) 或 "quote" (買在委賣價, 賣在委買價; 無報價時用成交價);
        "quote" 以買賣價差作為成本, 因此同時把帳戶的滑價設為 0 檔.
        limit: "through" (須成交價超越限價, 在限價的成交不算, 下單後第一筆成交在限價也不算) 或 "touch"
        (成交價觸及限價即成交).
        queue: 掛著的限價單須等下單後在該價位的成交量超過排在前面的量才成交 (不論 limit); 成交價穿越限價時立即
        成交. 排在前面的量: 限價等於下單時同方向的報價 (買在委買價, 賣在委賣價) 時為該報價的委託量, 否則為該代碼
        至今平均每筆成交量.
        partial: 每筆成交最多成交該筆的成交量 (排隊時為超過前面的量), 其餘繼續等待; 括號單的委託一次全部成交.
        latency_ms: 委託與取消送達交易所的延遲 (毫秒, 回放時間): 送出後這段時間內的成交不算, 取消到達前仍可能成交.
        """
        if model is not None:
            if model not in FILL_MODELS:
                raise ValueError(f"fill_model 必須是 {' 或 '.join(FILL_MODELS)}: {model!r}")
            self._orders.fill_model = model
            if model == "quote":
                for kind in ("stock", "future"):
                    for action in ("buy", "sell"):
                        self.account.update_fee_settings(kind, action=action, tick_count=0)
        rules = self._orders.rules
        self._orders.set_rules(rules[0] if limit is None else limit, rules[1] if queue is None else queue,
                               rules[2] if partial is None else partial,
                               rules[3] if latency_ms is None else latency_ms)

    @property
    def peak_margin(self) -> float:
        """回放中期貨原始保證金占用的最高值."""
        return self._orders.peak_margin

    def kbar(self, code: str, unit: Unit = "m", freq: int = 1):
        """目前為止的 K 線 (polars DataFrame: dt, code, Open, High, Low, Close, Volume)."""
        self._check_code(code)
        return self.quotes.get_kbar(code, unit=unit, freq=freq)

    # Bar events, bar series and indicators.

    def subscribe(self, code: str, unit: Unit = "m", freq: int = 1) -> None:
        """訂閱 K 棒收盤事件: 每根收盤的 K 棒呼叫一次策略的 on_bar (在 on_start 中呼叫)."""
        self._check_code(code)
        self.quotes.subscribe(code, unit, freq)
        self.bar_events = True

    def bars(self, code: str, unit: Unit = "m", freq: int = 1) -> BarSeries:
        """目前為止的 K 棒欄位 (唯讀 numpy 檢視, 不複製); 與 kbar 相同的列. 保留的檢視一直有效: 列數固定,
        已收盤的 K 棒不變, 尚未收盤的最後一根隨 tick 更新至收盤為止."""
        self._check_code(code)
        # Views stay the bars while the columns stay in place: the same series is handed out again.
        layout = self.quotes.bar_layout(code, unit, freq)
        key = (code, unit, freq)
        cached = self._series.get(key)
        if cached is None or cached[0] != layout:
            cached = self._series[key] = (layout, BarSeries(code, self.quotes.bar_arrays(code, unit, freq)))
        return cached[1]

    def indicator(self, code: str, unit: Unit, freq: int, kind: IndicatorKind, length: int = 0,
                  width: float = 2.0) -> Indicator:
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
