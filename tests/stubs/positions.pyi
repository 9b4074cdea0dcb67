"""Account, positions, quotes and reports"""

from collections.abc import Iterable, Sequence
import datetime


class Ledger:
    """
    帳戶整體: 現金, 依實際契約的未平倉部位, 期貨保證金占用, 權益與可用資金.

    股票以成交金額進出現金 (放空收入現金, 股票為負債); 期貨進場只付費用, 由交易所圈存原始保證金,
    平倉時 (同一契約先進先出) 價差損益進入現金. Positions.ledger 是帳戶自己的帳本.
    """

    def __init__(self, initial_cash: float = 0.0) -> None:
        """initial_cash: 初始現金; 使用套件內的保證金表與休市日表."""

    def cash(self) -> float:
        """現金."""

    def equity(self) -> float:
        """權益: 現金 + 股票以最新價計 (空單為負) + 期貨未實現損益."""

    def margin_in_use(self) -> float:
        """期貨未平倉口數 x 帳本時鐘所在交易日的原始保證金."""

    def buying_power(self, market: str) -> float:
        """可用資金. "Stock": 現金 - 保證金占用 - 期貨未實現虧損; "Future": 權益 - 保證金占用."""

    def initial_margin(self, code: str, timestamp: float | None = None) -> float:
        """每口原始保證金, 依 timestamp (未給時為帳本時鐘) 所在交易日; 保證金表沒有的商品族為 0."""

    def mark(self, code: str, price: float, timestamp: float, contract: str | None = None) -> bool:
        """以最新成交價標記代碼 (給 contract 時只標記該契約); 非正數或非有限的價格不採用 (回傳 False)."""

    def book(self, code: str, market: str, action: str, quantity: int, unit: int, price: float, charges: float, timestamp: float, contract: str = '') -> None:
        """
        記一筆成交: unit 為每張股數或每點價值, price 為成交入帳價 (含滑價), charges 為此筆的手續費 + 稅 + 固定成本.
        Positions 的帳本由 set_positions 記帳, 不需自行呼叫.
        """

    def open_positions(self) -> list[dict]:
        """
        未平倉部位 (依代碼, 契約): code, contract, market, side ("Buy"/"Sell"), quantity, entry_price
        (未平倉各筆的平均進場價), last_price, unrealised (未扣成本的未實現損益).
        """

    def has_positions(self) -> bool:
        """是否有未平倉部位."""

    @property
    def clock(self) -> float | None:
        """帳本時鐘: 最近一筆成交或標記的時間 (秒); 尚無時為 None."""

    def load_margins(self, rows: Iterable[tuple[str, datetime.date, float]]) -> None:
        """換掉保證金表: 每列 (商品族, 生效交易日, 每口原始保證金); 見 vorn_kest_backtest.margin_table."""

    def margin_rows(self) -> list[tuple[str, datetime.date, float]]:
        """目前的保證金表 (依商品族, 生效日)."""

class PositionsCore:
    """帳戶的編譯核心: 部位簿, 成本與帳本 (公開類別為 Positions)."""

    def __init__(self) -> None: ...

    @property
    def ledger(self) -> Ledger:
        """帳戶整體的帳本 (現金, 保證金, 權益, 可用資金, 未平倉部位); 每筆 set_positions 都記入."""

    @property
    def wait_fetch_position_response_flag(self) -> bool:
        """是否正在等待持有部位的回應"""

    @wait_fetch_position_response_flag.setter
    def wait_fetch_position_response_flag(self, arg: bool, /) -> None: ...

    def entry_cost(self, code: str, action: str, price: float, quantity: int, product_type: str, *, ignore_tax: bool = False, limit_price: float | None = None) -> dict:
        """
        以目前的手續費設定計算一筆成交的成本, 滑價依委託本身的方向 (買進向上, 賣出向下).

        回傳 fee, tax, fixed_cost, qty, min_qty, price (滑價後), origin_price; ignore_tax 時不計稅;
        limit_price: 限價單的限價, 滑價後的價格不會比它差.
        """

    @property
    def fee_profile(self) -> dict:
        """使用中的手續費方案 (名稱與參數, 每次回傳新的 dict)"""

class QuoteManager:
    """逐筆行情緩衝與 K 棒: 依商品代碼保存回放的 tick, 補齊盤中缺漏分鐘的虛擬 tick, 並依需求彙總任意週期的 K 棒."""

    def __init__(self) -> None: ...

    @property
    def holiday_search_set(self) -> set:
        """休市日集合 ("%Y-%m-%d" 字串); 讀取得到副本, 重新指定整個集合才會生效."""

    @holiday_search_set.setter
    def holiday_search_set(self, arg: object, /) -> None: ...

    @property
    def not_trade_times(self) -> dict:
        """
        各商品類型的非交易時段 {market_type: [[start, end], ...]} (datetime.time, 含兩端); 讀取得到副本, 重新指定整個對照表才會生效.
        """

    @not_trade_times.setter
    def not_trade_times(self, arg: dict, /) -> None: ...

    @property
    def tick_window_days(self, /) -> int | None:
        """
        每個商品保留 tick 的交易日數: 最近的 N 個交易日 (依該商品最新 tick 的交易日); None (預設) 保留全部 tick. K 棒與指標不受影響: 丟棄前的 tick 都已計入 K 棒, 之後才要求的週期由每個商品的逐分鐘彙總建立; ticks, poped_tick_to_df 與 poped_old_ticks_to_df 只含保留的 tick.
        """

    @tick_window_days.setter
    def tick_window_days(self, value: int | None, /) -> None: ...

    def tick_count(self, code: str) -> int:
        """商品目前保留的 tick 數 (含虛擬 tick)."""

    @property
    def ticks(self) -> dict:
        """
        {code: {"ticks", "old_ticks", "last_tick", "cached_kbars"}} 的即時檢視 (每次讀取時由 C++ 緩衝產生).
        """

    def subscribe(self, code: str, unit: str = 'm', freq: int = 1) -> None:
        """
        訂閱 K 棒收盤事件: 之後每根收盤的 K 棒由 closed_bars 取得一次.

        K 棒收盤的時機: 同一商品的 tick 開啟下一根 K 棒時 (在該 tick 之前); 任何商品的 tick 時間到達或超過該 K 棒所屬交易時段結束後的一分鐘 (股票 13:31, 期貨 13:46 與 05:01), 且下一個交易時段屬於另一根 K 棒時; 以及 finish_bars (回放結束). 虛擬 tick 組成的 K 棒在該商品下一筆 tick 到達時產生並隨之收盤.
        """

    def feed_tick(self, tick: object) -> int:
        """同 add_tick, 回傳尚未取出的已收盤 K 棒數."""

    def finish_bars(self) -> int:
        """回放結束: 所有未收盤的訂閱 K 棒收盤; 回傳尚未取出的數目."""

    def closed_bars(self) -> list:
        """
        取出已收盤的訂閱 K 棒 [(code, unit, freq, dt 微秒, Open, High, Low, Close, Volume), ...], 依收盤順序.
        """

    def bar_arrays(self, code: str, unit: str = 'm', freq: int = 1) -> tuple:
        """
        K 棒欄位的唯讀 numpy 檢視 (dt 微秒 int64, Open, High, Low, Close, Volume), 不複製; 與 get_kbar 相同的列 (最後一根可能尚未收盤). 保留的檢視一直有效: 列數固定, 已收盤的 K 棒不變, 尚未收盤的最後一根隨 tick 更新至收盤為止.
        """

    def bar_layout(self, code: object | None, unit: object | None = 'm', freq: object | None = 1) -> int:
        """K 棒欄位目前的位置代號: 代號不變時, 上次 bar_arrays 的檢視仍是目前的 K 棒 (最後一根隨 tick 更新)."""

    def add_indicator(self, code: str, unit: str, freq: int, kind: str, length: int = 0, width: float = 2.0) -> int:
        """
        在訂閱的 K 棒上加入指標 (sma, ema, rsi, atr, bollinger_upper, bollinger_lower, highest, lowest, vwap), 每根 K 棒收盤時更新一次; 回傳指標代號.
        """

    def indicator_values(self, handle: int) -> object:
        """指標每根已收盤 K 棒的值 (唯讀 numpy 檢視, 暖機期間為 NaN); 保留的檢視一直有效, 值不變."""

    def indicator_value(self, handle: int) -> float:
        """指標最新的值 (尚無 K 棒收盤時為 NaN)."""

    def get_init_ticks_info(self) -> dict:
        """新的單一商品 tick 資訊."""

    def get_empty_tick_df(self) -> object:
        """空的 tick 資料表 (八個欄位)."""

    def clear_ticks(self) -> None:
        """清除所有商品的 tick 與 K 棒快取."""

    def add_tick(self, tick: object) -> None:
        """
        加入一筆 tick; 與上一筆相隔超過一分鐘時, 以上一筆收盤價補上 qty 為 0 的虛擬 tick (is_simulate 為 False, is_virtual 為 True), 跳過非交易時段, 週末與休市日; 期貨夜盤 (15:00 至次日 05:00) 延續至週六清晨.
        """

    def poped_tick_to_df(self, code: str) -> object:
        """取出尚未取出的 tick (依 dt 排序) 並移入 old_ticks."""

    def poped_old_ticks_to_df(self, code: str) -> object:
        """已取出過的 tick 資料表 (依 dt 排序)."""

    def aggregate_kbar(self, tick_df: object) -> object:
        """
        依 kbar_time 與 code 分組彙總為 K 棒 (dt, code, Open, High, Low, Close, Volume).
        """

    def get_kbar(self, code: object | None, unit: object | None = 'm', freq: object | None = 1, exprs: object | None = None, to_pandas_df: object | None = False) -> object:
        """
        取得商品的 K 棒 (polars DataFrame, to_pandas_df 為 True 時為 pandas).

        unit: m 分, h 時, d 日, w 週, mo 月, q 季, y 年; freq: 每根 K 棒的單位數; exprs: 以 with_columns 加入的欄位 (None 表示不加).
        K 棒起點 (交易所當地時間): m, w (週一起), mo, q, y 自 1970-01-01 起截斷; h 依交易時段對齊: 股票自 09:00 起, 期貨日盤自 08:45 起, 夜盤自 15:00 起 (跨午夜延續); d: 股票為日曆日, 期貨為交易日 (前一晚 15:00 起的夜盤計入次一交易日), 標記為該交易日 00:00.
        每個 (freq, unit) 各自快取並記錄已納入的 tick 位置; 試撮 (is_simulate) tick 不納入.
        """

class OrderMatcher:
    """C++ 核心的委託撮合: 每個代碼的等待中委託依序遇到該代碼的成交; 成交或到期的委託離開簿子."""

    def __init__(self) -> None: ...

    @property
    def quote_fills(self) -> bool:
        """市價成交是否用委買 / 委賣價 (該側無報價時用成交價)."""

    @quote_fills.setter
    def quote_fills(self, arg: bool, /) -> None: ...

    def set_rules(self, through: bool, queue: bool, partial: bool, latency: float) -> None:
        """
        成交規則: through 限價須成交價超越限價, queue 掛單排隊, partial 依成交量部分成交, latency 委託與取消到達的延遲 (秒, 回放時間).
        """

    @property
    def rules(self) -> tuple[bool, bool, bool, float]:
        """
        目前的成交規則 (through, queue, partial, latency); 預設為保守的 (True, False, False, 0.0).
        """

    def add(self, id: int, code: str, buy: bool, kind: str, quantity: int, limit: float | None, stop: float | None, placed_at: float, session_start: float, session_end: float, good_till_cancel: bool, futures_tick: float | None, trail: tuple[float, bool] | None = None, best: float | None = None, partial: bool = False, quote: tuple[float, float, float, float] | None = None, triggered: bool = False, rested: bool = False, filled: int = 0) -> None:
        """
        加入一筆等待中的委託; futures_tick 為期貨商品族的跳動點 (股票為 None, 依代碼的價格區間), trail 為移動停損的 (距離, 是否為比例), best 為其起算的成交價; partial: 可部分成交; quote: 下單時該代碼的 (委買價, 委賣價, 委買量, 委賣量), 限價等於同方向報價時該量排在前面; triggered / rested / filled 為放回時的狀態.
        """

    def count_print(self, code: str, volume: int) -> None:
        """代碼的一筆成交量, 用於估計排隊 (平均每筆成交量)."""

    def request_cancel(self, id: int, time: float) -> bool:
        """於 time 送出的取消, 延遲後到達; 委託不在撮合中時回傳 False."""

    def link(self, ids: Sequence[int]) -> None:
        """委託互相取消 (OCO): 其中一筆成交時, 其餘在同一筆成交離開簿子."""

    def observe_band(self, code: str, market: str, timestamp: float, close: float, utc_offset_hours: int) -> None:
        """一筆成交: 漲跌停範圍依股票前一交易日, 期貨前一日盤的最後成交價."""

    def band_outside(self, code: str, price: float) -> tuple[float, float] | None:
        """價格超出今日漲跌停範圍時回傳 (下限, 上限), 否則 None."""

    def remove(self, id: int) -> bool:
        """委託離開撮合 (取消); 不在其中時回傳 False."""

    def has_orders(self, code: str) -> bool: ...

    def state(self, id: int) -> tuple[bool, bool, float | None, float | None] | None:
        """等待中委託的 (已觸發, 已掛單等待, 停損價, 最佳成交價); 不在撮合中時為 None."""

    def on_trade(self, code: str, time: float, price: float, bid: float, ask: float, volume: int) -> list[tuple]:
        """
        代碼的一筆成交遇到其所有等待中委託; 回傳事件 (kind, id, price, time, limit, (triggered, rested, stop, best), by, quantity), 依委託加入的順序: "Fill" 成交 quantity, "Expire" 收盤到期, "OneCancelled" 因 OCO 的另一筆 (by) 成交而離開, "Cancelled" 取消到達.
        """

    def work(self, id: int, time: float, price: float, bid: float, ask: float, volume: int) -> list[tuple]:
        """單一委託遇到一筆成交 (在下單的 Tick 上成交者); 事件同 on_trade."""

    def __len__(self) -> int: ...

def trailing_stop_level(code: str, futures_tick: float | None, buy: bool, best: float, distance: float, fraction: bool) -> float:
    """移動停損在最佳成交價 best 之後的停損價 (賣出在下方, 買進在上方), 落在價格跳動格上遠離市價的一側."""

def drive_replay(ticker: object, positions: object, quote_manager: object, ctx: object, *, on_tick: object | None, on_tick_failed: object, deliver_bars: object, bar_events: bool, matcher: OrderMatcher, matched: object, last_ticks: dict, last_quotes: dict | None, recorder: object | None, progress: object | None, progress_every: int, progress_interval: float, utc_offset_hours: int, roll_held: dict | None = None, roll_session: object | None = None) -> int:
    """
    逐筆回放直到結束狀態, 回傳處理的 Tick 數; 引數由 vorn_kest_backtest.modules.positions.positions.drive_replay 檢查.
    """
