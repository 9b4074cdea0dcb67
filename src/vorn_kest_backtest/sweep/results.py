"""The sweep result table: one row per finished run, sorted by a metric, written as CSV."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import polars as pl

from vorn_kest_backtest.sweep.columns import (
    COUNT_METRICS,
    ERROR_COLUMN,
    METRIC_COLUMNS,
    PLACE_COLUMNS,
    RUN_COLUMN,
    RUN_TIME_COLUMN,
)
from vorn_kest_backtest.utils import make_dir

_SCALARS = (bool, int, float, str)


def param_names(jobs: list[dict[str, Any]]) -> list[str]:
    """所有參數名稱, 依第一次出現的順序."""
    return list(dict.fromkeys(name for job in jobs for name in job["params"]))


def results_frame(jobs: list[dict[str, Any]], outcomes: dict[int, dict[str, Any]]) -> pl.DataFrame:
    """有結果的 run job 依 run 編號排成一列一次回測的表格."""
    done = [job for job in sorted(jobs, key=lambda s: s["run"]) if job["run"] in outcomes]
    rows = [outcomes[job["run"]] for job in done]
    columns = [pl.Series(RUN_COLUMN, [job["run"] for job in done], dtype=pl.Int64)]
    columns += [_param_series(name, [job["params"].get(name) for job in done]) for name in param_names(jobs)]
    columns += [
        pl.Series("codes", [",".join(job["codes"]) or None for job in done], dtype=pl.String),
        pl.Series("start", [job["start"] for job in done], dtype=pl.String),
        pl.Series("end", [job["end"] for job in done], dtype=pl.String),
    ]
    columns += [
        pl.Series(key, [row["summary"].get(key) for row in rows],
                  dtype=pl.Int64 if key in COUNT_METRICS else pl.Float64)
        for key in METRIC_COLUMNS
    ]
    columns += [
        pl.Series(RUN_TIME_COLUMN, [row["run_time_s"] for row in rows], dtype=pl.Float64),
        pl.Series(ERROR_COLUMN, [row["error"] for row in rows], dtype=pl.String),
    ]
    return pl.DataFrame(columns)


def _param_series(name: str, values: list[Any]) -> pl.Series:
    # Typed where the values agree on a type; as text otherwise (mixed kinds, lists), so that
    # every table still writes as flat CSV.
    if all(value is None or isinstance(value, _SCALARS) for value in values):
        try:
            return pl.Series(name, values, strict=True)
        except (TypeError, pl.exceptions.PolarsError):
            pass
    return pl.Series(name, [None if value is None else str(value) for value in values], dtype=pl.String)


def sortable_columns(names: list[str]) -> list[str]:
    return [RUN_COLUMN, *names, *PLACE_COLUMNS, *METRIC_COLUMNS, RUN_TIME_COLUMN]


def sort_results(frame: pl.DataFrame, metric: str, *, descending: bool = True) -> pl.DataFrame:
    """依指標排序 (失敗的回測排最後, 同值依 run 編號), 結果與執行順序無關."""
    if metric not in frame.columns or metric == ERROR_COLUMN:
        raise ValueError(f"無法排序的指標: {metric}")
    key = pl.col(metric)
    if frame.schema[metric].is_float():
        key = key.fill_nan(None)
    return frame.sort(
        [pl.col(ERROR_COLUMN).is_not_null(), key, pl.col(RUN_COLUMN)],
        descending=[False, descending, False],
        nulls_last=True,
    )


def write_csv(frame: pl.DataFrame, path: str | Path) -> str:
    """寫出結果 CSV (自動建立資料夾); 回傳路徑."""
    target = Path(path)
    make_dir(target.parent)
    frame.write_csv(target)
    return str(target)
