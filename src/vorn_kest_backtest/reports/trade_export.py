"""交易紀錄匯出為 CSV."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

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
# What the order was and why it ended so, after the record's own columns.
ORDER_SCHEMA = {
    "order_type": pl.Utf8,
    "limit_price": pl.Float64,
    "stop_price": pl.Float64,
    "reason": pl.Utf8,
}
DEAL = "Deal"
ORDER = "Order"


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


def _order_columns(records: Sequence[Mapping], orders: Mapping[str, Any]) -> list[dict[str, Any]]:
    rows = []
    for record in records:
        order = orders.get(record["trade_id"])
        if order is None:
            rows.append(dict.fromkeys(ORDER_SCHEMA))
            continue
        reason = order.reason if record["trade_status"] != ORDER and order.reason else None
        rows.append({"order_type": order.order_type.value, "limit_price": order.limit_price,
                     "stop_price": order.stop_price, "reason": reason})
    return rows


def export_trade_records(positions, markets: Mapping[str, str] | None = None, folder: str | None = None,
                         limits: Mapping[str, float] | None = None, orders: Mapping[str, Any] | None = None) -> str:
    """匯出交易紀錄至資料夾, 檔名為交易所當地時間; 回傳檔案路徑. 各列依 dt 排序 (同時間者依發生順序).

    markets ({代碼: "Stock"/"Future"}) 讓 "Deal" 列在報價旁寫出入帳的成交價 (booked_price, 含滑價);
    limits ({trade_id: 限價}, 委託簿的 fill_limits) 讓限價單的入帳成交價不比限價差;
    orders ({trade_id: Order}, 委託簿的 orders_by_id) 填入最後四欄: 委託種類 order_type, 限價 limit_price,
    停損價 stop_price, 以及 "Deal" 與 "Cancel" 列的原因 reason (取消或拒絕的原因, 到期結算等).
    """
    file_name = exchange_now().strftime("%Y-%m-%d %H%M%S") + "_trade_records.csv"
    path = output_path(positions, file_name, folder)
    records = [dict(record) for record in positions.trade_records]
    df = pl.from_dicts(records, schema=TRADE_RECORD_SCHEMA)
    booked = pl.Series(BOOKED_PRICE_COLUMN, _booked_prices(positions, markets or {}, limits or {}),
                       dtype=pl.Float64)
    df = df.insert_column(df.columns.index("price") + 1, booked)
    df = pl.concat([df, pl.from_dicts(_order_columns(records, orders or {}), schema=ORDER_SCHEMA)],
                   how="horizontal")
    # A day order's expiry is noticed at its code's next tick, after other records of a later time.
    df = df.sort("dt", maintain_order=True)
    df.write_csv(path, include_header=True)
    utils.console.print("[bold green]交易紀錄已匯出至: " + path + "[/bold green]")
    return path
