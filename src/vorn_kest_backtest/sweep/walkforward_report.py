"""The walk-forward report page: stitched statistics, the stitched out-of-sample curve with each test
window shaded, and the table of windows. One self-contained HTML file (plotly embedded)."""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any

from vorn_kest_backtest.sweep.columns import ERROR_COLUMN, STATUS_COLUMN, STATUS_OK
from vorn_kest_backtest.sweep.walkforward_view import STATISTIC_ROWS, statistic_text
from vorn_kest_backtest.utils import make_dir

if TYPE_CHECKING:
    from vorn_kest_backtest.sweep.walkforward import WalkForwardOutcome

_SHADES = ("rgba(31, 119, 180, 0.08)", "rgba(255, 127, 14, 0.08)")


def write_walk_forward_report(outcome: WalkForwardOutcome, metric: str, names: list[str], path: str | Path) -> str:
    """寫出 walk-forward 報告頁; 回傳路徑."""
    from vorn_kest_backtest.reports.templating import template_env

    texts = {"窗口", "訓練期間", "測試期間", "狀態"}
    headers = [{"value": header, "text": header in texts} for header in
               ("窗口", "訓練期間", "測試期間", *names, f"樣本內 {metric}", f"樣本外 {metric}",
                "樣本外淨損益", "樣本外總報酬率", "樣本外交易次數", "狀態")]
    rows = []
    for row in outcome.windows.iter_rows(named=True):
        ok = row[STATUS_COLUMN] == STATUS_OK
        cells = [
            (str(row["window"]), True),
            (f"{row['train_start']} ~ {row['train_end']}", True),
            (f"{row['test_start']} ~ {row['test_end']}", True),
            *((_text(row[name]), False) for name in names),
            (_text(row[f"is_{metric}"]), False),
            (_text(row[f"oos_{metric}"]), False),
            (statistic_text(row["oos_net_profit"], "money"), False),
            (statistic_text(row["oos_total_return"], "percent"), False),
            (_text(row["oos_trades"]), False),
            (row[STATUS_COLUMN] if row[ERROR_COLUMN] is None else f"{row[STATUS_COLUMN]}: {row[ERROR_COLUMN]}", True),
        ]
        rows.append({"failed": not ok, "cells": [{"value": value, "text": text} for value, text in cells]})
    statistics = [(label, statistic_text(outcome.statistics.get(key), kind)) for key, label, kind in STATISTIC_ROWS]
    html = template_env.get_template("walk_forward.html").render(
        metric=metric, statistics=statistics, chart=_chart(outcome), headers=headers, rows=rows)
    target = Path(path)
    make_dir(target.parent)
    target.write_text(html, encoding="utf-8")
    return str(target)


def _chart(outcome: WalkForwardOutcome) -> str:
    import plotly.graph_objects as go  # only a report page pays for plotly

    equity = outcome.equity
    if equity.is_empty():
        return ""
    figure = go.Figure(go.Scatter(x=equity["date"].to_list(), y=equity["equity"].to_list(), mode="lines",
                                  name="樣本外權益", customdata=equity["window"].to_list(),
                                  hovertemplate="%{x}<br>窗口 %{customdata}<br>%{y:,.0f}<extra></extra>"))
    # On a category axis day n sits at n: each window's band runs from half a day before its first day
    # to half a day after its last, so the bands meet.
    first = 0
    for number, window in enumerate(equity.partition_by("window", maintain_order=True)):
        figure.add_vrect(x0=first - 0.5, x1=first + window.height - 0.5, fillcolor=_SHADES[number % 2], line_width=0,
                         annotation_text=f"窗口 {window['window'][0]}", annotation_position="top left")
        first += window.height
    figure.update_layout(xaxis={"title": "日期", "type": "category"}, yaxis={"title": "權益"}, height=480,
                         margin={"l": 60, "r": 20, "t": 30, "b": 60}, showlegend=False)
    return figure.to_html(full_html=False, include_plotlyjs=True)


def _text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:,.2f}"
    return str(value)
