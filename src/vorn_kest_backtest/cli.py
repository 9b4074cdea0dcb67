"""命令列: `vorn-kest-backtest run 策略檔案 ...`, `demo`, `sweep`, `walkforward` 與 `import`."""

from __future__ import annotations

import argparse
import os
import sys
from contextlib import nullcontext

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.import_command import add_import_command
from vorn_kest_backtest.runner.codes import check_codes_known, parse_codes, parse_date_range
from vorn_kest_backtest.runner.errors import BacktestInputError, StrategyError, explain_strategy_error
from vorn_kest_backtest.runner.loader import load_strategy_class
from vorn_kest_backtest.sweep.command import add_sweep_command
from vorn_kest_backtest.sweep.walkforward_command import add_walk_forward_command

DEMO_STRATEGY = os.path.join(os.path.dirname(__file__), "examples", "ma_cross.py")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vorn-kest-backtest", description="台股 / 台指期 Tick 回測")
    parser.add_argument("--data-dir", help="資料與報告的資料夾 (預設 BASIC_INFO.data_dir)")
    commands = parser.add_subparsers(dest="command", required=True)

    run = commands.add_parser("run", help="回測一個策略檔案")
    run.add_argument("strategy_file", help="定義一個 Strategy 子類別的 Python 檔案")
    run.add_argument("--codes", help='代碼與市場, 例如 "2330:Stock,TXFR1:Future" (預設取策略的 codes)')
    run.add_argument("--start", help="開始日期 %%Y-%%m-%%d (預設取策略的 start)")
    run.add_argument("--end", help="結束日期 %%Y-%%m-%%d (預設取策略的 end)")
    run.add_argument("--broker", choices=["simulated", "files", "taifex"], default="simulated", help="Tick 來源")
    run.add_argument("--data", help="--broker files / taifex 時的資料夾 (Tick 檔, 或期交所每日行情檔)")
    run.add_argument("--allow-missing-days", action="store_true",
                     help="有日子的 Tick 無法載入時仍以狀態 0 結束 (預設為 3)")
    run.add_argument("--param", action="append", default=[], metavar="名稱=值",
                     help="策略參數 (依類別屬性的型別轉換), 可重複: --param fast=10 --param slow=60")
    run.add_argument("--capital", type=int, help="初始資金 (預設取策略的 initial_capital)")
    run.add_argument("--slippage-ticks", type=int, help="買賣滑價的跳動數, 優先於策略 on_start 中的設定 (預設 3)")
    run.add_argument("--roll", choices=["settle", "carry"],
                     help="連續月期貨的契約到期時: settle 以最後成交價結算平倉, carry 轉倉到新月份 (預設取策略的 roll)")

    demo = commands.add_parser("demo", help="以模擬券商回測內建的均線交叉策略 (2330, 基準 0050)")
    for command in (run, demo):
        command.add_argument("--fees", choices=["tw_broker", "table"], default="tw_broker",
                             help="手續費方案: tw_broker (券商折扣手續費, 最低 20 元, 證交稅) 或 table (設定表費率)")
        command.add_argument("--margins", metavar="FILE",
                             help="自己的期貨原始保證金表 CSV (欄位 family, effective_date, initial_margin)")
        command.add_argument("--output-dir",
                             help="這次回測的輸出資料夾, 不可已有另一次回測的結果 (預設 <資料夾>/runs/<時間>-<策略>/)")
        command.add_argument("--no-report", action="store_true", help="不產生 HTML 報告")
        command.add_argument("--quiet", action="store_true", help="只顯示回測結果與錯誤")
        command.add_argument("--debug", action="store_true", help="策略錯誤時顯示完整的 traceback")
        command.add_argument("--tick-window", default="day", metavar="day|all|N",
                             help="每個商品保留原始 Tick 的範圍: day (當日, 預設), all (全部) 或 N (最近 N 個交易日); "
                                  "K 棒與指標不受影響, 只限制長區間回測的記憶體")
        command.add_argument("--data-dir", default=argparse.SUPPRESS, help="資料與報告的資料夾")
    add_sweep_command(commands)
    add_walk_forward_command(commands)
    add_import_command(commands)
    return parser


def _broker(name: str, folder: str | None):
    from vorn_kest_backtest.brokers import FileBroker, SimulatedBroker, TaifexBroker

    if name == "files":
        if not folder or not os.path.isdir(folder):
            raise BacktestInputError(f"--broker files 需要以 --data 指定存在的資料夾: {folder}")
        return FileBroker(folder)
    if name == "taifex":
        if not folder or not os.path.isdir(folder):
            raise BacktestInputError(f"--broker taifex 需要以 --data 指定存在的資料夾: {folder}")
        return TaifexBroker(folder)
    return SimulatedBroker()


def _run(args: argparse.Namespace, strategy_file: str) -> int:
    from vorn_kest_backtest.margin_table import read_margin_table
    from vorn_kest_backtest.runner import missing_days
    from vorn_kest_backtest.runner.parameters import configured_class, parse_param_texts, strategy_parameters
    from vorn_kest_backtest.runner.run_folder import claim_output_dir
    from vorn_kest_backtest.runner.session import RunOutputs, run_backtest
    from vorn_kest_backtest.runner.summary import open_positions_table, summary_table
    from vorn_kest_backtest.runner.sweep_run import muted_console
    from vorn_kest_backtest.runner.tick_window import checked_tick_window

    strategy_class = load_strategy_class(strategy_file)
    params = parse_param_texts(strategy_class, getattr(args, "param", []))
    capital = getattr(args, "capital", None)
    if capital is not None:
        if capital <= 0:
            raise BacktestInputError(f"初始資金必須大於 0: {capital}")
        params["initial_capital"] = capital
    tick_window = checked_tick_window(getattr(args, "tick_window", "day"))
    slippage = getattr(args, "slippage_ticks", None)
    if slippage is not None and slippage < 0:
        raise BacktestInputError(f"滑價跳動數不可為負: {slippage}")
    strategy_class = configured_class(strategy_class, params)
    default_codes = ",".join(f"{code}:{market}" for code, market in strategy_class.codes)
    codes = parse_codes(getattr(args, "codes", None) or default_codes)
    start_from, end_to = parse_date_range(getattr(args, "start", None) or strategy_class.start,
                                          getattr(args, "end", None) or strategy_class.end)
    api = _broker(getattr(args, "broker", "simulated"), getattr(args, "data", None))
    check_codes_known(api, codes)
    try:
        strategy = strategy_class()
    except Exception as error:
        raise StrategyError("__init__", error) from error
    margins = getattr(args, "margins", None)
    if margins is not None:
        try:
            read_margin_table(margins)
        except (OSError, ValueError) as error:
            raise BacktestInputError(str(error)) from error
    outputs = RunOutputs(folder=args.output_dir and claim_output_dir(args.output_dir), html=not args.no_report,
                         parameters=strategy_parameters(strategy_class))
    with muted_console() if args.quiet else nullcontext():
        summary = run_backtest(strategy, codes, start_from, end_to, api, outputs=outputs, slippage_ticks=slippage,
                               fetch_bar=args.quiet, fees=getattr(args, "fees", "tw_broker"),
                               roll=getattr(args, "roll", None), margins=margins, tick_window=tick_window)
    if args.quiet:
        # Days that could not be loaded are errors, so a quiet run shows them too.
        missing_days.report(summary.missing_days)
        utils.console.print(summary_table(summary))
        if summary.open_positions:
            utils.console.print(open_positions_table(summary))
    return summary.missing_days.exit_status(getattr(args, "allow_missing_days", False))


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if getattr(args, "data_dir", None):
        BASIC_INFO.data_dir = os.path.abspath(args.data_dir)
    strategy_file: str = DEMO_STRATEGY if args.command == "demo" else getattr(args, "strategy_file", "")
    try:
        if args.command in ("sweep", "walkforward", "import"):
            return args.handler(args)
        return _run(args, strategy_file)
    except BacktestInputError as error:
        print(f"錯誤: {error}", file=sys.stderr)
        return 2
    except StrategyError as error:
        text = explain_strategy_error(error, strategy_file, full=args.debug)
        utils.logger.error(text)
        print(text, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("已中斷回測", file=sys.stderr)
        return 130
    except Exception as error:
        utils.logger.exception("回測失敗")
        print(f"回測失敗: {type(error).__name__}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
