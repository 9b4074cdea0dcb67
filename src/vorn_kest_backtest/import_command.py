"""`vorn-kest-backtest import taifex DIR`: the subcommand; the converter loads only when it runs."""

from __future__ import annotations

import argparse
import sys

from vorn_kest_backtest import utils

EXIT_OK, EXIT_FAILED_DAYS, EXIT_BAD_FOLDER = 0, 1, 2


def add_import_command(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """加入 import 子命令; 其 handler 為 run_import_command."""
    parser = subparsers.add_parser("import", help="轉換外部 Tick 檔, 之後的回測讀取較快")
    parser.add_argument("source", choices=["taifex"], help="檔案種類 (taifex: 期交所每日行情檔 Daily_YYYY_MM_DD.zip)")
    parser.add_argument("folder", help="存放檔案的資料夾")
    parser.add_argument("--no-progress", dest="progress", action="store_false", help="不顯示進度條")
    parser.set_defaults(handler=run_import_command)
    return parser


def run_import_command(args: argparse.Namespace) -> int:
    from vorn_kest_backtest.brokers.taifex_import import import_taifex

    try:
        result = import_taifex(args.folder, progress=args.progress)
    except ValueError as error:
        print(f"錯誤: {error}", file=sys.stderr)
        return EXIT_BAD_FOLDER
    utils.console.print(
        f"[green]轉換完成: 新轉換 {len(result.converted)} 天, 已是最新 {len(result.current)} 天, "
        f"失敗 {len(result.failed)} 天[/green]"
    )
    return EXIT_FAILED_DAYS if result.failed else EXIT_OK
