class Positions:
    """Position Module"""

    def __init__(self) -> None: ...

    def set_initial_capital(self, capital: int) -> None:
        """設定初始資金"""

    def fetch_account_balance(self) -> float:
        """取得帳戶餘額"""

    def fetch_margin(self) -> float:
        """取得保證金"""

    def set_current_tick(self, tick: dict) -> None:
        """設定目前的 Tick 資訊"""

    def fee_settings(self) -> dict:
        """取得手續費設定 (回傳設定本身, 不是複本)"""

    def update_fee_settings(self, setting_type: str, action: str | None = None, fee: float | None = None, tax: float | None = None, per_trade_cost: int | None = None, tick_count: int | None = None, direction: str | None = None) -> None:
        """
        設定手續費設定

        setting_type: "stock" 或 "future"; action: "buy" 或 "sell" (其他值略過滑價設定);
        fee, tax: float; per_trade_cost, tick_count: int; direction: "up" 或 "down". 未給的設定不變.
        """

    def reset_fee_settings(self) -> None:
        """重設手續費設定 (每筆固定成本為 10)"""

    def use_fee_profile(self, name: str, fee_discount: float = 0.6, min_fee: float = 20.0, future_fee_per_contract: float = 50.0) -> None:
        """
        選擇手續費方案

        "tw_broker": 股票手續費 = floor(0.1425% x 成交金額 x 折扣), 每筆至少 min_fee; 賣出證交稅 股票 0.3%,
        ETF (代碼 00 開頭) 0.1%, 同一交易日內沖銷 (現股當沖) 0.15%; 手續費與證交稅無條件捨去至元;
        期貨每口每邊 future_fee_per_contract 加期交稅: 每口 0.002% x 契約價值四捨五入至元, 再乘以口數.
        滑價與每筆固定成本仍依手續費設定.
        "table": 依手續費設定表的費率 (預設).
        """

    def add_trade_record(self, trade_id: str, code: str, action: str, quantity: int, price: float, timestamp: float, trade_status: str) -> None:
        """加入交易紀錄"""

    def set_positions(self, trade: dict, product_type: str) -> None:
        """
        設定持有部位

        trade: 交易紀錄; product_type: 商品類型 ("Stock" 或 "Future").
        多於反向部位的數量在沖銷後作為新的進場記帳.
        """

    def fetch_positions(self, account_type: str, fetch_detail: bool = False) -> list:
        """
        取得持有部位

        account_type: "Stock" 或 "Future"; fetch_detail: True 為每筆明細, False 為每個商品的總計.
        格式化後的 list 放入 fetch_position_queue, 並回傳同一個 list.
        """

    def add_positions_to_queue(self, positions: list | dict) -> None:
        """
        將持有部位加入 Queue

        positions: 持有部位 (list 或 dict, 含子類別; 放入的是物件本身, 不是複本).
        """

    def pop_positions(self) -> list | dict:
        """從 Queue 取出持有部位 (沒有資料時一直等待)"""

    def add_finish_notify_to_queue(self) -> None:
        """加入取得持有部位完成的通知 (True)"""

    def pop_finish_notify(self) -> bool:
        """取出完成通知 (沒有通知時一直等待), 之後將 wait_fetch_position_response_flag 設為 False"""

    @property
    def profit_rows(self) -> list[dict]:
        """損益明細 (每筆為複本, 依原本順序)"""

    def account_info(self, code: str) -> dict:
        """取得單一商品的帳戶統計 (沒有時建立新的統計紀錄)"""

    def save_path(self, file_name: str, folder: str | None = None) -> str:
        """產生存檔路徑 (資料夾 = BASIC_INFO.data_dir 或其下的 folder, 不存在時建立)"""

    def get_profit_rows_by_code(self, code: str) -> list[dict]:
        """
        取得單一商品的損益明細

        回傳新的 list, 依原本順序; 其中的損益紀錄與 _profit_report["rows"] 共用, 不是複本.
        """

    def export_trade_records(self) -> str:
        """匯出交易紀錄 (CSV, 檔名為當地時間 "%Y-%m-%d %H%M%S_trade_records.csv"); 回傳檔案路徑"""

    def generate_standard_report(self, code: str, quote_manager: QuoteManager) -> str:
        """產生基本回測報告 (report/<code>-report.html); 回傳檔案路徑"""

    def generate_qs_profit_report(self, quote_manager: QuoteManager, code: str) -> str | None:
        """產生進階績效報告 (quantstats HTML 與損益明細 CSV); 回傳 HTML 路徑, 沒有損益資料時回傳 None"""
