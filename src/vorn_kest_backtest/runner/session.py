"""One complete backtest: replay, then trade records, both reports, summary.json and the summary."""

from __future__ import annotations

import os
from contextlib import nullcontext
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from vorn_kest_backtest import reports, utils
from vorn_kest_backtest.margin_table import read_margin_table
from vorn_kest_backtest.reports.benchmark import BENCHMARK_CODE
from vorn_kest_backtest.runner import missing_days
from vorn_kest_backtest.runner.choices import TickWindow
from vorn_kest_backtest.runner.console_batch import ConsoleBatch
from vorn_kest_backtest.runner.context import Context
from vorn_kest_backtest.runner.engine import call_hook, replay
from vorn_kest_backtest.runner.equity import EquityRecorder, realised_samples
from vorn_kest_backtest.runner.fetch_progress import fetch_progress
from vorn_kest_backtest.runner.orders import OrderBook
from vorn_kest_backtest.runner.refusals import RefusalTally
from vorn_kest_backtest.runner.roll import ContractRoll
from vorn_kest_backtest.runner.run_folder import new_run_folder
from vorn_kest_backtest.runner.run_record import RunRecord
from vorn_kest_backtest.runner.strategy import Strategy
from vorn_kest_backtest.runner.summary import (
    SIMULATED_DATA_LABEL,
    Summary,
    figure_rows,
    open_positions_table,
    summarise,
    summary_table,
)
from vorn_kest_backtest.runner.summary_file import FAILED, FINISHED, INTERRUPTED, write_summary_file
from vorn_kest_backtest.runner.tick_window import DEFAULT_TICK_WINDOW, tick_window_days


@dataclass
class RunOutputs:
    """What a run writes: nothing (a sweep's figures only), the figures, or the HTML reports too."""

    folder: str | None = None  # the run's own folder; None: a new one under <data_dir>/runs
    html: bool = True
    files: bool = True
    parameters: dict[str, Any] = field(default_factory=dict)


def _modules():
    # Imported late so the command line can report a missing build as a message.
    from vorn_kest_backtest.modules.positions.positions import Positions, QuoteManager
    from vorn_kest_backtest.modules.ticker.ticker import Ticker

    return Ticker, Positions, QuoteManager


def report_codes(codes: list[dict[str, str]], positions) -> list[str]:
    """Every code of the run; the benchmark only when it was traded itself."""
    traded = {row["code"] for row in positions.profit_rows}
    names = [item["code"] for item in codes]
    return [code for code in names if code != BENCHMARK_CODE or code in traded] or names


def set_slippage_ticks(positions, ticks: int) -> None:
    """Every product's buy and sell slippage becomes `ticks` price ticks (directions unchanged)."""
    if not isinstance(ticks, int) or isinstance(ticks, bool) or ticks < 0:
        raise ValueError(f"滑價跳動數必須是非負整數: {ticks!r}")
    for kind in ("stock", "future"):
        for action in ("buy", "sell"):
            positions.update_fee_settings(kind, action=action, tick_count=ticks)


def run_backtest(strategy: Strategy, codes: list[dict[str, str]], start: str, end: str, api, *,
                 reports_wanted: bool = True, outputs: RunOutputs | None = None,
                 slippage_ticks: int | None = None, fees: str = "tw_broker", fetch_bar: bool = False,
                 roll: str | None = None, margins: str | Path | None = None,
                 record: RunRecord | None = None, tick_window: TickWindow = DEFAULT_TICK_WINDOW) -> Summary:
    """回放一次; reports_wanted 為 False 時不寫任何檔案 (參數掃描只要結果數字).

    fees: 手續費方案, "tw_broker" (券商折扣手續費與證交稅, 預設) 或 "table" (手續費設定表的費率).
    fetch_bar: 以一條進度列 (標準錯誤輸出) 顯示取得 Tick 資料的進度, 給安靜模式用.
    roll: 契約到期時 "settle" (結算平倉) 或 "carry" (轉倉到新月份); None 時取策略的 roll.
    margins: 自己的期貨原始保證金表 CSV (欄位 family, effective_date, initial_margin); 預設為套件內的表.
    record: 給定時留下帳戶, 報價, 委託與權益樣本, 供 BacktestResult 轉為資料表.
    tick_window: 每個商品保留原始 tick 的範圍: "day" (當日, 預設), "all" (全部) 或 N (最近 N 個交易日);
    K 棒與指標不受影響, 只限制記憶體與 quotes 的 tick 資料表.
    """
    outputs = outputs or RunOutputs(files=reports_wanted, html=reports_wanted)
    Ticker, Positions, QuoteManager = _modules()
    positions, quote_manager = Positions(), QuoteManager()
    quote_manager.tick_window_days = tick_window_days(tick_window)
    positions.use_fee_profile(fees)
    positions.set_initial_capital(int(strategy.initial_capital))
    if margins is not None:
        positions.ledger.load_margins(read_margin_table(margins))
    markets = {item["code"]: item["market"] for item in codes}
    ctx = Context(positions, quote_manager, list(markets))
    recorder = EquityRecorder(positions)
    if record is not None:
        record.attach(positions, quote_manager, ctx, recorder, markets)
    contract_roll = ContractRoll.for_broker(api, positions, ctx.order_book, markets,
                                            strategy.roll if roll is None else roll)

    # The tally in front of the batch: it sees every refusal line before the batch holds it.
    batch = ConsoleBatch().install()
    refusals = RefusalTally().install()
    try:
        call_hook(strategy.on_start, "on_start", ctx)
        # Given for this run, the slippage wins over what the strategy's on_start set.
        if slippage_ticks is not None:
            set_slippage_ticks(positions, slippage_ticks)
        # The days are read as the replay goes, so the fetch bar stays for the whole replay.
        with fetch_progress(Ticker) if fetch_bar else nullcontext(Ticker) as ticker_class:
            ticker = ticker_class(api)
            ticker.send_ticks(codes, start, end)
            replayed = replay(ticker, positions, quote_manager, strategy, ctx, recorder, contract_roll)
        # The days read were cached behind the replay; a sweep worker may end without running exit handlers.
        ticker.wait_for_tick_cache()
        call_hook(strategy.on_finish, "on_finish", ctx)
    except BaseException as error:
        if outputs.files:
            try:
                _write_partial(positions, recorder, ctx, codes, markets, start, end, strategy, outputs,
                               INTERRUPTED if isinstance(error, KeyboardInterrupt) else FAILED)
            except Exception:
                # The error that stopped the run is the one to report; this one goes to the log.
                utils.logger.exception("無法寫出未完成回測的交易紀錄與摘要")
        raise
    finally:
        refusals.uninstall()
        batch.uninstall()
    refusals.report()
    samples = recorder.finish()
    missing = missing_days.collect(ticker.failed_days, codes, start, end, replayed)
    missing_days.report(missing)

    summary = summarise(positions, samples, recorder.held, start, end, markets.values())
    summary.missing_days = missing
    if replayed and getattr(api, "simulated", False) is True:
        summary.data_label = SIMULATED_DATA_LABEL
    summary.refused_orders = refusals.total
    summary.peak_margin = max(ctx.peak_margin, recorder.peak_margin)
    summary.open_positions = positions.ledger.open_positions()
    if outputs.files:
        folder = outputs.folder or new_run_folder(type(strategy).__name__)
        summary.report_paths = _write_outputs(positions, quote_manager, codes, markets, samples, folder, outputs.html,
                                              summary, ctx.order_book)
        summary.report_paths["摘要"] = write_summary_file(
            os.path.join(folder, "summary.json"), summary, strategy=type(strategy).__name__,
            parameters=outputs.parameters, codes=codes, start=start, end=end, fee_settings=positions.fee_settings(),
            fee_profile=positions.fee_profile, status=FINISHED)
    utils.console.print(summary_table(summary))
    if summary.open_positions:
        utils.console.print(open_positions_table(summary))
    return summary


def _write_partial(positions, recorder: EquityRecorder, ctx: Context, codes, markets: dict[str, str], start: str,
                   end: str, strategy: Strategy, outputs: RunOutputs, status: str) -> None:
    """A run stopped by an error or Ctrl-C: its trade records so far and a summary marked with why it stopped."""
    summary = summarise(positions, recorder.finish(), recorder.held, start, end, markets.values())
    summary.peak_margin = max(ctx.peak_margin, recorder.peak_margin)
    summary.open_positions = positions.ledger.open_positions()
    folder = outputs.folder or new_run_folder(type(strategy).__name__)
    summary.report_paths = _write_outputs(positions, None, codes, markets, [], folder, False, summary,
                                          ctx.order_book)
    summary.report_paths["摘要"] = os.path.join(folder, "summary.json")
    write_summary_file(summary.report_paths["摘要"], summary, strategy=type(strategy).__name__,
                       parameters=outputs.parameters, codes=codes, start=start, end=end,
                       fee_settings=positions.fee_settings(), fee_profile=positions.fee_profile, status=status)
    utils.console.print(f"[yellow]回測{status}: 到此為止的交易紀錄與摘要已寫入 {folder}[/yellow]")


def _write_outputs(positions, quote_manager, codes, markets, samples, folder: str, html: bool,
                   summary: Summary, book: OrderBook) -> dict[str, str]:
    trades = reports.export_trade_records(positions, markets, folder, book.fill_limits, book.orders_by_id)
    paths = {"資料夾": folder, "交易紀錄": trades}
    realised = realised_samples(positions.profit_rows, positions.initial_capital)
    for code in report_codes(codes, positions) if html else []:
        page = reports.generate_standard_report(
            positions, code, quote_manager, folder, equity=samples, realised=realised,
            figures=figure_rows(summary), open_positions=summary.open_positions, data_label=summary.data_label)
        paths[f"{code} 回測報告"] = page
        # A long run's page loads each day's 1-minute bars from a folder beside it.
        if os.path.isdir(reports.minute_folder(page)):
            paths[f"{code} 每日 1 分 K"] = reports.minute_folder(page)
        performance = reports.generate_qs_profit_report(positions, quote_manager, code, folder, summary.daily_closes,
                                                        data_label=summary.data_label)
        if performance is not None:
            paths[f"{code} 進階損益報告"] = performance
    return paths
