"""A finished backtest as data: its figures and polars frames of round trips, orders, fills, equity and days.

Every figure comes from the run's one `Summary`; the frames are the account's own records, with times as
exchange date-times (without a zone), the same clock as the trade records CSV.
"""

from __future__ import annotations

import html
import os
from collections.abc import Mapping
from contextlib import nullcontext
from dataclasses import dataclass
from datetime import date, datetime, timedelta, timezone
from types import MappingProxyType
from typing import TYPE_CHECKING, Any

import polars as pl

from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.runner import statistics
from vorn_kest_backtest.runner.run_record import RunRecord
from vorn_kest_backtest.runner.summary import Summary, figure_rows

if TYPE_CHECKING:
    import pandas as pd
    import plotly.graph_objects as go

TIME = pl.Datetime("us")
TRADES_SCHEMA: dict[str, Any] = {
    "code": pl.String, "side": pl.String, "quantity": pl.Int64,
    "entry_time": TIME, "entry_quoted": pl.Float64, "entry_price": pl.Float64,
    "exit_time": TIME, "exit_quoted": pl.Float64, "exit_price": pl.Float64,
    "entry_cost": pl.Float64, "exit_cost": pl.Float64, "profit": pl.Float64, "return": pl.Float64,
}
ORDERS_SCHEMA: dict[str, Any] = {
    "trade_id": pl.String, "code": pl.String, "action": pl.String, "quantity": pl.Int64,
    "order_type": pl.String, "limit_price": pl.Float64, "stop_price": pl.Float64, "placed_at": TIME,
    "status": pl.String, "reason": pl.String, "fill_price": pl.Float64, "filled_quantity": pl.Int64,
    "filled_at": TIME,
}
FILLS_SCHEMA: dict[str, Any] = {
    "trade_id": pl.String, "code": pl.String, "action": pl.String, "quantity": pl.Int64,
    "price": pl.Float64, "booked_price": pl.Float64, "time": TIME,
}
EQUITY_SCHEMA: dict[str, Any] = {"time": TIME, "cash": pl.Float64, "equity": pl.Float64, "margin_in_use": pl.Float64}
DAILY_SCHEMA: dict[str, Any] = {"date": pl.Date, "equity": pl.Float64, "return": pl.Float64}
OPEN_POSITIONS_SCHEMA: dict[str, Any] = {
    "code": pl.String, "contract": pl.String, "market": pl.String, "side": pl.String, "quantity": pl.Int64,
    "entry_price": pl.Float64, "last_price": pl.Float64, "unrealised": pl.Float64,
}
FRAMES = ("trades", "orders", "fills", "equity", "daily", "open_positions")
# The trade records' word for a fill.
DEAL = "Deal"


def exchange_time(epoch_seconds: float) -> datetime:
    """Epoch seconds as the exchange's wall-clock date-time, without a zone."""
    zone = timezone(timedelta(hours=BASIC_INFO.utc_offset_hours))
    return datetime.fromtimestamp(epoch_seconds, zone).replace(tzinfo=None)


def _record_time(text: str) -> datetime:
    return datetime.fromisoformat(text)


def _trades(rows: list[Mapping[str, Any]]) -> pl.DataFrame:
    out = []
    for row in sorted(rows, key=lambda r: r["exit_dt"]):
        units = row["min_qty"]  # shares or index points of the whole trade: amounts are per unit of price
        out.append({
            "code": row["code"], "side": row["entry_action"], "quantity": row["qty"],
            "entry_time": exchange_time(row["entry_dt"]), "entry_quoted": row["entry_origin_price"],
            "entry_price": row["entry_amount"] / units,
            "exit_time": exchange_time(row["exit_dt"]), "exit_quoted": row["exit_origin_price"],
            "exit_price": row["exit_amount"] / units,
            "entry_cost": row["trade_cost"], "exit_cost": row["cover_cost"], "profit": row["profit"],
            "return": row["profit_ratio"],
        })
    return pl.DataFrame(out, schema=TRADES_SCHEMA)


def _fills(record: RunRecord) -> pl.DataFrame:
    from vorn_kest_backtest.reports.trade_export import booked_fill_price

    positions, out = record.positions, []
    for row in positions.trade_records:
        if row["trade_status"] != DEAL:
            continue
        market = record.markets.get(row["code"])
        booked = (booked_fill_price(positions, row, market, record.book.fill_limits.get(row["trade_id"]))
                  if market is not None else None)
        out.append({"trade_id": row["trade_id"], "code": row["code"], "action": row["action"],
                    "quantity": row["quantity"], "price": row["price"], "booked_price": booked,
                    "time": _record_time(row["dt"])})
    return pl.DataFrame(out, schema=FILLS_SCHEMA)


def _value(item: Any) -> Any:
    return getattr(item, "value", item)


def _orders(record: RunRecord) -> pl.DataFrame:
    """Every order the book placed (the strategy's, a bracket's exits, a roll's), in the order placed."""
    rows = []
    for order in record.book.orders_by_id.values():
        rows.append({
            "trade_id": order.trade_id, "code": order.code, "action": _value(order.action),
            "quantity": order.quantity, "order_type": _value(order.order_type), "limit_price": order.limit_price,
            "stop_price": order.stop_price, "placed_at": exchange_time(order.placed_at),
            "status": _value(order.status), "reason": order.reason or "", "fill_price": order.fill_price,
            "filled_quantity": order.filled_quantity,
            "filled_at": None if order.filled_at is None else exchange_time(order.filled_at),
        })
    return pl.DataFrame(rows, schema=ORDERS_SCHEMA)


def _equity(record: RunRecord) -> pl.DataFrame:
    recorder = record.recorder
    return pl.DataFrame({
        "time": [exchange_time(stamp) for stamp, _ in recorder.samples],
        "cash": recorder.cash,
        "equity": [value for _, value in recorder.samples],
        "margin_in_use": recorder.margins,
    }, schema=EQUITY_SCHEMA)


def _daily(summary: Summary) -> pl.DataFrame:
    closes = [value for _, value in summary.daily_closes]
    return pl.DataFrame({
        "date": [date.fromisoformat(day) for day, _ in summary.daily_closes],
        "equity": closes,
        "return": statistics.daily_returns(summary.initial_capital, closes),
    }, schema=DAILY_SCHEMA)


@dataclass
class BacktestResult:
    """一次回測的結果: `stats` (與主控台摘要相同的數字), 以及 polars 資料表 `trades` (每筆來回交易), `orders`
    (每筆委託), `fills` (每筆成交), `equity` (每分鐘的現金, 權益與保證金占用), `daily` (每個交易日的權益與報酬),
    `open_positions` (回放結束時未平倉的部位). 時間皆為交易所當地時間."""

    summary: Summary
    trades: pl.DataFrame
    orders: pl.DataFrame
    fills: pl.DataFrame
    equity: pl.DataFrame
    daily: pl.DataFrame
    open_positions: pl.DataFrame
    strategy_name: str
    _record: RunRecord
    _codes: list[dict[str, str]]
    quiet: bool = True

    @classmethod
    def from_run(cls, summary: Summary, record: RunRecord, codes: list[dict[str, str]],
                 strategy_name: str, quiet: bool = True) -> BacktestResult:
        return cls(
            summary=summary,
            trades=_trades(record.positions.profit_rows),
            orders=_orders(record),
            fills=_fills(record),
            equity=_equity(record),
            daily=_daily(summary),
            open_positions=pl.DataFrame(summary.open_positions, schema=OPEN_POSITIONS_SCHEMA),
            strategy_name=strategy_name,
            _record=record,
            _codes=codes,
            quiet=quiet,
        )

    @property
    def stats(self) -> Mapping[str, Any]:
        """與主控台摘要, summary.json 相同的數字 (唯讀)."""
        return MappingProxyType(self.summary.figures())

    @property
    def report_paths(self) -> dict[str, str]:
        """這次回測寫出的檔案 (report=True 或呼叫 report() 之後)."""
        return dict(self.summary.report_paths)

    def to_pandas(self) -> dict[str, pd.DataFrame]:
        """每個資料表轉為 pandas DataFrame, 依名稱."""
        return {name: getattr(self, name).to_pandas() for name in FRAMES}

    def report(self, path: str | os.PathLike[str] | None = None) -> dict[str, str]:
        """寫出交易紀錄 CSV 與 HTML 報告到 `path` (預設 <資料夾>/runs/<時間>-<策略>/); 回傳各檔案路徑."""
        from vorn_kest_backtest.runner.run_folder import new_run_folder
        from vorn_kest_backtest.runner.session import _write_outputs
        from vorn_kest_backtest.runner.sweep_run import muted_console

        record = self._record
        if path is None:
            folder = new_run_folder(self.strategy_name)
        else:
            folder = os.path.abspath(os.fspath(path))
            os.makedirs(folder, exist_ok=True)
        with muted_console() if self.quiet else nullcontext():
            paths = _write_outputs(record.positions, record.quote_manager, self._codes, record.markets,
                                   record.recorder.samples, folder, True, self.summary, record.book)
        self.summary.report_paths.update(paths)
        return paths

    def drawdown(self) -> pl.DataFrame:
        """每個權益樣本距先前最高權益的回落 (time, drawdown 金額, drawdown_pct)."""
        peak = pl.max_horizontal(pl.col("equity").cum_max(), pl.lit(self.summary.initial_capital))
        return self.equity.select(
            "time", (pl.col("equity") - peak).alias("drawdown"), (pl.col("equity") / peak - 1.0).alias("drawdown_pct"))

    def plot(self) -> go.Figure:
        """權益與回撤的 plotly 圖."""
        from plotly.subplots import make_subplots

        drawdown = self.drawdown()
        figure = make_subplots(rows=2, cols=1, shared_xaxes=True, row_heights=[0.7, 0.3], vertical_spacing=0.05)
        figure.add_scatter(x=self.equity["time"].to_list(), y=self.equity["equity"].to_list(), name="權益",
                           row=1, col=1)
        figure.add_scatter(x=drawdown["time"].to_list(), y=drawdown["drawdown_pct"].to_list(), name="回撤",
                           fill="tozeroy", row=2, col=1)
        figure.update_yaxes(tickformat=".1%", row=2, col=1)
        figure.update_layout(title=f"{self.strategy_name} 權益與回撤", height=520)
        return figure

    def _repr_html_(self) -> str:
        rows = "".join(f"<tr><th style='text-align:left'>{html.escape(row.label)}</th>"
                       f"<td style='text-align:right'>{html.escape(row.text)}</td></tr>"
                       for row in figure_rows(self.summary))
        return (f"<div><b>{html.escape(self.strategy_name)} 回測結果</b><div style='display:flex;gap:2em'>"
                f"<table>{rows}</table>{self._sparkline()}</div></div>")

    def _sparkline(self, width: int = 320, height: int = 120) -> str:
        values = self.equity["equity"].to_list()
        if len(values) < 2:
            return ""
        low, high = min(values), max(values)
        span = (high - low) or 1.0
        step = width / (len(values) - 1)
        points = " ".join(f"{i * step:.1f},{height - (v - low) / span * height:.1f}" for i, v in enumerate(values))
        return (f"<svg width='{width}' height='{height}' role='img' aria-label='權益曲線'>"
                f"<polyline fill='none' stroke='steelblue' stroke-width='1.5' points='{points}'/></svg>")

    def __repr__(self) -> str:
        return (f"BacktestResult({self.strategy_name}: trades={self.summary.trades}, "
                f"net_profit={self.summary.net_profit:,.0f}, final_capital={self.summary.final_capital:,.0f})")
