"""The Python entry point of parameter sweeps: plan, run on an engine, sort, write, show."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import polars as pl

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.sweep.collect import INTERRUPTED, collect
from vorn_kest_backtest.sweep.columns import ERROR_COLUMN
from vorn_kest_backtest.sweep.engine import Engine, make_engine
from vorn_kest_backtest.sweep.heatmap import write_heatmap
from vorn_kest_backtest.sweep.plan import Grid, RangeLike, build_plan
from vorn_kest_backtest.sweep.progress import run_progress
from vorn_kest_backtest.sweep.results import param_names, results_frame, sort_results, sortable_columns, write_csv
from vorn_kest_backtest.sweep.run_function import DEFAULT_RUN_FN, RunFn, resolve_run_fn
from vorn_kest_backtest.sweep.table_view import top_table


@dataclass(frozen=True)
class SweepOutcome:
    """掃描結果表格與計數; stopped 為 None, "interrupted" 或 "timed out"."""

    table: pl.DataFrame
    planned: int
    failed: int
    stopped: str | None


def run_sweep(
    strategy: Any,
    grid: Grid,
    codes: str | Sequence[str | Sequence[str]] | None = None,
    ranges: Sequence[RangeLike] | None = None,
    *,
    engine: str | Engine = "local",
    address: str | None = None,
    workers: int | None = None,
    metric: str = "net_profit",
    descending: bool = True,
    run_fn: str | RunFn = DEFAULT_RUN_FN,
    output: str | Path | None = None,
    heatmap: tuple[str, str] | None = None,
    heatmap_output: str | Path | None = None,
    top: int = 10,
    data_dir: str | None = None,
    own_cache: bool = False,
    options: Mapping[str, Any] | None = None,
    timeout: float | None = None,
    progress: bool = True,
) -> SweepOutcome:
    """與 `sweep` 相同, 另外傳回計畫數, 失敗數與是否中途停止."""
    shared_dir = None if own_cache else (data_dir or BASIC_INFO.data_dir)
    jobs = build_plan(strategy, grid, codes, ranges, data_dir=shared_dir, options=options)
    names = param_names(jobs)
    if metric not in sortable_columns(names):
        raise ValueError(f"無法排序的指標: {metric}")
    if heatmap is not None and (len(set(heatmap)) != 2 or not set(heatmap) <= set(names)):
        raise ValueError(f"熱圖需要兩個不同的掃描參數: {', '.join(heatmap)}")
    resolve_run_fn(run_fn)

    chosen = make_engine(engine, address=address, workers=workers)
    with chosen as running, run_progress(len(jobs), enabled=progress) as advance:
        collected = collect(running, run_fn, jobs, on_outcome=advance, timeout=timeout)

    table = sort_results(results_frame(jobs, collected.outcomes), metric, descending=descending)
    failed = int(table[ERROR_COLUMN].is_not_null().sum())
    if top > 0 and table.height:
        utils.console.print(top_table(table, metric, top))
    if output is not None:
        utils.console.print(f"[green]結果已寫入: {write_csv(table, output)}[/green]")
    if heatmap is not None:
        target = heatmap_output or (Path(output).with_suffix(".html") if output is not None else "sweep_heatmap.html")
        utils.console.print(f"[green]熱圖已寫入: {write_heatmap(table, *heatmap, metric, target)}[/green]")
    _report(len(jobs), table.height, failed, collected.stopped)
    return SweepOutcome(table, len(jobs), failed, collected.stopped)


def _report(planned: int, finished: int, failed: int, stopped: str | None) -> None:
    if stopped is not None:
        reason = "已中斷" if stopped == INTERRUPTED else "逾時"
        utils.console.print(f"[yellow]參數掃描{reason}: 完成 {finished}/{planned} 次, 失敗 {failed} 次[/yellow]")
    elif failed:
        utils.console.print(f"[yellow]參數掃描完成: 共 {planned} 次, 失敗 {failed} 次[/yellow]")
    else:
        utils.console.print(f"[bold green]參數掃描完成: 共 {planned} 次, 失敗 0 次[/bold green]")


def sweep(strategy: Any, grid: Grid, codes: Any = None, ranges: Any = None, **kwargs: Any) -> pl.DataFrame:
    """參數掃描: 每組參數 x 每組商品 x 每個日期區間各跑一次獨立的回測.

    grid: {"fast": [5, 10], "slow": [20, 30, 60]} (笛卡兒積) 或 [{"fast": 5, "slow": 20}, ...].
    codes: ["2330", ["TXFR1", "MXFR1"]]: 每個項目一次回測. ranges: [("2024-01-02", "2024-03-29")].
    engine: "local" (本機所有核心) 或 "dask" (address 為排程器位址; 無則開本機 LocalCluster).
    run_fn: 每次回測呼叫的函式 ("module:function" 或可 pickle 的函式), 參數為 run job.
    metric / descending: 排序指標; 失敗的回測排最後. output: CSV 路徑. heatmap: (x 參數, y 參數).
    data_dir: 各 worker 使用的 tick 快取資料夾 (預設為目前的 BASIC_INFO.data_dir);
    own_cache=True 時各 worker 使用自己的資料夾. timeout: 整個掃描的秒數上限.

    傳回一列一次回測的 polars DataFrame; Ctrl-C 時保留已完成的列.
    Workers start fresh interpreters that import the calling script again: a script that calls
    `sweep` keeps that call under `if __name__ == "__main__":`.
    """
    return run_sweep(strategy, grid, codes, ranges, **kwargs).table
