"""Tick replay"""

import datetime


class Queue:
    """無上限的先進先出佇列 (與 queue.Queue 相同的方法)"""

    def __init__(self) -> None: ...

    def qsize(self) -> int:
        """佇列中的項目數"""

    def empty(self) -> bool:
        """佇列是否為空"""

    def get(self, block: bool = True, timeout: object | None = None) -> object:
        """取出下一個項目; 逾時或不等待且為空時引發 queue.Empty"""

    def get_nowait(self) -> object:
        """不等待地取出下一個項目"""

    def put(self, item: object, block: bool = True, timeout: object | None = None) -> None:
        """放入一個項目 (不會阻塞)"""

    def put_nowait(self, item: object) -> None:
        """放入一個項目"""

class Ticker:
    """歷史 Tick 下載、快取、合併與逐筆回放"""

    def __init__(self, kest_api: object | None) -> None: ...

    @property
    def api(self) -> object: ...

    @api.setter
    def api(self, value: object | None) -> None: ...

    @property
    def allow_next_tick_flag_queue(self) -> object: ...

    @property
    def backfilling_notify_finish_queue(self) -> object: ...

    @property
    def backfilling_finish_flag(self) -> bool: ...

    @backfilling_finish_flag.setter
    def backfilling_finish_flag(self, value: object | None) -> None: ...

    @property
    def exit_send_thread_flag(self) -> bool: ...

    @exit_send_thread_flag.setter
    def exit_send_thread_flag(self, arg: bool, /) -> None: ...

    @property
    def tick_file_save_path(self) -> object: ...

    @tick_file_save_path.setter
    def tick_file_save_path(self, arg: object, /) -> None: ...

    @property
    def tick_queue(self) -> object: ...

    @property
    def code_market_map(self) -> dict: ...

    @code_market_map.setter
    def code_market_map(self, arg: dict, /) -> None: ...

    @property
    def tick_df_schema(self) -> object: ...

    @property
    def current_send_ticks_params(self) -> dict: ...

    @current_send_ticks_params.setter
    def current_send_ticks_params(self, arg: dict, /) -> None: ...

    @property
    def failed_days(self) -> list:
        """上次 send_ticks 無法載入的日子: [{"code", "date", "reason"}, ...]"""

    def pop_tick(self) -> object:
        """取出下一筆 Tick 或狀態資料 (等待時釋放 GIL)"""

    def last_quote(self) -> tuple[float, float, int, int] | None:
        """pop_tick 最後取出的 Tick 的 (委買價, 委賣價, 委買量, 委賣量); 無報價或不是 Tick 時為 None"""

    def allow_next_tick(self) -> None:
        """允許傳送下一筆 Tick"""

    def stop_send_ticks(self) -> None:
        """停止傳送 Tick 資料"""

    def backfilling(self, codes: list[dict[str, str]] | None, start_from: str | datetime.date | None = None, end_to: str | datetime.date | None = None) -> None:
        """回補 Tick 資料"""

class NotLoggedInError(ValueError):
    pass
