"""The top rows of a sweep result as a rich table for the console."""

from __future__ import annotations

import polars as pl
from rich.table import Table

from vorn_kest_backtest.sweep.columns import ERROR_COLUMN

_ERROR_WIDTH = 40


def top_table(frame: pl.DataFrame, metric: str, rows: int = 10) -> Table:
    """前 rows 列; 排序用的指標欄位加粗, 全空的欄位不顯示."""
    shown = frame.head(rows)
    names = [name for name in shown.columns if name == metric or shown[name].null_count() < shown.height]
    table = Table(title=f"參數掃描結果 (前 {shown.height} / {frame.height} 列, 依 {metric})")
    for name in names:
        table.add_column(
            name,
            style="bold" if name == metric else None,
            justify="left" if frame.schema[name] == pl.String else "right",
            min_width=len(name),
            max_width=_ERROR_WIDTH if name == ERROR_COLUMN else None,
            no_wrap=True,
            overflow="ellipsis",
        )
    for record in shown.select(names).iter_rows(named=True):
        table.add_row(*(_cell(value) for value in record.values()))
    return table


def _cell(value: object) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:,.2f}"
    return str(value)
