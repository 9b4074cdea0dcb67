"""Walk-forward optimisation: choose parameters on past days, judge them on the days that follow.

For each window (see `windows`) the grid is swept over the training days, the best parameter set
by the metric is chosen, and that set alone is run over the test days. Every training run of every
window goes to the engine at once, then every test run: both phases use the engine's workers in
full. The result is one row per window (dates, chosen parameters, in-sample and out-of-sample
figures) and the stitched out-of-sample equity (see `stitched`).
"""

from __future__ import annotations

import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import polars as pl

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.sweep.collect import INTERRUPTED, Collected, collect
from vorn_kest_backtest.sweep.columns import (
    COUNT_METRICS,
    ERROR_COLUMN,
    FINISHED_STATUSES,
    METRIC_COLUMNS,
    RUN_COLUMN,
    STATUS_COLUMN,
    STATUS_FAILED,
    STATUS_NOT_RUN,
    STATUS_OK,
)
from vorn_kest_backtest.sweep.engine import Engine, make_engine
from vorn_kest_backtest.sweep.plan import Grid, build_plan
from vorn_kest_backtest.sweep.progress import run_progress
from vorn_kest_backtest.sweep.results import param_names, param_series, plan_frame, results_frame, sort_results
from vorn_kest_backtest.sweep.run_function import (
    DAILY_EQUITY_KEY,
    DEFAULT_RUN_FN,
    INITIAL_CAPITAL_KEY,
    RunFn,
    resolve_run_fn,
)
from vorn_kest_backtest.sweep.stitched import WindowEquity, stitch, stitched_statistics
from vorn_kest_backtest.sweep.stop_signals import StopRequest, stop_on_signals
from vorn_kest_backtest.sweep.table_file import SweepTableFile
from vorn_kest_backtest.sweep.windows import Window, make_windows, parse_days, trading_days

WINDOW_COLUMNS = ("window", "train_start", "train_end", "test_start", "test_end")
IN_SAMPLE, OUT_OF_SAMPLE = "is_", "oos_"
NO_TRAINED_RUN = "訓練期間沒有成功的回測"


@dataclass(frozen=True)
class WalkForwardOutcome:
    """windows: 每個窗口一列; equity: 串接的樣本外權益 (date, window, equity); statistics: 其統計;
    training: 所有訓練回測 (與參數掃描的表格相同); stopped: None, "interrupted" 或 "timed out"."""

    windows: pl.DataFrame
    equity: pl.DataFrame
    statistics: dict[str, Any]
    training: pl.DataFrame
    stopped: str | None
    signal: int | None = None

    @property
    def failed(self) -> int:
        return int((self.windows[STATUS_COLUMN] == STATUS_FAILED).sum())

    @property
    def exit_status(self) -> int:
        """0 每個窗口都完成, 1 有失敗或逾時, 128+N 被訊號 N 停止."""
        if self.stopped == INTERRUPTED:
            return StopRequest(self.signal).exit_status
        return 1 if self.failed or self.stopped else 0


@dataclass(frozen=True)
class _Choice:
    window: Window
    params: dict[str, Any] | None
    in_sample: dict[str, Any]
    status: str | None = None  # set when no test run follows
    error: str | None = None


def walk_forward(
    strategy: Any,
    grid: Grid,
    codes: str | Sequence[str | Sequence[str]] | None = None,
    *,
    start: str,
    end: str,
    train: str | int = "60d",
    test: str | int = "20d",
    step: str | int | None = None,
    metric: str = "sharpe",
    descending: bool = True,
    engine: str | Engine = "local",
    address: str | None = None,
    workers: int | None = None,
    run_fn: str | RunFn = DEFAULT_RUN_FN,
    options: Mapping[str, Any] | None = None,
    data_dir: str | None = None,
    own_cache: bool = False,
    output: str | Path | None = None,
    report: str | Path | None = None,
    timeout: float | None = None,
    progress: bool = True,
) -> WalkForwardOutcome:
    """Walk-forward 最佳化: 每個窗口在訓練期間掃描 grid, 依 metric 選出最佳參數, 在接著的測試期間回測.

    start / end: 整段日期; train / test / step: 交易日數 ("60d" 或 60; step 預設等於 test, 不可小於 test).
    codes: 一組商品 ("2330" 或 ["2330", "0050"] 視為同一次回測的商品). metric / descending: 選參數的指標.
    engine, address, workers, run_fn, options, data_dir, own_cache, timeout: 與 `sweep` 相同.
    output: 窗口表格 CSV (另寫 <名稱>-training.csv 的所有訓練回測與 <名稱>-equity.csv 的串接權益);
    report: HTML 報告頁 (預設為 output 同名的 .html).
    """
    began = time.monotonic()
    if metric not in METRIC_COLUMNS:
        raise ValueError(f"無法排序的指標 (可用 {', '.join(METRIC_COLUMNS)}): {metric}")
    group = [codes] if isinstance(codes, str) else _flat(codes or [])
    windows = make_windows(trading_days(start, end), parse_days(train, "train"), parse_days(test, "test"),
                           None if step is None else parse_days(step, "step"))
    resolve_run_fn(run_fn)
    shared_dir = None if own_cache else (data_dir or BASIC_INFO.data_dir)
    train_jobs = build_plan(strategy, grid, [group] if group else None,
                            [(window.train_start, window.train_end) for window in windows],
                            data_dir=shared_dir, options=options)
    plan = plan_frame(train_jobs)
    windows_path, training_path, equity_path = _paths(output)
    training_file = (None if training_path is None
                     else SweepTableFile(training_path, results_frame(train_jobs, {}, plan=plan).columns))

    def keep(batch: list[dict[str, Any]]) -> None:
        if training_file is not None:
            training_file.append(results_frame(train_jobs, {outcome[RUN_COLUMN]: outcome for outcome in batch},
                                               plan=plan))

    with stop_on_signals() as stop, make_engine(engine, address=address, workers=workers) as running:
        with run_progress(len(train_jobs), enabled=progress, label="訓練") as advance:
            trained = collect(running, run_fn, train_jobs, on_outcome=advance, on_batch=keep,
                              timeout=_left(timeout, began), stop=stop)
        training = sort_results(results_frame(train_jobs, trained.outcomes, trained.unfinished, plan=plan),
                                metric, descending=descending)
        if training_file is not None:
            training_file.rewrite(training)
        choices = _choose(training, windows, train_jobs)
        test_jobs = [
            {"run": choice.window.index, "strategy": train_jobs[0]["strategy"], "params": choice.params,
             "codes": list(group or []), "start": choice.window.test_start, "end": choice.window.test_end,
             "data_dir": shared_dir, "options": {**(options or {}), "daily_equity": True}}
            for choice in choices if choice.params is not None
        ]
        tested = Collected({}, trained.stopped, {job[RUN_COLUMN]: STATUS_NOT_RUN for job in test_jobs})
        if trained.stopped is None:
            with run_progress(len(test_jobs), enabled=progress, label="測試") as advance:
                tested = collect(running, run_fn, test_jobs, on_outcome=advance, timeout=_left(timeout, began),
                                 stop=stop)

    names = param_names(train_jobs)
    table = _windows_frame(choices, tested, names)
    runs = [WindowEquity(run, outcome[INITIAL_CAPITAL_KEY], outcome[DAILY_EQUITY_KEY])
            for run, outcome in sorted(tested.outcomes.items())
            if outcome["error"] is None and DAILY_EQUITY_KEY in outcome]
    curve = stitch(runs)
    equity = pl.DataFrame({"date": [day for day, _, _ in curve], "window": [window for _, window, _ in curve],
                           "equity": [value for _, _, value in curve]},
                          schema={"date": pl.String, "window": pl.Int64, "equity": pl.Float64})
    outcome = WalkForwardOutcome(table, equity, stitched_statistics(runs), training, tested.stopped, stop.signum)
    _write(outcome, (windows_path, training_path, equity_path), report, metric, names)
    _show(outcome, metric, names)
    return outcome


def _flat(codes: Sequence[str | Sequence[str]]) -> list[str]:
    flat: list[str] = []
    for item in codes:
        flat += [item] if isinstance(item, str) else list(item)
    return flat


def _left(timeout: float | None, began: float) -> float | None:
    return None if timeout is None else timeout - (time.monotonic() - began)


def _choose(training: pl.DataFrame, windows: list[Window], jobs: list[dict[str, Any]]) -> list[_Choice]:
    """每個窗口的訓練列 (已依指標排序) 中第一個成功的; 訓練未跑完的窗口不選."""
    params_of = {job[RUN_COLUMN]: job["params"] for job in jobs}
    choices = []
    for window in windows:
        rows = training.filter(pl.col("start") == window.train_start)
        if not rows[STATUS_COLUMN].is_in(list(FINISHED_STATUSES)).all():
            choices.append(_Choice(window, None, {}, STATUS_NOT_RUN))
            continue
        good = rows.filter(pl.col(STATUS_COLUMN) == STATUS_OK)
        if good.is_empty():
            choices.append(_Choice(window, None, {}, STATUS_FAILED, NO_TRAINED_RUN))
            continue
        best = good.row(0, named=True)
        choices.append(_Choice(window, dict(params_of[best[RUN_COLUMN]]), {key: best[key] for key in METRIC_COLUMNS}))
    return choices


def _windows_frame(choices: list[_Choice], tested: Collected, names: list[str]) -> pl.DataFrame:
    windows = [choice.window for choice in choices]
    out_of_sample, statuses, errors = [], [], []
    for choice in choices:
        outcome = tested.outcomes.get(choice.window.index)
        out_of_sample.append(outcome["summary"] if outcome else {})
        if choice.status is not None:
            statuses.append(choice.status)
            errors.append(choice.error)
        elif outcome is None:
            statuses.append(tested.unfinished.get(choice.window.index, STATUS_NOT_RUN))
            errors.append(None)
        else:
            statuses.append(STATUS_OK if outcome["error"] is None else STATUS_FAILED)
            errors.append(outcome["error"])
    columns = [
        pl.Series("window", [window.index for window in windows], dtype=pl.Int64),
        *(pl.Series(name, [getattr(window, name) for window in windows], dtype=pl.String)
          for name in WINDOW_COLUMNS[1:]),
        *(param_series(name, [(choice.params or {}).get(name) for choice in choices]) for name in names),
    ]
    for prefix, figures in ((IN_SAMPLE, [choice.in_sample for choice in choices]), (OUT_OF_SAMPLE, out_of_sample)):
        columns += [pl.Series(prefix + key, [row.get(key) for row in figures],
                              dtype=pl.Int64 if key in COUNT_METRICS else pl.Float64) for key in METRIC_COLUMNS]
    columns += [pl.Series(STATUS_COLUMN, statuses, dtype=pl.String), pl.Series(ERROR_COLUMN, errors, dtype=pl.String)]
    return pl.DataFrame(columns)


def _paths(output: str | Path | None) -> tuple[Path | None, Path | None, Path | None]:
    """walkforward.csv -> itself (windows), walkforward-training.csv, walkforward-equity.csv."""
    if output is None:
        return None, None, None
    target = Path(output)
    return target, target.with_name(target.stem + "-training.csv"), target.with_name(target.stem + "-equity.csv")


def _write(outcome: WalkForwardOutcome, paths: tuple[Path | None, Path | None, Path | None],
           report: str | Path | None, metric: str, names: list[str]) -> None:
    from vorn_kest_backtest.sweep.walkforward_report import write_walk_forward_report

    windows_path, training_path, equity_path = paths
    if windows_path is not None and equity_path is not None:
        SweepTableFile(windows_path, outcome.windows.columns).rewrite(outcome.windows)
        outcome.equity.write_csv(equity_path)
        utils.console.print(f"[green]窗口表格已寫入: {windows_path}; 串接權益: {equity_path}; "
                            f"訓練回測: {training_path}[/green]")
    page = report or (windows_path.with_suffix(".html") if windows_path is not None else None)
    if page is not None:
        written = write_walk_forward_report(outcome, metric, names, page)
        utils.console.print(f"[green]Walk-forward 報告已寫入: {written}[/green]")


def _show(outcome: WalkForwardOutcome, metric: str, names: list[str]) -> None:
    from vorn_kest_backtest.sweep.walkforward_view import statistics_table, windows_table

    utils.console.print(windows_table(outcome.windows, metric, names))
    utils.console.print(statistics_table(outcome.statistics))
    windows, failed = outcome.windows.height, outcome.failed
    if outcome.stopped is not None:
        reason = "已中斷" if outcome.stopped == INTERRUPTED else "逾時"
        done = int((outcome.windows[STATUS_COLUMN] == STATUS_OK).sum())
        utils.console.print(f"[yellow]Walk-forward {reason}: 完成 {done}/{windows} 個窗口[/yellow]")
    elif failed:
        utils.console.print(f"[yellow]Walk-forward 完成: 共 {windows} 個窗口, 失敗 {failed} 個[/yellow]")
    else:
        utils.console.print(f"[bold green]Walk-forward 完成: 共 {windows} 個窗口[/bold green]")
