"""Resuming a sweep: which parameter sets an earlier table already finished.

A run is the same run when its parameter values, codes and date range are the same; run numbers
are not compared, so a grid that gained values resumes too. Finished means "ok" or "failed" (a
failed run fails the same way again); "interrupted" and "not run" rows are run now.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

import polars as pl

from vorn_kest_backtest.sweep.columns import FINISHED_STATUSES, PLACE_COLUMNS, RUN_COLUMN, STATUS_COLUMN
from vorn_kest_backtest.sweep.results import param_names
from vorn_kest_backtest.sweep.table_file import read_table, table_param_names


def finished_rows(path: str | Path, jobs: list[dict[str, Any]], plan: pl.DataFrame) -> tuple[pl.DataFrame, set[int]]:
    """The finished rows of the table at `path`, and the runs of the plan they stand for."""
    table = read_table(path)
    names = param_names(jobs)
    known = table_param_names(table)
    if sorted(known) != sorted(names):
        raise ValueError(
            f"續跑的表格參數 ({', '.join(known) or '無'}) 與這次掃描的參數 ({', '.join(names) or '無'}) 不同: {path}"
        )
    kept = table.filter(pl.col(STATUS_COLUMN).is_in(list(FINISHED_STATUSES)))
    columns = [*names, *PLACE_COLUMNS]
    done = {_key(row) for row in kept.select(columns).iter_rows()}
    runs = {row[0] for row in plan.select(RUN_COLUMN, *columns).iter_rows() if _key(row[1:]) in done}
    return kept, runs


def _key(values: tuple[Any, ...]) -> tuple[Any, ...]:
    return tuple(_cell(value) for value in values)


def _cell(value: Any) -> Any:
    # A value read back from CSV may come as another type than the grid gave it (5 / 5.0 / "5").
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, (int, float)):
        return float(value)
    text = str(value)
    try:
        return float(text)
    except ValueError:
        return text
