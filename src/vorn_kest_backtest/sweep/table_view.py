"""The top rows of a sweep result as a rich table for the console."""

from __future__ import annotations

import polars as pl
from rich.table import Table

from vorn_kest_backtest.sweep.columns import ERROR_COLUMN

_ERROR_WIDTH = 60


def top_table(frame: pl.DataFrame, metric: str, rows: int = 10) -> Table:
    """前 rows 列; 排序用的指標欄位加粗."""
    table = Table(title=f"參數掃描結果 (前 {min(rows, frame.height)} / {frame.height} 列, 依 {metric})")
    for name in frame.columns:
        table.add_column(name, style="bold" if name == metric else None, justify="left" if frame.schema[name] == pl.String else "right")
    for record in frame.head(rows).iter_rows(named=True):
        table.add_row(*(_cell(name, value) for name, value in record.items()))
    return table


def _cell(name: str, value: object) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:,.2f}"
    text = str(value)
    if name == ERROR_COLUMN and len(text) > _ERROR_WIDTH:
        return text[: _ERROR_WIDTH - 1] + "…"
    return text
