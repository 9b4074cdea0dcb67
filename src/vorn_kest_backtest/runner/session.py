"""One complete backtest: replay, then trade records, both reports and the summary."""

from __future__ import annotations

from vorn_kest_backtest import reports, utils
from vorn_kest_backtest.runner import missing_days
from vorn_kest_backtest.reports.performance import BENCHMARK_CODE
from vorn_kest_backtest.runner.context import Context
from vorn_kest_backtest.runner.engine import call_hook, replay
from vorn_kest_backtest.runner.strategy import Strategy
from vorn_kest_backtest.runner.summary import Summary, summarise, summary_table


def _modules():
    # Imported late so the command line can report a missing build as a message.
    from vorn_kest_backtest.modules.positions.positions import Positions, QuoteManager
    from vorn_kest_backtest.modules.ticker.ticker import Ticker

    return Ticker, Positions, QuoteManager


def report_codes(codes: list[dict[str, str]], positions) -> list[str]:
    """Every code of the run; the benchmark only when it was traded itself."""
    traded = {row["code"] for row in positions._profit_report["rows"]}
    names = [item["code"] for item in codes]
    return [code for code in names if code != BENCHMARK_CODE or code in traded] or names


def run_backtest(strategy: Strategy, codes: list[dict[str, str]], start: str, end: str, api, *,
                 reports_wanted: bool = True) -> Summary:
    """回放一次; reports_wanted 為 False 時不寫交易紀錄與報告 (參數掃描只要結果數字)."""
    Ticker, Positions, QuoteManager = _modules()
    ticker, positions, quote_manager = Ticker(api), Positions(), QuoteManager()
    positions.set_initial_capital(int(strategy.initial_capital))
    ctx = Context(positions, quote_manager)

    call_hook(strategy.on_start, "on_start", ctx)
    ticker.send_ticks(codes, start, end)
    replayed = replay(ticker, positions, quote_manager, strategy, ctx)
    call_hook(strategy.on_finish, "on_finish", ctx)
    missing = missing_days.collect(ticker.failed_days, codes, start, end, replayed)
    missing_days.report(missing)

    paths: dict[str, str] = {}
    if reports_wanted:
        paths["交易紀錄"] = reports.export_trade_records(positions)
    for code in report_codes(codes, positions) if reports_wanted else []:
        paths[f"{code} 回測報告"] = reports.generate_standard_report(positions, code, quote_manager)
        performance = reports.generate_qs_profit_report(positions, quote_manager, code)
        if performance is not None:
            paths[f"{code} 進階損益報告"] = performance

    summary = summarise(positions)
    summary.report_paths = paths
    summary.missing_days = missing
    utils.console.print(summary_table(summary))
    return summary
