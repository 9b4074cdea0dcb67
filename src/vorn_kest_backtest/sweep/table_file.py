"""The sweep's table on disk, kept up to date while the runs finish.

The CSV grows by each batch of finished rows at once (one append, flushed to the disk); beside it
the Parquet twin (same name, ".parquet") is written whole to a temporary file and renamed over the
old one, so it always holds a complete table. At the end both are replaced by the sorted table.
A sweep that is killed outright loses no finished row; `--resume` reads the Parquet twin when
there is one (a crash can cut the CSV's last line, never the twin).
"""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path

import polars as pl

from vorn_kest_backtest.sweep.columns import (
    ERROR_COLUMN,
    FIXED_COLUMNS,
    PLACE_COLUMNS,
    RUN_COLUMN,
    STATUS_COLUMN,
    STATUS_FAILED,
    STATUS_OK,
)
from vorn_kest_backtest.utils import make_dir

TWIN_SUFFIX = ".parquet"


def twin_path(path: str | Path) -> Path:
    """sweep.csv -> sweep.parquet."""
    return Path(path).with_suffix(TWIN_SUFFIX)


def csv_path(path: str | Path) -> Path:
    """The CSV of a table named by either of its files."""
    target = Path(path)
    return target.with_suffix(".csv") if target.suffix == TWIN_SUFFIX else target


def _replace(target: Path, write: Callable[[Path], None]) -> None:
    temp = target.with_name(f".{target.name}.tmp-{os.getpid()}")
    try:
        write(temp)
        with open(temp, "rb") as handle:
            os.fsync(handle.fileno())
        os.replace(temp, target)
    except BaseException:
        temp.unlink(missing_ok=True)
        raise


class SweepTableFile:
    """結果表格的 CSV 與 Parquet 檔; 每批完成的回測立即寫入."""

    def __init__(self, path: str | Path, columns: list[str], kept: pl.DataFrame | None = None) -> None:
        self.csv = Path(path)
        if self.csv.suffix == TWIN_SUFFIX:
            raise ValueError(f"結果表格的路徑必須是 CSV 檔: {path}")
        self.parquet = twin_path(self.csv)
        self.columns = list(columns)
        make_dir(self.csv.parent)
        self._frames: list[pl.DataFrame] = []
        self.rewrite(self._aligned(kept) if kept is not None else None)

    def append(self, rows: pl.DataFrame) -> None:
        """加入一批列: CSV 附加在檔尾, Parquet 整個重寫."""
        if rows.is_empty():
            return
        rows = self._aligned(rows)
        data = rows.write_csv(include_header=False).encode("utf-8")
        descriptor = os.open(self.csv, os.O_WRONLY | os.O_APPEND)
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(descriptor, view):]
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
        self._frames.append(rows)
        _replace(self.parquet, self.rows().write_parquet)

    def rewrite(self, frame: pl.DataFrame | None) -> None:
        """以 frame (或空表格) 取代兩個檔案."""
        self._frames = [] if frame is None else [self._aligned(frame)]
        table = self.rows()
        _replace(self.csv, table.write_csv)
        _replace(self.parquet, table.write_parquet)

    def rows(self) -> pl.DataFrame:
        if not self._frames:
            return pl.DataFrame({name: [] for name in self.columns}, schema=dict.fromkeys(self.columns, pl.String))
        if len(self._frames) > 1:
            self._frames = [pl.concat(self._frames, how="diagonal_relaxed")]
        return self._frames[0]

    def _aligned(self, frame: pl.DataFrame) -> pl.DataFrame:
        return aligned(frame, self.columns)


def aligned(frame: pl.DataFrame, columns: list[str]) -> pl.DataFrame:
    """frame 的 columns 欄位, 依此順序; 沒有的欄位為空值 (例如較舊版本的表格少了的指標)."""
    return frame.select(pl.col(name) if name in frame.columns else pl.lit(None).alias(name) for name in columns)


def read_table(path: str | Path) -> pl.DataFrame:
    """讀取先前的結果表格 (有 Parquet 檔時讀它); 舊表格沒有 status 欄時由 error 欄推得."""
    csv = csv_path(path)
    twin = twin_path(csv)
    if twin.exists():
        frame = pl.read_parquet(twin)
    elif csv.exists():
        frame = pl.read_csv(csv, infer_schema_length=None)
    else:
        raise FileNotFoundError(f"找不到要續跑的結果表格: {path}")
    missing = [name for name in (RUN_COLUMN, *PLACE_COLUMNS, ERROR_COLUMN) if name not in frame.columns]
    if missing:
        raise ValueError(f"不是參數掃描的結果表格 (缺少欄位 {', '.join(missing)}): {path}")
    if STATUS_COLUMN not in frame.columns:
        status = pl.when(pl.col(ERROR_COLUMN).is_null()).then(pl.lit(STATUS_OK)).otherwise(pl.lit(STATUS_FAILED))
        frame = frame.with_columns(status.alias(STATUS_COLUMN))
    return frame


def table_param_names(frame: pl.DataFrame) -> list[str]:
    """The swept parameters of a table: every column that is not one of the fixed ones."""
    return [name for name in frame.columns if name not in FIXED_COLUMNS]
