"""Heat map of one metric over two swept parameters, as a self-contained HTML file.

Where codes or date ranges repeat a parameter pair, the cell shows the mean over them;
only runs with status "ok" count. The plotly library is embedded, so the file opens without network.
"""

from __future__ import annotations

from pathlib import Path

import polars as pl

from vorn_kest_backtest.sweep.columns import STATUS_COLUMN, STATUS_OK
from vorn_kest_backtest.utils import make_dir


def cell_text(value: float | None) -> str:
    """The value written in a cell: four significant figures, thousands separated."""
    if value is None:
        return ""
    return f"{value:,.0f}" if abs(value) >= 1000 else f"{value:.4g}"


def write_heatmap(frame: pl.DataFrame, x: str, y: str, metric: str, path: str | Path) -> str:
    """以參數 x, y 為座標, 指標平均值為顏色, 寫出離線 HTML 熱圖; 回傳路徑."""
    import plotly.graph_objects as go  # only a sweep that asks for a heat map pays for plotly

    for name in (x, y, metric):
        if name not in frame.columns:
            raise ValueError(f"熱圖的欄位不存在: {name}")
    if x == y:
        raise ValueError(f"熱圖需要兩個不同的參數: {x}")
    cells = (
        frame.filter(pl.col(STATUS_COLUMN) == STATUS_OK)
        .group_by(x, y)
        .agg(pl.col(metric).cast(pl.Float64).mean().alias("value"))
    )
    xs = cells[x].unique().sort().to_list()
    ys = cells[y].unique().sort().to_list()
    lookup = {(row[x], row[y]): row["value"] for row in cells.iter_rows(named=True)}
    z = [[lookup.get((xv, yv)) for xv in xs] for yv in ys]
    text = [[cell_text(value) for value in row] for row in z]
    figure = go.Figure(go.Heatmap(x=[str(v) for v in xs], y=[str(v) for v in ys], z=z, text=text,
                                  texttemplate="%{text}", colorbar={"title": metric}))
    figure.update_layout(
        title=f"{metric} 依 {x} x {y}",
        xaxis={"title": x, "type": "category"},
        yaxis={"title": y, "type": "category"},
    )
    target = Path(path)
    make_dir(target.parent)
    figure.write_html(target, include_plotlyjs=True, full_html=True)
    return str(target)
