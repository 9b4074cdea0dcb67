"""The sweep result table: one row per run with its figures and status, sorted by a metric."""

from __future__ import annotations

from collections.abc import Mapping
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
    STATUS_COLUMN,
    STATUS_FAILED,
    STATUS_OK,
    STATUSES,
)
from vorn_kest_backtest.utils import make_dir

_SCALARS = (bool, int, float, str)


def param_names(jobs: list[dict[str, Any]]) -> list[str]:
    """所有參數名稱, 依第一次出現的順序."""
    return list(dict.fromkeys(name for job in jobs for name in job["params"]))


def plan_frame(jobs: list[dict[str, Any]]) -> pl.DataFrame:
    """每個 run job 一列: run 編號, 參數, 商品, 日期區間 (參數欄位的型別依整個計畫決定)."""
    ordered = sorted(jobs, key=lambda job: job["run"])
    columns = [pl.Series(RUN_COLUMN, [job["run"] for job in ordered], dtype=pl.Int64)]
    columns += [param_series(name, [job["params"].get(name) for job in ordered]) for name in param_names(jobs)]
    columns += [
        pl.Series("codes", [",".join(job["codes"]) or None for job in ordered], dtype=pl.String),
        pl.Series("start", [job["start"] for job in ordered], dtype=pl.String),
        pl.Series("end", [job["end"] for job in ordered], dtype=pl.String),
    ]
    return pl.DataFrame(columns)


def results_frame(
    jobs: list[dict[str, Any]],
    outcomes: Mapping[int, dict[str, Any]],
    unfinished: Mapping[int, str] | None = None,
    *,
    plan: pl.DataFrame | None = None,
) -> pl.DataFrame:
    """有結果的 run job (以及 unfinished 中未完成的, 只有狀態) 依 run 編號排成一列一次回測的表格."""
    plan = plan_frame(jobs) if plan is None else plan
    unfinished = unfinished or {}
    runs = sorted(set(outcomes) | set(unfinished))
    rows = [outcomes.get(run) for run in runs]
    columns = [pl.Series(RUN_COLUMN, runs, dtype=pl.Int64)]
    columns += [
        pl.Series(key, [row["summary"].get(key) if row else None for row in rows],
                  dtype=pl.Int64 if key in COUNT_METRICS else pl.Float64)
        for key in METRIC_COLUMNS
    ]
    columns += [
        pl.Series(RUN_TIME_COLUMN, [row["run_time_s"] if row else None for row in rows], dtype=pl.Float64),
        pl.Series(STATUS_COLUMN,
                  [_status(row) if row else unfinished[run] for run, row in zip(runs, rows, strict=True)],
                  dtype=pl.String),
        pl.Series(ERROR_COLUMN, [row["error"] if row else None for row in rows], dtype=pl.String),
    ]
    return plan.join(pl.DataFrame(columns), on=RUN_COLUMN, how="inner", maintain_order="right")


def _status(outcome: dict[str, Any]) -> str:
    return STATUS_OK if outcome["error"] is None else STATUS_FAILED


def param_series(name: str, values: list[Any]) -> pl.Series:
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
    """依指標排序 (成功的在前, 接著失敗, 中斷, 未執行; 同值依 run 編號), 結果與執行順序無關."""
    if metric not in frame.columns or metric in (ERROR_COLUMN, STATUS_COLUMN):
        raise ValueError(f"無法排序的指標: {metric}")
    key = pl.col(metric)
    if frame.schema[metric].is_float():
        key = key.fill_nan(None)
    rank = pl.col(STATUS_COLUMN).replace_strict(list(STATUSES), list(range(len(STATUSES))), default=len(STATUSES))
    return frame.sort(
        [rank, pl.col(ERROR_COLUMN).is_not_null(), key, pl.col(RUN_COLUMN)],
        descending=[False, False, descending, False],
        nulls_last=True,
    )


def write_csv(frame: pl.DataFrame, path: str | Path) -> str:
    """寫出結果 CSV (自動建立資料夾); 回傳路徑."""
    target = Path(path)
    make_dir(target.parent)
    frame.write_csv(target)
    return str(target)
