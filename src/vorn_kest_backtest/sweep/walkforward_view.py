"""A walk-forward's windows and stitched statistics as rich tables for the console."""

from __future__ import annotations

from typing import Any

import polars as pl
from rich.cells import cell_len
from rich.table import Table

from vorn_kest_backtest.sweep.columns import STATUS_COLUMN

# The stitched statistics in the order shown, with their labels and how each is written.
STATISTIC_ROWS = (
    ("windows", "樣本外窗口數", "count"),
    ("trading_days", "交易日數", "count"),
    ("initial_capital", "初始資金", "money"),
    ("final_capital", "最終資金", "money"),
    ("net_profit", "淨損益", "money"),
    ("total_return", "總報酬率", "percent"),
    ("cagr", "年化報酬率 (CAGR)", "percent"),
    ("sharpe", "Sharpe", "ratio"),
    ("sortino", "Sortino", "ratio"),
    ("max_drawdown", "最大回撤", "money"),
    ("max_drawdown_pct", "最大回撤 (%)", "percent"),
    ("max_drawdown_days", "最大回撤期間 (天)", "ratio"),
)


def statistic_text(value: Any, kind: str) -> str:
    if value is None:
        return "-"
    if kind == "count":
        return f"{int(value):,}"
    if kind == "money":
        return f"{value:,.0f}"
    if kind == "percent":
        return f"{value:.2%}"
    return f"{value:,.2f}"


def windows_table(frame: pl.DataFrame, metric: str, names: list[str]) -> Table:
    """每個窗口: 測試期間, 選出的參數, 樣本內與樣本外的指標 (訓練期間見表格檔與報告頁)."""
    table = Table(title=f"Walk-forward 窗口 (依 {metric} 選參數)")
    headers = ["窗口", "測試期間", *names, f"樣本內 {metric}", f"樣本外 {metric}", "樣本外淨損益", "狀態"]
    for header in headers:
        table.add_column(header, justify="left" if header in ("測試期間", "狀態") else "right",
                         min_width=min(cell_len(header), 12), no_wrap=header != "狀態")
    for row in frame.iter_rows(named=True):
        table.add_row(
            str(row["window"]), f"{row['test_start']} ~ {row['test_end']}",
            *(_cell(row[name]) for name in names), _cell(row[f"is_{metric}"]), _cell(row[f"oos_{metric}"]),
            _cell(row["oos_net_profit"]), str(row[STATUS_COLUMN]) if row["error"] is None else str(row["error"]),
        )
    return table


def statistics_table(statistics: dict[str, Any]) -> Table:
    table = Table(title="串接的樣本外權益", show_header=False, title_style="bold")
    table.add_column("項目", style="bold")
    table.add_column("數值", justify="right")
    for key, label, kind in STATISTIC_ROWS:
        table.add_row(label, statistic_text(statistics.get(key), kind))
    return table


def _cell(value: object) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:,.2f}"
    return str(value)
