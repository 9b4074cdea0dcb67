"""交易紀錄匯出為 CSV."""

from __future__ import annotations

import polars as pl

from vorn_kest_backtest import utils
from vorn_kest_backtest.modules.market.market import exchange_now

TRADE_RECORD_SCHEMA = {
    "trade_id": pl.Utf8,
    "code": pl.Utf8,
    "action": pl.Utf8,
    "quantity": pl.Int64,
    "price": pl.Float64,
    "dt": pl.Utf8,
    "trade_status": pl.Utf8,
}


def export_trade_records(positions) -> str:
    """匯出交易紀錄至資料夾, 檔名為交易所當地時間; 回傳檔案路徑."""
    file_name = exchange_now().strftime("%Y-%m-%d %H%M%S") + "_trade_records.csv"
    path = positions._Positions__generate_save_path(file_name)
    df = pl.from_dicts([dict(record) for record in positions.trade_records], schema=TRADE_RECORD_SCHEMA)
    df.write_csv(path, include_header=True)
    utils.console.print("[bold green]交易紀錄已匯出至: " + path + "[/bold green]")
    return path
