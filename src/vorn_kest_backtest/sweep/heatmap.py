"""Heat map of one metric over two swept parameters, as a self-contained HTML file.

Where codes or date ranges repeat a parameter pair, the cell shows the mean over them;
failed runs are left out. The plotly library is embedded, so the file opens without network.
"""

from __future__ import annotations

from pathlib import Path

import plotly.graph_objects as go
import polars as pl

from vorn_kest_backtest.sweep.columns import ERROR_COLUMN
from vorn_kest_backtest.utils import make_dir


def write_heatmap(frame: pl.DataFrame, x: str, y: str, metric: str, path: str | Path) -> str:
    """以參數 x, y 為座標, 指標平均值為顏色, 寫出離線 HTML 熱圖; 回傳路徑."""
    for name in (x, y, metric):
        if name not in frame.columns:
            raise ValueError(f"熱圖的欄位不存在: {name}")
    if x == y:
        raise ValueError(f"熱圖需要兩個不同的參數: {x}")
    cells = (
        frame.filter(pl.col(ERROR_COLUMN).is_null())
        .group_by(x, y)
        .agg(pl.col(metric).cast(pl.Float64).mean().alias("value"))
    )
    xs = cells[x].unique().sort().to_list()
    ys = cells[y].unique().sort().to_list()
    lookup = {(row[x], row[y]): row["value"] for row in cells.iter_rows(named=True)}
    z = [[lookup.get((xv, yv)) for xv in xs] for yv in ys]
    figure = go.Figure(go.Heatmap(x=[str(v) for v in xs], y=[str(v) for v in ys], z=z, colorbar={"title": metric}))
    figure.update_layout(
        title=f"{metric} 依 {x} x {y}",
        xaxis={"title": x, "type": "category"},
        yaxis={"title": y, "type": "category"},
    )
    target = Path(path)
    make_dir(target.parent)
    figure.write_html(target, include_plotlyjs=True, full_html=True)
    return str(target)
