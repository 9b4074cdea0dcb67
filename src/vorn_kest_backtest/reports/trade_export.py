"""交易紀錄匯出為 CSV."""

from __future__ import annotations

from collections.abc import Mapping

import polars as pl

from vorn_kest_backtest import utils
from vorn_kest_backtest.modules.market.market import exchange_now
from vorn_kest_backtest.reports.save_path import output_path

TRADE_RECORD_SCHEMA = {
    "trade_id": pl.Utf8,
    "code": pl.Utf8,
    "action": pl.Utf8,
    "quantity": pl.Int64,
    "price": pl.Float64,
    "dt": pl.Utf8,
    "trade_status": pl.Utf8,
}
BOOKED_PRICE_COLUMN = "booked_price"
DEAL = "Deal"


def booked_fill_price(positions, record: Mapping, product_type: str, limit: float | None = None) -> float:
    """The price the account books for a deal: the quoted price slipped as the fee settings say, within the
    limit of a limit fill."""
    cost = positions.entry_cost(record["code"], record["action"], float(record["price"]), int(record["quantity"]),
                                product_type, limit_price=limit)
    return float(cost["price"])


def _booked_prices(positions, markets: Mapping[str, str], limits: Mapping[str, float]) -> list[float | None]:
    return [
        booked_fill_price(positions, record, markets[record["code"]], limits.get(record["trade_id"]))
        if record["trade_status"] == DEAL and record["code"] in markets else None
        for record in positions.trade_records
    ]


def export_trade_records(positions, markets: Mapping[str, str] | None = None, folder: str | None = None,
                         limits: Mapping[str, float] | None = None) -> str:
    """匯出交易紀錄至資料夾, 檔名為交易所當地時間; 回傳檔案路徑.

    markets ({代碼: "Stock"/"Future"}) 讓 "Deal" 列在報價旁寫出入帳的成交價 (booked_price, 含滑價);
    limits ({trade_id: 限價}, 委託簿的 fill_limits) 讓限價單的入帳成交價不比限價差.
    """
    file_name = exchange_now().strftime("%Y-%m-%d %H%M%S") + "_trade_records.csv"
    path = output_path(positions, file_name, folder)
    df = pl.from_dicts([dict(record) for record in positions.trade_records], schema=TRADE_RECORD_SCHEMA)
    booked = pl.Series(BOOKED_PRICE_COLUMN, _booked_prices(positions, markets or {}, limits or {}),
                       dtype=pl.Float64)
    df = df.insert_column(df.columns.index("price") + 1, booked)
    df.write_csv(path, include_header=True)
    utils.console.print("[bold green]交易紀錄已匯出至: " + path + "[/bold green]")
    return path
