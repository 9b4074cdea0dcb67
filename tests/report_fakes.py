"""Small pure-Python stand-ins for Positions and QuoteManager, enough for the report functions."""

from __future__ import annotations

import os
from datetime import datetime, timedelta

import polars as pl

from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.utils import make_dir

KBAR_SCHEMA = {
    "dt": pl.Datetime("us"),
    "code": pl.Utf8,
    "Open": pl.Float64,
    "High": pl.Float64,
    "Low": pl.Float64,
    "Close": pl.Float64,
    "Volume": pl.Int64,
}

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
                   "slippage": {"buy": {"tick_count": 3, "direction": "up"}, "sell": {"tick_count": 3, "direction": "down"}}}
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
    return [(datetime.strptime(d, "%Y-%m-%d"), code, 50.0 + i, 51.0 + i, 49.0 + i, 50.5 + i, 1000) for i, d in enumerate(days)]
