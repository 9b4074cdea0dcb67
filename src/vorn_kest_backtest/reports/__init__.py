"""回測報告: 交易紀錄匯出, 基本回測報告, 進階績效報告.

The report functions load on first use: the performance report pulls in quantstats and matplotlib,
and the standard report plotly, which a run without reports (or the command line's help) never needs.
"""

from __future__ import annotations

from importlib import import_module
from typing import Any

_HOMES = {
    "export_trade_records": "vorn_kest_backtest.reports.trade_export",
    "generate_qs_profit_report": "vorn_kest_backtest.reports.performance",
    "generate_standard_report": "vorn_kest_backtest.reports.standard",
    "minute_folder": "vorn_kest_backtest.reports.minute_days",
}

__all__ = ["export_trade_records", "generate_qs_profit_report", "generate_standard_report", "minute_folder"]


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(import_module(home), name)
