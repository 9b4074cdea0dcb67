"""The simulated account a strategy trades through: the compiled book under a Python class.

The numbers (costs, slippage, the book and its money, the position views) are the compiled
PositionsCore's; this class checks the arguments, keeps the attributes a strategy may read or edit,
and routes files, queues and reports.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, cast

from vorn_kest_backtest import utils
from vorn_kest_backtest._core.positions import PositionsCore
from vorn_kest_backtest._core.ticker import Queue
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.modules.positions.arguments import argument_errors, argument_type, type_name
from vorn_kest_backtest.modules.positions.book_views import AccountInfosView, BookView, ProfitReportView
from vorn_kest_backtest.ticks.console import console_quiet, say

if TYPE_CHECKING:
    from vorn_kest_backtest._core.positions import QuoteManager

_FEE_DISCOUNT, _MIN_FEE, _FEE_PER_CONTRACT = PositionsCore._BROKER_FEE_DEFAULTS


def _expect(value: object, kind: type, name: str) -> None:
    if type(value) is not kind:
        raise argument_type(name, kind.__name__, value)


def _expect_dict(value: object, name: str) -> None:
    if not isinstance(value, dict):
        raise argument_type(name, "dict", value)


def _expect_or_none(value: object, kind: type, name: str) -> None:
    if value is not None and type(value) is not kind:
        raise argument_type(name, kind.__name__, value)


def _check_record_fields(trade_id: object, code: object, quantity: object) -> None:
    _expect(trade_id, str, "trade_id")
    _expect(code, str, "code")
    _expect(quantity, int, "quantity")


_NO_TICK_LINE = "[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]"


def _tell(lines: list[str]) -> None:
    # The fill's lines, printed once it is booked.
    for line in lines:
        say(line)


def _save_path_under(file_name: str, sub_folders: tuple) -> str:
    # Read at every call: a caller may point the data directory elsewhere between reports.
    folder = os.path.join(BASIC_INFO.data_dir, *sub_folders)
    utils.make_dir(folder)
    return os.path.join(folder, file_name)


class Positions(PositionsCore):
    """Position Module"""

    @argument_errors
    def __init__(self) -> None:
        super().__init__()
        self.positions = BookView(self)
        self.trade_records: list[dict] = []
        self.product_type_mapper: dict = {}
        self.current_tick_infos: dict = {}
        # The module's own blocking queues: a pop waits with the GIL released.
        self.fetch_position_queue = Queue()
        self.finish_fetch_position_queue = Queue()
        self.initial_capital: int = 100000
        self.current_capital: float = self.initial_capital
        self._profit_report = ProfitReportView(self)
        self._fee_settings = self._fee_table(False)
        self._account_infos = AccountInfosView(self)
        self._reset_ledger(self.initial_capital)

    @argument_errors
    def __init_account_info(self) -> dict:
        """初始化帳戶資訊 (每次回傳新的統計紀錄)"""
        return self._new_account_info()

    @argument_errors
    def set_initial_capital(self, capital: int) -> None:
        """設定初始資金"""
        _expect(capital, int, "capital")
        self.initial_capital = capital
        self.current_capital = capital
        self._reset_ledger(capital)

    @argument_errors
    def fetch_account_balance(self) -> float:
        """取得帳戶餘額"""
        return self.current_capital

    @argument_errors
    def fetch_margin(self) -> float:
        """取得保證金"""
        return self.current_capital

    @argument_errors
    def set_current_tick(self, tick: dict) -> None:
        """設定目前的 Tick 資訊"""
        _expect_dict(tick, "tick")
        code = tick["code"]
        self.current_tick_infos[code] = tick

    @argument_errors
    def fee_settings(self) -> dict:
        """取得手續費設定 (回傳設定本身, 不是複本)"""
        table = self._fee_settings
        if table is not None and not isinstance(table, dict):
            raise TypeError(f"Expected dict, got {type_name(type(table))}")
        return cast(dict, table)  # None passes, as it always has

    @argument_errors
    def update_fee_settings(self, setting_type: str, action: str | None = None, fee: float | None = None,
                            tax: float | None = None, per_trade_cost: int | None = None,
                            tick_count: int | None = None, direction: str | None = None) -> None:
        """設定手續費設定

        setting_type: "stock" 或 "future"; action: "buy" 或 "sell" (其他值略過滑價設定);
        fee, tax: float; per_trade_cost, tick_count: int; direction: "up" 或 "down". 未給的設定不變.
        """
        _expect_or_none(fee, float, "fee")
        _expect_or_none(tax, float, "tax")
        _expect_or_none(per_trade_cost, int, "per_trade_cost")
        _expect_or_none(tick_count, int, "tick_count")
        table = self._fee_settings
        if setting_type not in table:
            raise ValueError("不支援的商品類型: " + str(setting_type))
        kind = table[setting_type]
        if fee is not None:
            kind["fee"] = fee
        if tax is not None:
            kind["tax"] = tax
        if per_trade_cost is not None:
            kind["per_trade_cost"] = per_trade_cost
        buy, sell = action == "buy", action == "sell"
        if not (buy or sell):
            return
        slip = kind["slippage"]["buy" if buy else "sell"]
        if tick_count is not None:
            slip["tick_count"] = tick_count
        if direction is not None and (direction == "up" or direction == "down"):
            slip["direction"] = direction

    @argument_errors
    def reset_fee_settings(self) -> None:
        """重設手續費設定 (每筆固定成本為 10)"""
        self._fee_settings = self._fee_table(True)

    @argument_errors
    def __apply_future_contract_value(self, code: str) -> int:
        """套用期貨合約價值 (表中沒有的代碼為 2000)"""
        _expect(code, str, "code")
        return self._contract_value(code)

    @argument_errors
    def __calculate_trade_cost(self, code: str, action: str, price: float, quantity: int, product_type: str,
                               ignore_tax: bool = False, need_reverse_direction: bool = True) -> dict:
        """計算交易成本

        回傳 fee, tax, fixed_cost, qty, min_qty, price (滑價後), origin_price.
        """
        return self._trade_cost(code, action, price, quantity, product_type, bool(ignore_tax),
                                bool(need_reverse_direction))

    @argument_errors
    def __ceil_price_by_tick(self, code: str, price: float) -> tuple:
        """依照股票的價格區間, 將價格向上取整

        回傳 (取整後價格, 跳動單位).
        """
        _expect(code, str, "code")
        return self._ceil_price(code, price)

    @argument_errors
    def __calculate_slippage_price(self, code: str, price: float, tick_count: int, direction: str) -> float:
        """計算滑價後的價格 (每一跳剛好移動一個價格單位)"""
        _expect(code, str, "code")
        _expect(tick_count, int, "tick_count")
        return self._slip_price(code, price, tick_count, direction == "up")

    @argument_errors
    def use_fee_profile(self, name: str, fee_discount: float = _FEE_DISCOUNT, min_fee: float = _MIN_FEE,
                        future_fee_per_contract: float = _FEE_PER_CONTRACT) -> None:
        _expect(name, str, "name")
        self._use_fee_profile(name, fee_discount, min_fee, future_fee_per_contract)

    # The help text states the rates the core charges, so it cannot drift from them.
    use_fee_profile.__doc__ = PositionsCore._FEE_PROFILE_DOC

    @argument_errors
    def __make_trade_record(self, trade_id: str, code: str, action: str, quantity: int, price: float,
                            timestamp: float, trade_status: str) -> dict:
        """建立交易紀錄

        dt 為交易所時間 "%Y-%m-%d %H:%M:%S.%f".
        """
        _check_record_fields(trade_id, code, quantity)
        return self._trade_record(trade_id, code, action, quantity, price, timestamp, trade_status,
                                  BASIC_INFO.utc_offset_hours)

    @argument_errors
    def add_trade_record(self, trade_id: str, code: str, action: str, quantity: int, price: float,
                         timestamp: float, trade_status: str) -> None:
        """加入交易紀錄"""
        # Checked inline first: every order, deal and cancel writes one.
        if type(trade_id) is not str or type(code) is not str or type(quantity) is not int:
            _check_record_fields(trade_id, code, quantity)
        self.trade_records.append(self._trade_record(trade_id, code, action, quantity, price, timestamp,
                                                     trade_status, BASIC_INFO.utc_offset_hours))

    @argument_errors
    def __calculate_profit(self, cover_position: dict, product_type: str) -> dict:
        """計算損益

        cover_position: 要平倉的部位
        回傳損益資訊: 損益金額(profit), 是否已全部沖銷(is_covered), 未沖銷數量(un_cover_qty), 交易成本(cost),
        原始損益(origin_profit, 未扣成本的價差損益).
        """
        _expect_dict(cover_position, "cover_position")
        result, lines = self._calculate_profit(cover_position, product_type, not console_quiet())
        _tell(lines)
        return result

    @argument_errors
    def set_positions(self, trade: dict, product_type: str) -> None:
        """設定持有部位

        trade: 交易紀錄; product_type: 商品類型 ("Stock" 或 "Future").
        多於反向部位的數量在沖銷後作為新的進場記帳.
        """
        if not isinstance(trade, dict):
            raise argument_type("trade", "dict", trade)
        _tell(self._set_positions(trade, product_type, not console_quiet()))

    @argument_errors
    def fetch_positions(self, account_type: str, fetch_detail: bool = False) -> list:
        """取得持有部位

        account_type: "Stock" 或 "Future"; fetch_detail: True 為每筆明細, False 為每個商品的總計.
        格式化後的 list 放入 fetch_position_queue, 並回傳同一個 list.
        """
        _expect(fetch_detail, bool, "fetch_detail")
        if account_type != "Stock" and account_type != "Future":
            raise Exception("不支援的帳戶類型: " + str(account_type))
        rows = self._position_view(account_type, fetch_detail)
        self.add_positions_to_queue(rows)
        return rows

    @argument_errors
    def __format_position_detail(self, product_type: str) -> list:
        """格式化庫存資訊(明細)

        每筆未平倉部位一筆: code, date (成交的交易所日期), quantity, price, cost, pnl, fee, trade_id;
        股票另有 margin_purchase_amount, collateral (現股交易, 皆為 0).
        單位 = 股票 1000, 期貨為合約價值; 進場價 = price 依目前設定滑價後的價格.
        cost = 進場價金 = 進場價 x quantity x 單位.
        fee = 進場成本 = 手續費 + 每筆固定成本 (稅於平倉時支付).
        pnl = 以最後一筆 Tick 的 close 平倉會記入的損益: 與實際平倉相同的計算, 含雙邊手續費, 平倉稅,
        固定成本與設定的滑價; 多單 = 出場價金 - cost - 雙邊成本, 空單 = cost - 出場價金 - 雙邊成本.
        沒有 Tick 的商品印出紅字提示, pnl 為 0.
        """
        return self._position_view(product_type, True)

    @argument_errors
    def __format_position_summary(self, product_type: str) -> list:
        """格式化庫存資訊(總計)

        每個有未平倉部位的商品一筆: code, quantity (數量合計), avg_price, pnl;
        股票另有 cond (OrderCond.CASH), margin_purchase_amount, collateral, short_sale_margin, interest (皆為 0).
        avg_price = sum(price x quantity) / sum(quantity), 四捨五入至小數 2 位 (數量為 0 時為 0).
        pnl = sum((close - price) x quantity x 單位), 空單取負號; 未扣成本與滑價的價差損益.
        單位 = 股票 1000, 期貨為合約價值. 沒有 Tick 的商品印出紅字提示, pnl 為 0.
        """
        return self._position_view(product_type, False)

    def _position_view(self, product_type: str, detail: bool) -> list:
        rows, without_tick = self._position_detail(product_type) if detail else self._position_summary(product_type)
        _tell([_NO_TICK_LINE] * without_tick)
        return rows

    @argument_errors
    def add_positions_to_queue(self, positions: list | dict) -> None:
        """將持有部位加入 Queue

        positions: 持有部位 (list 或 dict, 含子類別; 放入的是物件本身, 不是複本).
        """
        if not isinstance(positions, (list, dict)):
            raise Exception("不支援的持有部位格式: " + str(type(positions)))
        self.fetch_position_queue.put(positions)

    @argument_errors
    def pop_positions(self) -> list | dict:
        """從 Queue 取出持有部位 (沒有資料時一直等待)"""
        return self.fetch_position_queue.get()

    @argument_errors
    def add_finish_notify_to_queue(self) -> None:
        """加入取得持有部位完成的通知 (True)"""
        self.finish_fetch_position_queue.put(True)

    @argument_errors
    def pop_finish_notify(self) -> bool:
        """取出完成通知 (沒有通知時一直等待), 之後將 wait_fetch_position_response_flag 設為 False"""
        notice = self.finish_fetch_position_queue.get()
        # Cleared only once the notice is in hand: the waiting side is answered.
        self.wait_fetch_position_response_flag = False
        return notice

    @property
    def profit_rows(self) -> list[dict]:
        """損益明細 (每筆為複本, 依原本順序)"""
        return [row.copy() for row in self._profit_report["rows"]]

    @argument_errors
    def account_info(self, code: str) -> dict:
        """取得單一商品的帳戶統計 (沒有時建立新的統計紀錄)"""
        _expect(code, str, "code")
        return self._account_info(code)

    @argument_errors
    def save_path(self, file_name: str, folder: str | None = None) -> str:
        """產生存檔路徑 (資料夾 = BASIC_INFO.data_dir 或其下的 folder, 不存在時建立)"""
        _expect(file_name, str, "file_name")
        _expect_or_none(folder, str, "folder")
        return _save_path_under(file_name, () if folder is None else (folder,))

    @argument_errors
    def __generate_save_path(self, file_name: str, *sub_folder: str) -> str:
        """產生存檔路徑

        資料夾 = BASIC_INFO.data_dir 依序接上 sub_folder (不存在時建立), 回傳資料夾/file_name.
        """
        _expect(file_name, str, "file_name")
        return _save_path_under(file_name, sub_folder)

    @argument_errors
    def get_profit_rows_by_code(self, code: str) -> list[dict]:
        """取得單一商品的損益明細

        回傳新的 list, 依原本順序; 其中的損益紀錄與 _profit_report["rows"] 共用, 不是複本.
        """
        _expect(code, str, "code")
        return [row for row in self._profit_report["rows"] if row["code"] == code]

    # The reports are imported at call time, so loading this module does not pull in the plotting libraries.
    @argument_errors
    def export_trade_records(self) -> str:
        """匯出交易紀錄 (CSV, 檔名為當地時間 "%Y-%m-%d %H%M%S_trade_records.csv"); 回傳檔案路徑"""
        from vorn_kest_backtest.reports import trade_export

        return trade_export.export_trade_records(self)

    @argument_errors
    def generate_standard_report(self, code: str, quote_manager: QuoteManager) -> str:
        """產生基本回測報告 (report/<code>-report.html); 回傳檔案路徑"""
        _expect(code, str, "code")
        from vorn_kest_backtest.reports import standard

        return standard.generate_standard_report(self, code, quote_manager)

    @argument_errors
    def generate_qs_profit_report(self, quote_manager: QuoteManager, code: str) -> str | None:
        """產生進階績效報告 (quantstats HTML 與損益明細 CSV); 回傳 HTML 路徑, 沒有損益資料時回傳 None"""
        _expect(code, str, "code")
        from vorn_kest_backtest.reports import performance

        return performance.generate_qs_profit_report(self, quote_manager, code)


__all__ = ["Positions"]
