"""The `walkforward` sub-command: `vorn-kest-backtest walkforward STRATEGY --grid grid.toml --train 60d --test 20d`."""

from __future__ import annotations

import argparse

from vorn_kest_backtest.sweep.command import (
    EXIT_INTERRUPTED,
    SETTINGS_ERRORS,
    add_engine_options,
    bad_settings,
    default_output,
)


def add_walk_forward_command(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """加入 walkforward 子命令; 其 handler 為 run_walk_forward_command."""
    parser = subparsers.add_parser("walkforward", help="Walk-forward 最佳化: 在訓練期間選參數, 在接著的測試期間回測")
    parser.add_argument("strategy", help="策略 (交給回測函式解讀)")
    parser.add_argument("--grid", required=True, help="TOML 掃描設定檔 (codes 為同一次回測的商品, [[ranges]] 最多一段)")
    parser.add_argument("--train", default="60d", help="訓練期間的交易日數 (預設 60d)")
    parser.add_argument("--test", default="20d", help="測試期間的交易日數 (預設 20d)")
    parser.add_argument("--step", help="窗口每次前進的交易日數 (預設等於 --test)")
    parser.add_argument("--metric", help="選參數的指標 (預設取自設定檔, 否則 net_profit)")
    parser.add_argument("--descending", action=argparse.BooleanOptionalAction, default=None, help="指標越大越好")
    parser.add_argument("--start", help="開始日期 (預設取設定檔的 [[ranges]])")
    parser.add_argument("--end", help="結束日期 (預設取設定檔的 [[ranges]])")
    parser.add_argument("--output", help="窗口表格 CSV (預設 <資料夾>/sweeps/<時間>-walkforward.csv)")
    parser.add_argument("--report", help="HTML 報告頁 (預設為 --output 同名的 .html)")
    parser.add_argument("--timeout", type=float, help="整個 walk-forward 的秒數上限")
    add_engine_options(parser)
    parser.set_defaults(handler=run_walk_forward_command)
    return parser


def run_walk_forward_command(args: argparse.Namespace) -> int:
    """執行 walkforward 子命令; 0 每個窗口都完成, 1 有失敗或逾時, 2 設定錯誤, 128+N 被訊號 N 停止."""
    from vorn_kest_backtest.sweep.grid_file import load_grid_file
    from vorn_kest_backtest.sweep.plan import date_ranges
    from vorn_kest_backtest.sweep.walkforward import walk_forward

    try:
        settings = load_grid_file(args.grid)
        ranges = date_ranges(settings.ranges)
        if len(ranges) > 1:
            raise ValueError(f"walk-forward 的設定檔最多一段 [[ranges]]: {args.grid}")
        start, end = args.start or ranges[0][0], args.end or ranges[0][1]
        if not start or not end:
            raise ValueError("walk-forward 需要開始與結束日期 (--start / --end 或設定檔的 [[ranges]])")
        outcome = walk_forward(
            args.strategy,
            settings.grid,
            settings.codes,
            start=start,
            end=end,
            train=args.train,
            test=args.test,
            step=args.step,
            metric=args.metric or settings.metric,
            descending=settings.descending if args.descending is None else args.descending,
            engine=args.engine,
            address=args.address,
            workers=args.workers,
            run_fn=args.run_fn,
            options=settings.options,
            data_dir=getattr(args, "data_dir", None),
            own_cache=args.own_cache,
            output=args.output or default_output(args, "walkforward.csv"),
            report=args.report,
            timeout=args.timeout,
            progress=args.progress,
        )
    except SETTINGS_ERRORS as exc:
        return bad_settings(exc)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    return outcome.exit_status
