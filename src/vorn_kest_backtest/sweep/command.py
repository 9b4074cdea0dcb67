"""The `sweep` sub-command: `vorn-kest-backtest sweep STRATEGY --grid grid.toml`."""

from __future__ import annotations

import argparse
import os

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.modules.market.market import exchange_now
from vorn_kest_backtest.sweep.engine import ENGINE_NAMES
from vorn_kest_backtest.sweep.run_function import DEFAULT_RUN_FN

EXIT_BAD_SETTINGS, EXIT_INTERRUPTED = 2, 130
# What a bad grid, strategy or option raises before or while the runs start.
SETTINGS_ERRORS = (ValueError, TypeError, OSError, ImportError, AttributeError)


def bad_settings(exc: BaseException) -> int:
    """Prints why the settings were refused; the command's exit status."""
    from rich.markup import escape  # loaded here: the command line's help does without rich

    # Escaped: grid file messages name TOML tables such as [[ranges]], which are not console markup.
    utils.console.print(f"[red]錯誤訊息: {escape(str(exc))}[/red]")
    return EXIT_BAD_SETTINGS


def add_sweep_command(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """加入 sweep 子命令; 其 handler 為 run_sweep_command."""
    parser = subparsers.add_parser("sweep", help="參數掃描: 一次跑多組參數的回測")
    parser.add_argument("strategy", help="策略 (交給回測函式解讀)")
    parser.add_argument("--grid", required=True, help="TOML 掃描設定檔")
    parser.add_argument("--metric", help="排序指標 (預設取自設定檔, 否則 net_profit)")
    parser.add_argument("--descending", action=argparse.BooleanOptionalAction, default=None, help="由大到小排序")
    parser.add_argument("--output",
                        help="結果 CSV 路徑 (預設 <資料夾>/sweeps/<時間>-sweep_results.csv); 每次回測完成就寫入")
    parser.add_argument("--resume", metavar="TABLE", help="先前的結果表格: 已完成的參數組不再執行, 其餘的寫回該表格")
    parser.add_argument("--prefetch", action="store_true", help="回測前先把所有需要的 Tick 讀進共用快取")
    parser.add_argument("--heatmap", metavar="X,Y", help="兩個參數名稱, 寫出指標熱圖 (HTML)")
    parser.add_argument("--top", type=int, default=10, help="顯示前幾列")
    parser.add_argument("--timeout", type=float, help="整個掃描的秒數上限")
    add_engine_options(parser)
    parser.set_defaults(handler=run_sweep_command)
    return parser


def add_engine_options(parser: argparse.ArgumentParser) -> None:
    """The options of every command that runs many backtests: where they run, the run function, the data."""
    parser.add_argument("--engine", choices=ENGINE_NAMES, default="local", help="執行引擎 (預設 local)")
    parser.add_argument("--address", help="Dask 排程器位址, 例如 tcp://host:8786")
    parser.add_argument("--workers", type=int, help="worker 數 (預設為核心數)")
    parser.add_argument("--run-fn", default=DEFAULT_RUN_FN, help="每次回測呼叫的函式 module:function")
    parser.add_argument("--data-dir", default=argparse.SUPPRESS, help="tick 快取資料夾 (叢集時須為共用路徑)")
    parser.add_argument("--own-cache", action="store_true", help="各 worker 使用自己的 tick 快取")
    parser.add_argument("--no-progress", dest="progress", action="store_false", help="不顯示進度條")


def default_output(args: argparse.Namespace, file_name: str) -> str:
    """A command without --output writes into the data folder, one file per run of the command."""
    stamp = exchange_now().strftime("%Y%m%d-%H%M%S")
    return os.path.join(getattr(args, "data_dir", None) or BASIC_INFO.data_dir, "sweeps", f"{stamp}-{file_name}")


def _heatmap_axes(text: str | None) -> tuple[str, str] | None:
    if text is None:
        return None
    names = [name.strip() for name in text.split(",")]
    if len(names) != 2 or not all(names):
        raise ValueError(f"--heatmap 必須是兩個參數名稱, 以逗號分隔: {text}")
    return names[0], names[1]


def run_sweep_command(args: argparse.Namespace) -> int:
    """執行 sweep 子命令; 0 全部成功, 1 有失敗或逾時, 2 設定錯誤,
    128+N 被訊號 N 停止 (Ctrl-C 130, SIGTERM 143, SIGHUP 129)."""
    # Loaded here: the command line's help should not wait for the data-frame library.
    from vorn_kest_backtest.sweep.api import run_sweep
    from vorn_kest_backtest.sweep.grid_file import load_grid_file

    try:
        settings = load_grid_file(args.grid)
        output = args.output or (None if args.resume else default_output(args, "sweep_results.csv"))
        outcome = run_sweep(
            args.strategy,
            settings.grid,
            settings.codes,
            settings.ranges,
            engine=args.engine,
            address=args.address,
            workers=args.workers,
            metric=args.metric or settings.metric,
            descending=settings.descending if args.descending is None else args.descending,
            run_fn=args.run_fn,
            output=output,
            resume=args.resume,
            prefetch=args.prefetch,
            heatmap=_heatmap_axes(args.heatmap),
            top=args.top,
            data_dir=getattr(args, "data_dir", None),
            own_cache=args.own_cache,
            options=settings.options,
            timeout=args.timeout,
            progress=args.progress,
        )
    except SETTINGS_ERRORS as exc:
        return bad_settings(exc)
    except KeyboardInterrupt:
        # Ctrl-C while an engine starts or closes, or a second stop signal: every finished row is on disk.
        return EXIT_INTERRUPTED
    return outcome.exit_status
