"""命令列: `vorn-kest-backtest run 策略檔案 ...` 與 `vorn-kest-backtest demo`."""

from __future__ import annotations

import argparse
import os
import sys

from vorn_kest_backtest.brokers import FileBroker, SimulatedBroker
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.runner.codes import check_codes_known, parse_codes, parse_date_range
from vorn_kest_backtest.runner.errors import BacktestInputError, StrategyError
from vorn_kest_backtest.runner.loader import load_strategy_class
from vorn_kest_backtest.sweep.command import add_sweep_command

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
    run.add_argument("--broker", choices=["simulated", "files"], default="simulated", help="Tick 來源")
    run.add_argument("--data", help="--broker files 時, 存放 \"<代碼> <日期> - ticks.csv\" 的資料夾")

    commands.add_parser("demo", help="以模擬券商回測內建的均線交叉策略 (2330, 基準 0050)")
    add_sweep_command(commands)
    return parser


def _broker(name: str, folder: str | None):
    if name == "files":
        if not folder or not os.path.isdir(folder):
            raise BacktestInputError(f"--broker files 需要以 --data 指定存在的資料夾: {folder}")
        return FileBroker(folder)
    return SimulatedBroker()


def _run(
    strategy_file: str, codes_text: str | None, start: str | None, end: str | None, broker: str, data: str | None
) -> None:
    from vorn_kest_backtest.runner.session import run_backtest

    strategy_class = load_strategy_class(strategy_file)
    default_codes = ",".join(f"{code}:{market}" for code, market in strategy_class.codes)
    codes = parse_codes(codes_text or default_codes)
    start_from, end_to = parse_date_range(start or strategy_class.start, end or strategy_class.end)
    api = _broker(broker, data)
    check_codes_known(api, codes)
    try:
        strategy = strategy_class()
    except Exception as error:
        raise StrategyError("__init__", error) from error
    run_backtest(strategy, codes, start_from, end_to, api)


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.data_dir:
        BASIC_INFO.data_dir = os.path.abspath(args.data_dir)
    try:
        if args.command == "sweep":
            return args.handler(args)
        if args.command == "demo":
            _run(DEMO_STRATEGY, None, None, None, "simulated", None)
        else:
            _run(args.strategy_file, args.codes, args.start, args.end, args.broker, args.data)
    except (BacktestInputError, StrategyError) as error:
        print(f"錯誤: {error}", file=sys.stderr)
        return 2 if isinstance(error, BacktestInputError) else 1
    except KeyboardInterrupt:
        print("已中斷回測", file=sys.stderr)
        return 130
    except Exception as error:
        print(f"回測失敗: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
