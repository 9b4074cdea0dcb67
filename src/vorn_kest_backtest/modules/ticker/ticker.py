"""Tick replay: the Ticker and its queue. The replay (its queues, threads and handshake) is compiled; the Ticker's
file, frame and broker methods and its argument checks are here, on the tick data path (vorn_kest_backtest.ticks)."""

from __future__ import annotations

import datetime as dt
from typing import TYPE_CHECKING, Any

from vorn_kest_backtest._core import ticker as _compiled
from vorn_kest_backtest._core.ticker import NotLoggedInError, Queue
from vorn_kest_backtest.ticks import combine, fetch
from vorn_kest_backtest.ticks.cache_writer import writer

if TYPE_CHECKING:
    import polars as pl

__all__ = [
    "NotLoggedInError",
    "Queue",
    "Ticker",
]


def _require_text(value: Any, name: str, none_allowed: bool = False) -> None:
    if isinstance(value, str) or (none_allowed and value is None):
        return
    raise TypeError(f"{name} 必須是文字或 None: {value!r}" if none_allowed else f"{name} 必須是文字: {value!r}")


class Ticker(_compiled.Ticker):
    """歷史 Tick 下載、快取、合併與逐筆回放"""

    def __generate_save_path(self, file_name: str | None = None, *sub_folder: Any) -> str:
        """產生存檔路徑 (資料夾不存在時建立)"""
        return fetch.generate_save_path(file_name, *sub_folder)

    def __tick_filename_formatter(self, code: str, date: str) -> str:
        """Tick 快取檔名"""
        _require_text(code, "code")
        _require_text(date, "date")
        return _compiled._tick_filename(code, date)

    def __make_kest_contract_object(self, code: Any, market_type: Any) -> Any:
        """取得券商 SDK 的合約物件"""
        stock = isinstance(market_type, str) and market_type == "Stock"
        return (self.api.Contracts.Stocks if stock else self.api.Contracts.Futures)[code]

    def fetch_kest_history_ticks(self, code: Any, product_type: Any, start_from: Any, end_to: Any) -> pl.DataFrame:
        """下載歷史 Tick 資料, 過去的日期存成快取檔"""
        return fetch.fetch_history(self, code, product_type, start_from, end_to)

    def __auto_fetch_ticks(self, code: Any, product_type: Any, date: Any) -> pl.DataFrame:
        """讀取快取檔, 不存在時下載"""
        return fetch.auto_fetch(self, code, product_type, date)

    def get_ticks_df(self, code: Any, market_type: Any, start_from: Any, end_to: Any) -> pl.DataFrame:
        """取得單一商品的 Tick 資料表"""
        return self.__process_and_combine_ticks([{"code": code, "market": market_type}], start_from, end_to)

    def cache_days(self, codes: list[dict[str, str]], start_from: str | dt.date | None,
                   end_to: str | dt.date | None) -> None:
        """逐日讀取 (或下載並快取) 各商品的 Tick, 不合併也不回放; 無法載入的日子記在 failed_days"""
        combine.cache_days(self, codes, start_from, end_to)

    def __process_and_combine_ticks(self, codes: Any, start_from: Any, end_to: Any) -> pl.DataFrame:
        """合併多個商品的 Tick 資料並依時間排序"""
        self._failed_days: list[dict[str, str]] = []
        return combine.combine(self, combine.code_markets(codes), start_from, end_to)

    def send_ticks(self, codes: list[dict[str, str]] | None, start_from: str | dt.date | None,
                   end_to: str | dt.date | None, backfilling_start_from: str | dt.date | None = None,
                   backfilling_end_to: str | dt.date | None = None) -> None:
        """開始在背景逐筆傳送 Tick 資料"""
        if not isinstance(codes, list):
            raise TypeError(f"codes 必須是串列: {codes!r}")
        _require_text(start_from, "start_from")
        _require_text(end_to, "end_to")
        _require_text(backfilling_start_from, "backfilling_start_from", none_allowed=True)
        _require_text(backfilling_end_to, "backfilling_end_to", none_allowed=True)
        self._send_ticks(codes, start_from, end_to, backfilling_start_from, backfilling_end_to)

    def wait_for_tick_cache(self) -> None:
        """等待回放讀取的日子寫入 Tick 快取 (回放不等快取寫完即開始; 程式結束前也會寫完)"""
        writer.wait_for("")
