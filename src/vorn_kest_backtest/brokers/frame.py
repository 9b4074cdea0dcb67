"""A broker stand-in that serves ticks the caller already holds in a DataFrame (polars or pandas).

Columns: `code`, a time column (`ts`, `timestamp`, `datetime` or `time`), `close`, `volume`; optional
`bid_price`, `bid_volume`, `ask_price`, `ask_volume` (also named `bid` / `ask`), `tick_type` (1 buy, 2 sell,
0 unknown), and `market` ("Stock" / "Future") when the market of a code is not the one its first character says.
The time is a date-time with a zone (converted to Taipei time), a date-time without one (read as Taipei time),
or integer epoch nanoseconds (an instant, converted to Taipei time).

A day's ticks are the ones inside the trading sessions the market module's calendar gives that calendar day.
Nothing is written to the tick cache: the frame is read again on every run.
"""

from __future__ import annotations

from collections.abc import Mapping
from datetime import date
from typing import Any

import polars as pl

from vorn_kest_backtest.brokers.columns import TICK_COLUMNS
from vorn_kest_backtest.brokers.contracts import FUTURE, STOCK, Contract, Contracts
from vorn_kest_backtest.modules.market.market import NS_PER_DAY, TradingCalendar, midnight_ns
from vorn_kest_backtest.ticks.tick_dtypes import TICK_DTYPES

EXCHANGE_ZONE = "Asia/Taipei"
TIME_COLUMNS = ("ts", "timestamp", "datetime", "time")
ALIASES = {"bid": "bid_price", "ask": "ask_price"}
COLUMN_TYPES = {name: dtype for name, dtype in TICK_DTYPES.items() if name != "ts"}


def as_polars(frame: Any) -> pl.DataFrame:
    """A polars frame as is; a pandas frame converted (its index left out)."""
    if isinstance(frame, pl.DataFrame):
        return frame
    if type(frame).__name__ == "DataFrame" and type(frame).__module__.startswith("pandas"):
        return pl.from_pandas(frame)
    raise TypeError(f"broker 的 DataFrame 必須是 polars 或 pandas DataFrame: {type(frame).__name__}")


def _wall_ns(column: pl.Series) -> pl.Series:
    dtype = column.dtype
    if isinstance(dtype, pl.Datetime):
        if dtype.time_zone is not None:
            column = column.dt.convert_time_zone(EXCHANGE_ZONE).dt.replace_time_zone(None)
        return column.dt.cast_time_unit("ns").dt.epoch("ns")
    if dtype.is_integer():
        instants = column.cast(pl.Int64).cast(pl.Datetime("ns", "UTC"))
        return instants.dt.convert_time_zone(EXCHANGE_ZONE).dt.replace_time_zone(None).dt.epoch("ns")
    raise ValueError(f"時間欄 {column.name} 必須是日期時間或整數 (epoch 奈秒): {dtype}")


def tick_frame(frame: Any) -> pl.DataFrame:
    """code, market (when given) and the eight tick columns with the toolkit's types, `ts` in Taipei wall ns."""
    data = as_polars(frame)
    data = data.rename({alias: name for alias, name in ALIASES.items()
                        if alias in data.columns and name not in data.columns})
    time_column = next((name for name in TIME_COLUMNS if name in data.columns), "")
    missing = [name for name in ("code", "close", "volume") if name not in data.columns]
    if not time_column:
        missing.append(" / ".join(TIME_COLUMNS))
    if missing:
        raise ValueError(f"Tick DataFrame 缺少欄位: {', '.join(missing)} (現有: {', '.join(data.columns)})")
    columns = [data["code"].cast(pl.String), _wall_ns(data[time_column]).alias("ts")]
    for name, dtype in COLUMN_TYPES.items():
        if name in data.columns:
            columns.append(data[name].cast(dtype, strict=False).alias(name))
        else:
            columns.append(pl.Series(name, [0] * data.height, dtype=dtype))
    if "market" in data.columns:
        columns.append(data["market"].cast(pl.String))
    typed = pl.DataFrame(columns)
    for name in ("ts", "close", "volume"):
        bad = typed[name].is_null() | (typed[name].is_nan() if typed[name].dtype == pl.Float64 else False)
        if bad.any():
            row = int(bad.arg_max() or 0)
            raise ValueError(f"Tick DataFrame 欄位 {name} 第 {row + 1} 筆資料無法使用: {data[row]}")
    return typed.sort("ts", maintain_order=True)


def _markets(ticks: pl.DataFrame, markets: Mapping[str, str]) -> dict[str, str]:
    found: dict[str, str] = {}
    if "market" in ticks.columns:
        found.update(dict(ticks.select("code", "market").unique("code", keep="first").iter_rows()))
    found.update(markets)
    for code in ticks["code"].unique().to_list():
        found.setdefault(code, STOCK if code[:1].isdigit() else FUTURE)
    for code, market in found.items():
        if market not in (STOCK, FUTURE):
            raise ValueError(f"不支援的商品類型: {code} {market!r}")
    return found


class FrameBroker:
    """DataFrame 券商: 從記憶體中的 Tick DataFrame 提供歷史 Tick, 不寫入 Tick 快取.

    `frame`: polars 或 pandas DataFrame (欄位見模組說明); `markets`: 代碼 -> "Stock" / "Future",
    未列出且 frame 沒有 market 欄的代碼, 以數字開頭者為股票, 其餘為期貨.
    `codes`: frame 中的代碼; `first_day` / `last_day`: 第一筆與最後一筆 Tick 的日期 ("%Y-%m-%d").
    """

    tick_cache = False

    def __init__(self, frame: Any, markets: Mapping[str, str] | None = None) -> None:
        self._ticks = tick_frame(frame)
        found = _markets(self._ticks, dict(markets or {}))
        self._by_code = {code: part.drop("code") for (code,), part in self._ticks.group_by("code")}
        self.Contracts = Contracts([Contract(code, market) for code, market in sorted(found.items())])
        self.calendar = TradingCalendar()
        self.codes: list[str] = sorted(self._by_code)
        # The frame's first and last calendar days, the default date range of a backtest over it.
        days = self._ticks["ts"].cast(pl.Datetime("ns")).dt.date()
        self.first_day = days.min().isoformat() if self._ticks.height else None  # type: ignore[union-attr]
        self.last_day = days.max().isoformat() if self._ticks.height else None  # type: ignore[union-attr]

    def __repr__(self) -> str:
        return f"FrameBroker({self._ticks.height} ticks, codes={self.codes})"

    def ticks(self, contract: Contract, date: str) -> dict[str, list]:
        """該商品在該日 (日曆日) 交易時段內的 Tick, 八個欄位各為一個 list."""
        self.Contracts.table_of(contract)
        day = _day(date)
        part = self._by_code.get(contract.code)
        if part is None:
            return {name: [] for name in TICK_COLUMNS}
        start = midnight_ns(day)
        inside = pl.lit(False)
        for session in self.calendar.sessions_touching(contract.market, day):
            low, high = max(session.start_ns, start), min(session.end_ns, start + NS_PER_DAY - 1)
            inside = inside | pl.col("ts").is_between(low, high)
        rows = part.filter(inside)
        return {name: rows[name].to_list() for name in TICK_COLUMNS}


def _day(text: str) -> date:
    return date.fromisoformat(text)
