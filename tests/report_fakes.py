"""Small pure-Python stand-ins for Positions and QuoteManager, enough for the report functions."""

from __future__ import annotations

import os
from datetime import date, datetime, timedelta

import polars as pl

from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.utils import make_dir

KBAR_SCHEMA = pl.Schema({
    "dt": pl.Datetime("us"),
    "code": pl.Utf8(),
    "Open": pl.Float64(),
    "High": pl.Float64(),
    "Low": pl.Float64(),
    "Close": pl.Float64(),
    "Volume": pl.Int64(),
})

ACCOUNT_KEYS = (
    "entry_times", "cover_times", "entry_amount", "exit_amount", "net_profit", "extra_fee",
    "profit_times", "loss_times", "profit_total", "loss_total", "profit",
)


def epoch(text: str) -> float:
    """Epoch seconds of an exchange (UTC+8) wall-clock text."""
    local = datetime.strptime(text, "%Y-%m-%d %H:%M:%S")
    return (local - timedelta(hours=8) - datetime(1970, 1, 1)).total_seconds()


def profit_row(code: str, entry: str, exit_: str, profit: float, entry_action: str = "Buy") -> dict:
    exit_action = "Sell" if entry_action == "Buy" else "Buy"
    return {
        "code": code, "entry_action": entry_action, "entry_dt": epoch(entry), "entry_price": 100.0,
        "entry_origin_price": 99.5, "exit_action": exit_action, "exit_dt": epoch(exit_), "exit_price": 101.0,
        "exit_origin_price": 101.5, "qty": 1, "min_qty": 1000, "trade_cost": 142.5, "cover_cost": 445.0,
        "cover_cost_fee": 142.0, "cover_cost_tax": 303.0, "cover_cost_fixed": 0, "trade_cost_fee": 142.5,
        "trade_cost_tax": 0, "trade_cost_fixed": 0, "profit": profit, "profit_ratio": profit / 100142.5,
        "entry_amount": 100000.0, "exit_amount": 101000.0,
    }


class FakePositions:
    def __init__(self, rows=(), trade_records=()):
        self._profit_report = {"profit": sum(r["profit"] for r in rows), "rows": list(rows)}
        self.trade_records = list(trade_records)
        self._account_infos = {}
        self._fee_settings = {
            kind: {"fee": fee, "tax": tax, "per_trade_cost": 0,
                   "slippage": {"buy": {"tick_count": 3, "direction": "up"},
                                "sell": {"tick_count": 3, "direction": "down"}}}
            for kind, fee, tax in (("stock", 0.001425, 0.003), ("future", 0.00002, 0.00002))
        }
        self.fee_profile = {"name": "table"}
        self.initial_capital = 1_000_000
        self.current_capital = 1_000_000 + self._profit_report["profit"]

    def get_profit_rows_by_code(self, code):
        return [row for row in self._profit_report["rows"] if row["code"] == code]

    @property
    def profit_rows(self):
        return [dict(row) for row in self._profit_report["rows"]]

    def fee_settings(self):
        return self._fee_settings

    def account_info(self, code):
        return self._account_infos.setdefault(code, dict.fromkeys(ACCOUNT_KEYS, 0))

    def save_path(self, file_name, folder=None):
        target = make_dir(os.path.join(BASIC_INFO.data_dir, *([folder] if folder else [])))
        return os.path.join(target, file_name)


class FakeQuoteManager:
    """Serves fixed bars per (code, unit); records every query."""

    def __init__(self, bars=None):
        self.bars = bars or {}
        self.calls = []

    def get_kbar(self, code, unit="m", freq=1, exprs=None, to_pandas_df=False):
        self.calls.append((code, unit, freq))
        rows = self.bars.get((code, unit), [])
        return pl.DataFrame(rows, schema=KBAR_SCHEMA, orient="row")


def minute_bars(code: str, start: str, count: int) -> list[tuple]:
    first = datetime.strptime(start, "%Y-%m-%d %H:%M:%S")
    return [(first + timedelta(minutes=i), code, 100.0, 101.0, 99.0, 100.5, 10 + i) for i in range(count)]


def daily_bars(code: str, days: list[str]) -> list[tuple]:
    return [(datetime.strptime(d, "%Y-%m-%d"), code, 50.0 + i, 51.0 + i, 49.0 + i, 50.5 + i, 1000)
            for i, d in enumerate(days)]


def weekdays(first: date, count: int) -> list[date]:
    days = (first + timedelta(days=i) for i in range(count * 2))
    return [d for d in days if d.weekday() < 5][:count]


def futures_session_minutes(day: date) -> list[datetime]:
    """Day session 08:45-13:44 and the night session 15:00 until 04:59 the next morning."""
    midnight = datetime.combine(day, datetime.min.time())
    day_open, night_open = midnight + timedelta(hours=8, minutes=45), midnight + timedelta(hours=15)
    return ([day_open + timedelta(minutes=i) for i in range(300)]
            + [night_open + timedelta(minutes=i) for i in range(840)])


class SessionMinutes(FakeQuoteManager):
    """Every minute of a futures code's day and night sessions over `days`, as one frame."""

    def __init__(self, code: str, days: list[date]):
        super().__init__()
        stamps = [m for day in days for m in futures_session_minutes(day)]
        close = pl.Series(range(len(stamps)), dtype=pl.Float64) % 97 + 17000.0
        volume = pl.Series([5] * len(stamps), dtype=pl.Int64)
        self.frame = pl.DataFrame({"dt": stamps, "code": code, "Open": close - 1, "High": close + 3, "Low": close - 4,
                                   "Close": close, "Volume": volume}).cast(KBAR_SCHEMA)

    def get_kbar(self, code, unit="m", freq=1, exprs=None, to_pandas_df=False):
        self.calls.append((code, unit, freq))
        return self.frame


def daily_round_trips(code: str, days: list[date]) -> list[dict]:
    """A round trip every day, in at 09:05 and out at 21:30."""
    return [profit_row(code, f"{day} 09:05:00", f"{day} 21:30:00", 10.0 * (i % 7 - 3)) for i, day in enumerate(days)]
