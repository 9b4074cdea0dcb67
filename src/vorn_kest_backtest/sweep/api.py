"""The Python entry point of parameter sweeps: plan, run on an engine, keep rows on disk, sort, show."""

from __future__ import annotations

import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import polars as pl

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.sweep.collect import INTERRUPTED, collect
from vorn_kest_backtest.sweep.columns import FINISHED_STATUSES, STATUS_COLUMN, STATUS_FAILED
from vorn_kest_backtest.sweep.engine import Engine, make_engine
from vorn_kest_backtest.sweep.heatmap import write_heatmap
from vorn_kest_backtest.sweep.plan import Grid, RangeLike, build_plan
from vorn_kest_backtest.sweep.prefetch import prefetch as prefetch_ticks
from vorn_kest_backtest.sweep.progress import run_progress
from vorn_kest_backtest.sweep.results import param_names, plan_frame, results_frame, sort_results, sortable_columns
from vorn_kest_backtest.sweep.resume import finished_rows
from vorn_kest_backtest.sweep.run_function import DEFAULT_RUN_FN, RunFn, resolve_run_fn
from vorn_kest_backtest.sweep.stop_signals import StopRequest, stop_on_signals
from vorn_kest_backtest.sweep.table_file import SweepTableFile, aligned, csv_path
from vorn_kest_backtest.sweep.table_view import top_table


@dataclass(frozen=True)
class SweepOutcome:
    """掃描結果表格與計數; stopped 為 None, "interrupted" 或 "timed out"; signal 為使掃描停止的訊號編號."""

    table: pl.DataFrame
    planned: int
    failed: int
    stopped: str | None
    signal: int | None = None
    resumed: int = 0  # runs taken over from the resumed table

    @property
    def exit_status(self) -> int:
        """命令列的結束狀態: 0 全部成功, 1 有失敗或逾時, 128+N 被訊號 N 停止 (Ctrl-C 130)."""
        if self.stopped == INTERRUPTED:
            return StopRequest(self.signal).exit_status
        return 1 if self.failed or self.stopped else 0


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
    resume: str | Path | None = None,
    prefetch: bool = False,
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
    began = time.monotonic()
    shared_dir = None if own_cache else (data_dir or BASIC_INFO.data_dir)
    jobs = build_plan(strategy, grid, codes, ranges, data_dir=shared_dir, options=options)
    names = param_names(jobs)
    if metric not in sortable_columns(names):
        raise ValueError(f"無法排序的指標: {metric}")
    if heatmap is not None and (len(set(heatmap)) != 2 or not set(heatmap) <= set(names)):
        raise ValueError(f"熱圖需要兩個不同的掃描參數: {', '.join(heatmap)}")
    if prefetch and own_cache:
        raise ValueError("預先載入 (prefetch) 需要共用的 tick 快取, 不可與 own_cache 併用")
    resolve_run_fn(run_fn)
    plan = plan_frame(jobs)
    kept: pl.DataFrame | None = None
    done: set[int] = set()
    if resume is not None:
        if output is not None and csv_path(output).resolve() != csv_path(resume).resolve():
            raise ValueError(f"續跑時結果寫回原表格, 不可另指定 output: {output}")
        kept, done = finished_rows(resume, jobs, plan)
        output = csv_path(resume)
    todo = [job for job in jobs if job["run"] not in done]
    columns = results_frame(jobs, {}, plan=plan).columns
    table_file = SweepTableFile(output, columns, kept) if output is not None else None

    with stop_on_signals() as stop:
        chosen = make_engine(engine, address=address, workers=workers)
        with chosen as running, run_progress(len(todo), enabled=progress) as advance:
            left = None if timeout is None else timeout - (time.monotonic() - began)
            if prefetch and todo and not stop.requested:
                prefetch_ticks(running, todo, stop, left)
                left = None if timeout is None else timeout - (time.monotonic() - began)

            def keep(batch: list[dict[str, Any]]) -> None:
                if table_file is not None:
                    table_file.append(results_frame(jobs, {outcome["run"]: outcome for outcome in batch}, plan=plan))

            collected = collect(running, run_fn, todo, on_outcome=advance, on_batch=keep, timeout=left, stop=stop)
            rows = results_frame(jobs, collected.outcomes, collected.unfinished, plan=plan)
            if kept is not None:
                rows = pl.concat([aligned(kept, rows.columns), rows], how="diagonal_relaxed")
            table = sort_results(rows, metric, descending=descending)
            if table_file is not None:
                table_file.rewrite(table)

    statuses = table[STATUS_COLUMN]
    failed = int((statuses == STATUS_FAILED).sum())
    if top > 0 and table.height:
        utils.console.print(top_table(table, metric, top))
    if table_file is not None:
        utils.console.print(f"[green]結果已寫入: {table_file.csv} (及 {table_file.parquet.name})[/green]")
    if heatmap is not None:
        target = heatmap_output or (Path(output).with_suffix(".html") if output is not None else "sweep_heatmap.html")
        utils.console.print(f"[green]熱圖已寫入: {write_heatmap(table, *heatmap, metric, target)}[/green]")
    finished = int(statuses.is_in(list(FINISHED_STATUSES)).sum())
    _report(len(jobs), finished, failed, collected.stopped, len(done))
    return SweepOutcome(table, len(jobs), failed, collected.stopped, stop.signum, len(done))


def _report(planned: int, finished: int, failed: int, stopped: str | None, resumed: int) -> None:
    taken = f" (其中 {resumed} 次取自先前的表格)" if resumed else ""
    if stopped is not None:
        reason = "已中斷" if stopped == INTERRUPTED else "逾時"
        utils.console.print(
            f"[yellow]參數掃描{reason}: 完成 {finished}/{planned} 次{taken}, 失敗 {failed} 次[/yellow]")
    elif failed:
        utils.console.print(f"[yellow]參數掃描完成: 共 {planned} 次{taken}, 失敗 {failed} 次[/yellow]")
    else:
        utils.console.print(f"[bold green]參數掃描完成: 共 {planned} 次{taken}, 失敗 0 次[/bold green]")


def sweep(strategy: Any, grid: Grid, codes: Any = None, ranges: Any = None, **kwargs: Any) -> pl.DataFrame:
    """參數掃描: 每組參數 x 每組商品 x 每個日期區間各跑一次獨立的回測.

    grid: {"fast": [5, 10], "slow": [20, 30, 60]} (笛卡兒積) 或 [{"fast": 5, "slow": 20}, ...].
    codes: ["2330", ["TXFR1", "MXFR1"]]: 每個項目一次回測. ranges: [("2024-01-02", "2024-03-29")].
    engine: "local" (本機所有核心) 或 "dask" (address 為排程器位址; 無則開本機 LocalCluster).
    run_fn: 每次回測呼叫的函式 ("module:function" 或可 pickle 的函式), 參數為 run job.
    metric / descending: 排序指標; 失敗的回測排最後. heatmap: (x 參數, y 參數).
    output: CSV 路徑; 每次回測完成就寫入 (另有同名的 .parquet 檔). resume: 先前的結果表格,
    已完成的參數組不再執行, 其餘的寫回該表格. prefetch=True: 先把所有需要的 Tick 讀進共用快取.
    data_dir: 各 worker 使用的 tick 快取資料夾 (預設為目前的 BASIC_INFO.data_dir);
    own_cache=True 時各 worker 使用自己的資料夾. timeout: 整個掃描的秒數上限.

    傳回一列一次回測的 polars DataFrame (status 欄: "ok", "failed", "interrupted", "not run").
    Ctrl-C, SIGTERM 與 SIGHUP 停止掃描並保留已完成的列.
    Workers start fresh interpreters that import the calling script again: a script that calls
    `sweep` keeps that call under `if __name__ == "__main__":`.
    """
    return run_sweep(strategy, grid, codes, ranges, **kwargs).table
