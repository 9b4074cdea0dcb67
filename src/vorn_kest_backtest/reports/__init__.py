"""回測報告: 交易紀錄匯出, 基本回測報告, 進階績效報告."""

from vorn_kest_backtest.reports.performance import generate_qs_profit_report
from vorn_kest_backtest.reports.standard import generate_standard_report
from vorn_kest_backtest.reports.trade_export import export_trade_records

__all__ = ["export_trade_records", "generate_qs_profit_report", "generate_standard_report"]
