"""One of the user's tick files (CSV or Parquet) as the toolkit's eight columns, every row checked.

Required: a time column (`ts`, or `datetime` in its place) and `close`. `volume` is 1 per tick when the
file has no such column (a yellow note says so); `bid_price`, `bid_volume`, `ask_price`, `ask_volume` are
empty (unknown) when absent, and so are their empty cells and nulls (a NaN quote is unknown too); `tick_type` is 0
(unknown) when absent or empty. Extra columns are ignored, but for `contract` (the futures month).

A value that is there but cannot be read (text in a number column, a fraction in a count), an empty time,
close or volume, or a futures row without its month is a problem of that row: the rows are kept with the
file's row numbers (`source_row`, the first data row is 1) and the problems are looked up per calendar day,
so a file holding many days fails only the day of the bad row. A row whose time cannot be read belongs to
no day and fails every day of its file. Prices are not judged here: the Ticker refuses a close at or below 0
or not finite, naming the file and the row.

Time: integer nanoseconds of the Taipei wall clock written as if it were UTC (what the toolkit's cache
holds); date-time text without a zone ("%Y-%m-%d %H:%M:%S[.%f]", also with a "T") is Taipei wall clock;
text with a zone ("...+08:00", "...Z") and zoned Parquet date-times are converted to Taipei wall clock.
"""

from __future__ import annotations

import csv
import itertools
from dataclasses import dataclass, field

import numpy as np
import polars as pl

from vorn_kest_backtest import utils
from vorn_kest_backtest.brokers.columns import TICK_COLUMNS
from vorn_kest_backtest.modules.market.market import EXCHANGE_UTC_OFFSET_HOURS, STOCK_SESSION_SECONDS
from vorn_kest_backtest.ticks.tick_dtypes import TICK_DTYPES

QUOTE_COLUMNS = ("bid_price", "bid_volume", "ask_price", "ask_volume")
# Columns whose empty cells are a problem of their row.
FILLED_COLUMNS = ("ts", "close", "volume")
TIME_COLUMN_ALIAS = "datetime"
CONTRACT_COLUMN = "contract"
SOURCE_ROW = "source_row"
EXCHANGE_ZONE = "Asia/Taipei"
DATETIME_FORMATS = ("%Y-%m-%d %H:%M:%S%.f", "%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S%.f", "%Y-%m-%dT%H:%M:%S")
ZONED_FORMATS = tuple(f"{form}%z" for form in DATETIME_FORMATS)
NS_PER_DAY = 86_400 * 1_000_000_000
STOCK_HOURS_NS = (STOCK_SESSION_SECONDS[0] * 1_000_000_000, STOCK_SESSION_SECONDS[1] * 1_000_000_000)


@dataclass
class TickFile:
    """A read tick file: `frame` holds the eight columns, `source_row` and (when the file has it) `contract`,
    in the file's order; `problems` the first bad row of each day (`day` null: rows without a time)."""

    path: str
    frame: pl.DataFrame
    problems: pl.DataFrame
    _by_time: pl.DataFrame | None = field(default=None, repr=False)
    _days: set[int] | None = field(default=None, repr=False)

    def problem(self, day: int | None = None) -> str | None:
        """The first problem of the rows of `day` (days since 1970-01-01) or of rows without a time; of every
        row when `day` is None."""
        rows = self.problems
        if day is not None:
            rows = rows.filter(pl.col("day").is_null() | (pl.col("day") == day))
        if rows.height == 0:
            return None
        first = rows.sort("row").row(0, named=True)
        return _message(self.path, first)

    def day(self, day: int) -> pl.DataFrame:
        """The rows stamped on calendar day `day` (days since 1970-01-01), in time order."""
        if self._by_time is None:
            self._by_time = self.frame.sort("ts", maintain_order=True)
        ts = self._by_time["ts"]
        start, end = (int(ts.search_sorted(day * NS_PER_DAY + offset, side="left")) for offset in (0, NS_PER_DAY))
        return self._by_time.slice(start, end - start)

    def days(self) -> set[int]:
        """Calendar days (days since 1970-01-01) the file has rows on."""
        if self._days is None:
            self._days = set((self.frame["ts"] // NS_PER_DAY).drop_nulls().unique().to_list())
        return self._days


def read_tick_file(path: str) -> TickFile:
    """Reads and checks one tick file; ValueError naming the file when it cannot be read or lacks a column."""
    return _checked(path, _read_raw(path))


def read_tick_files(paths: list[str]) -> dict[str, TickFile]:
    """Several files read together (polars reads them side by side, much faster than one by one). A file that
    cannot be read with the others is left out: read alone, its own error names it."""
    try:
        scans = [_scan(path) for path in paths]
        raws = pl.collect_all(scans)
    except Exception:
        return {}
    read = {}
    for path, raw in zip(paths, raws, strict=True):
        try:
            read[path] = _checked(path, _renamed(raw))
        except ValueError:
            continue
    return read


def _checked(path: str, raw: pl.DataFrame) -> TickFile:
    missing = [name for name in ("ts", "close") if name not in raw.columns]
    if missing:
        raise ValueError(f"Tick 檔 {path} 缺少欄位: {', '.join(missing)}")
    if "volume" not in raw.columns:
        utils.console.print(f"[yellow]Tick 檔 {path} 沒有 volume 欄位, 每筆 Tick 的成交量以 1 計[/yellow]")
    columns: list[pl.Series] = []
    flags: list[tuple[str, str, pl.Series]] = []  # (column, "bad", "blank" or "month", rows)
    for name in TICK_COLUMNS:
        if name not in raw.columns:
            columns.append(_default(name, raw.height))
            continue
        typed, bad = _typed(raw[name])
        if name in FILLED_COLUMNS and typed.null_count():
            flags.append((name, "blank", typed.is_null() if bad is None else typed.is_null() & ~bad))
        elif name == "tick_type" and typed.null_count():
            typed = typed.fill_null(0)
        if bad is not None:
            flags.append((name, "bad", bad))
        columns.append(typed)
    columns.append(pl.Series(SOURCE_ROW, np.arange(1, raw.height + 1, dtype=np.int64)))
    frame = pl.DataFrame(columns)
    if CONTRACT_COLUMN in raw.columns:
        months = _months(path, raw[CONTRACT_COLUMN])
        frame = frame.with_columns(months)
        flags.append((CONTRACT_COLUMN, "month", months.is_null()))
    return TickFile(path, frame, _problems(raw, frame["ts"], flags))


def contract_runs(frame: pl.DataFrame) -> list[tuple[int, str]]:
    """(first `ts`, month) of each run of one month in time order; [] without a `contract` column."""
    if CONTRACT_COLUMN not in frame.columns:
        return []
    ordered = frame.select("ts", CONTRACT_COLUMN).sort("ts", maintain_order=True)
    month = pl.col(CONTRACT_COLUMN)
    starts = ordered.filter(month != month.shift(1).fill_null(""))
    return list(starts.iter_rows())


def _clock(second_of_day: int) -> str:
    return f"{second_of_day // 3600:02d}:{second_of_day // 60 % 60:02d}"


def warn_if_outside_stock_hours(path: str, frame: pl.DataFrame) -> None:
    """Yellow line when most ticks of a stock day lie outside the session: the file's clock is likely shifted."""
    if frame.height == 0:
        return
    time_of_day = frame["ts"] % NS_PER_DAY
    outside = int((~time_of_day.is_between(*STOCK_HOURS_NS)).sum())
    if outside * 2 > frame.height:
        utils.console.print(
            f"[yellow]Tick 檔 {path} 有 {outside}/{frame.height} 筆 Tick 不在 "
            f"{_clock(STOCK_SESSION_SECONDS[0])}-{_clock(STOCK_SESSION_SECONDS[1])} 之間, "
            f"時間可能有偏移 (ts 應為台北時間, 例如 UTC 時間需加 {EXCHANGE_UTC_OFFSET_HOURS} 小時)[/yellow]"
        )


def _read_raw(path: str) -> pl.DataFrame:
    """Every column as written, `datetime` renamed to `ts` where it stands in. A CSV is read with the known
    columns typed, and as text when that fails, so the bad row can be named."""
    try:
        try:
            frame = _scan(path).collect()
        except pl.exceptions.PolarsError:
            if path.endswith(".parquet"):
                raise
            frame = pl.read_csv(path, infer_schema=False)
    except Exception as error:
        raise ValueError(f"無法讀取 Tick 檔 {path}: {error}") from None
    return _renamed(frame)


def _scan(path: str) -> pl.LazyFrame:
    """The file with the known CSV columns typed (the time too when its first value is an integer)."""
    if path.endswith(".parquet"):
        return pl.scan_parquet(path)
    header, first = _head(path)
    time_name = "ts" if "ts" in header else TIME_COLUMN_ALIAS
    typed = {name: dtype for name, dtype in TICK_DTYPES.items() if name in header and name != "ts"}
    if time_name in header and first.get(time_name, "").strip().isdigit():
        typed[time_name] = pl.Int64
    return pl.scan_csv(path, infer_schema=False, schema_overrides=typed)


def _renamed(frame: pl.DataFrame) -> pl.DataFrame:
    if "ts" not in frame.columns and TIME_COLUMN_ALIAS in frame.columns:
        frame = frame.rename({TIME_COLUMN_ALIAS: "ts"})
    return frame


def _head(path: str) -> tuple[list[str], dict[str, str]]:
    """The header and the first row of a CSV file (the first row empty when there is none)."""
    with open(path, encoding="utf-8-sig", newline="") as stream:
        rows = list(itertools.islice(csv.reader(stream), 2))
    header = rows[0] if rows else []
    return header, dict(zip(header, rows[1], strict=False)) if len(rows) > 1 else {}


def _default(name: str, height: int) -> pl.Series:
    if name == "volume":
        return pl.repeat(1, height, dtype=pl.Int64, eager=True).alias(name)
    if name == "tick_type":
        return pl.repeat(0, height, dtype=pl.Int64, eager=True).alias(name)
    return pl.repeat(None, height, dtype=TICK_DTYPES[name], eager=True).alias(name)


def _typed(column: pl.Series) -> tuple[pl.Series, pl.Series | None]:
    """`column` in its toolkit dtype, and where a value was there but is not one of that dtype (None: nowhere)."""
    name, target = column.name, TICK_DTYPES[column.name]
    if column.dtype == target:
        # A NaN quote stays as it is: the replay takes a quote that is no price for an unknown one.
        return column, None
    source = column.str.strip_chars() if column.dtype == pl.String else column
    if name == "ts":
        typed = _wall_clock_ns(source).cast(pl.Int64, strict=False)
    elif target == pl.Int64:
        typed = _whole_numbers(source)
    else:
        typed = source.cast(target, strict=False)
    if typed.null_count() == source.null_count():
        return typed.rename(name), None
    given = source.is_not_null()
    if source.dtype == pl.String:
        given = given & (source != "")
    bad = (typed.is_null() & given).fill_null(False)
    return typed.rename(name), bad if bad.any() else None


def _whole_numbers(source: pl.Series) -> pl.Series:
    """Integers, also where written as a whole float ("2.0"); a fraction is no count and stays null."""
    as_float = source.cast(pl.Float64, strict=False)
    whole = pl.when(as_float == as_float.round()).then(as_float).cast(pl.Int64, strict=False)
    if source.dtype.is_float():
        return pl.select(whole).to_series()
    return pl.select(pl.coalesce(source.cast(pl.Int64, strict=False), whole)).to_series()


def _wall_clock_ns(column: pl.Series) -> pl.Series:
    """`ts` as integer nanoseconds of the wall clock; date-time text and Parquet date-times are converted."""
    if column.dtype == pl.String:
        as_int = column.cast(pl.Int64, strict=False)
        if as_int.null_count() == column.null_count():
            return as_int
        text = column.str.replace(r"Z$", "+00:00")
        zoned = [
            _taipei_wall_clock(text.str.to_datetime(f, time_unit="ns", strict=False)).dt.epoch("ns")
            for f in ZONED_FORMATS
        ]
        parsed = [column.str.to_datetime(f, time_unit="ns", strict=False).dt.epoch("ns") for f in DATETIME_FORMATS]
        return pl.select(pl.coalesce([as_int, *zoned, *parsed])).to_series().rename("ts")
    if isinstance(column.dtype, pl.Datetime):
        return _taipei_wall_clock(column).dt.cast_time_unit("ns").dt.epoch("ns").rename("ts")
    return column


def _taipei_wall_clock(column: pl.Series) -> pl.Series:
    if isinstance(column.dtype, pl.Datetime) and column.dtype.time_zone is not None:
        return column.dt.convert_time_zone(EXCHANGE_ZONE).dt.replace_time_zone(None)
    return column


def _months(path: str, column: pl.Series) -> pl.Series:
    """The contract month of each row as text, null where it is missing."""
    if not (column.dtype == pl.String or column.dtype.is_integer()):
        raise ValueError(f"Tick 檔 {path} 欄位 {CONTRACT_COLUMN} 應為文字或整數 (例如 202403): {column.dtype}")
    months = column.cast(pl.String).str.strip_chars()
    return pl.select(pl.when(months != "").then(months)).to_series().rename(CONTRACT_COLUMN)


def _problems(raw: pl.DataFrame, ts: pl.Series, flags: list[tuple[str, str, pl.Series]]) -> pl.DataFrame:
    """Per calendar day (null: rows without a time), its first flagged row: (row, day, column, kind, value)."""
    found = [
        pl.DataFrame({"index": rows.arg_true()}).with_columns(column=pl.lit(column), kind=pl.lit(kind))
        for column, kind, rows in flags
        if rows.any()
    ]
    schema = {"row": pl.Int64, "day": pl.Int64, "column": pl.String, "kind": pl.String, "value": pl.String}
    if not found:
        return pl.DataFrame(schema=schema)
    flagged = pl.concat(found).sort("index", maintain_order=True)
    flagged = flagged.with_columns(day=ts.gather(flagged["index"]) // NS_PER_DAY)
    flagged = flagged.group_by("day", maintain_order=True).first()
    values = [repr(raw[column][index]) for column, index in zip(flagged["column"], flagged["index"], strict=True)]
    return flagged.select(
        (pl.col("index").cast(pl.Int64) + 1).alias("row"), "day", "column", "kind", pl.Series("value", values)
    )


def _message(path: str, problem: dict) -> str:
    column, row, kind, value = problem["column"], problem["row"], problem["kind"], problem["value"]
    if kind == "blank":
        return f"Tick 檔 {path} 欄位 {column} 第 {row} 筆資料空白"
    if kind == "month":
        return f"Tick 檔 {path} 欄位 {column} 第 {row} 筆資料沒有契約月份: {value}"
    return f"Tick 檔 {path} 欄位 {column} 第 {row} 筆資料無法解析為 {TICK_DTYPES[column]}: {value}"
