"""Sweeps through the engines: same table on the local pool and on Dask, failures, stopping."""

from __future__ import annotations

import argparse

import polars as pl
import pytest
from polars.testing import assert_frame_equal

from vorn_kest_backtest.sweep import add_sweep_command, build_plan, run_sweep, run_sweep_command
from vorn_kest_backtest.sweep.collect import INTERRUPTED, TIMED_OUT, collect
from vorn_kest_backtest.sweep.dask_engine import DaskEngine
from vorn_kest_backtest.sweep.engine import make_engine
from vorn_kest_backtest.sweep.local_engine import LocalPoolEngine

GRID = {"fast": [5, 10], "slow": [20, 30, 60]}
WAIT = 60  # seconds; no sweep in these tests may block longer


def _sweep(engine, **kwargs):
    return run_sweep(
        "fake", GRID, ["2330"], [("2024-01-02", "2024-01-31")],
        engine=engine, run_fn="sweep_fakes:fake_run", timeout=WAIT, progress=False, top=0, **kwargs,
    )


@pytest.mark.slow
def test_local_pool_and_dask_give_the_same_table():
    local = _sweep(LocalPoolEngine(workers=2))
    dask = _sweep(DaskEngine(workers=2, processes=False))
    assert local.table.height == 6 and local.stopped is None and local.failed == 0
    assert_frame_equal(local.table.drop("run_time_s"), dask.table.drop("run_time_s"))
    # ties on net profit keep run order, so the table never depends on which run finished first
    assert local.table.select("run", "net_profit").rows() == [
        (4, 204.0), (5, 204.0), (1, 104.0), (2, 104.0), (3, 104.0), (0, 4.0)
    ]


@pytest.mark.slow
def test_a_failing_run_is_a_row_with_its_error_and_is_counted(console):
    outcome = _sweep(LocalPoolEngine(workers=2), options={"fail_fast": 10})
    table = outcome.table
    assert outcome.failed == 3 and table.height == 6
    assert table["fast"].to_list()[-3:] == [10, 10, 10]
    assert table["error"].to_list()[-3:] == ["RuntimeError: 策略失敗 fast=10"] * 3
    assert table["error"].head(3).is_null().all() and table["net_profit"].tail(3).is_null().all()
    assert "[yellow]參數掃描完成: 共 6 次, 失敗 3 次[/yellow]" in console.lines


@pytest.mark.slow
@pytest.mark.timeout(WAIT)
def test_ctrl_c_cancels_pending_runs_and_keeps_finished_ones():
    jobs = build_plan("fake", {"n": [0, 1, 2, 3]})

    def interrupt(_outcome):
        raise KeyboardInterrupt

    with LocalPoolEngine(workers=1) as engine:
        collected = collect(engine, "sweep_fakes:slow_after_first", jobs, on_outcome=interrupt, timeout=WAIT)
    assert collected.stopped == INTERRUPTED
    assert list(collected.outcomes) == [0] and collected.outcomes[0]["error"] is None


@pytest.mark.slow
@pytest.mark.timeout(WAIT)
def test_the_time_limit_stops_the_sweep_like_ctrl_c():
    jobs = build_plan("fake", {"n": [0, 1]})
    with LocalPoolEngine(workers=1) as engine:
        collected = collect(engine, "sweep_fakes:slow_after_first", jobs, timeout=3)
    assert collected.stopped == TIMED_OUT and 1 not in collected.outcomes


@pytest.mark.slow
def test_workers_use_the_shared_data_directory(tmp_path):
    shared = tmp_path / "shared"
    run_sweep(
        "fake", {"n": [1, 2, 3]}, engine=LocalPoolEngine(workers=2), run_fn="sweep_fakes:marker_run",
        data_dir=str(shared), timeout=WAIT, progress=False, top=0, metric="trades",
    )
    assert sorted(p.name for p in shared.iterdir()) == ["run-0.txt", "run-1.txt", "run-2.txt"]


@pytest.mark.parametrize(("name", "address"), [("ray", None), ("local", "tcp://127.0.0.1:8786")])
def test_unknown_engines_are_refused(name, address):
    with pytest.raises(ValueError):
        make_engine(name, address=address)


def _command(*argv):
    parser = argparse.ArgumentParser(prog="vorn-kest-backtest")
    add_sweep_command(parser.add_subparsers(dest="command"))
    args = parser.parse_args(["sweep", "fake", *argv])
    assert args.handler is run_sweep_command
    return run_sweep_command(args)


@pytest.mark.slow
def test_command_writes_csv_and_heatmap_and_reports_failures(tmp_path):
    grid = tmp_path / "grid.toml"
    grid.write_text(
        'codes = ["2330"]\nmetric = "trades"\n[params]\nfast = [5, 10]\nslow = [20, 30, 60]\n'
        "[options]\nfail_fast = 5\n",
        encoding="utf-8",
    )
    output = tmp_path / "out" / "sweep.csv"
    code = _command(
        "--grid", str(grid), "--run-fn", "sweep_fakes:fake_run", "--workers", "2", "--output", str(output),
        "--heatmap", "fast,slow", "--timeout", str(WAIT), "--no-progress",
    )
    assert code == 1
    table = pl.read_csv(output)
    assert table["trades"].to_list()[:3] == [70, 40, 30] and table["error"].null_count() == 3
    assert output.with_suffix(".html").stat().st_size > 1_000_000


def test_command_without_output_writes_into_the_data_folder(tmp_path, data_dir, monkeypatch):
    grid = tmp_path / "grid.toml"
    grid.write_text('codes = ["2330"]\n[params]\nfast = [5]\nslow = [20]\n', encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    code = _command("--grid", str(grid), "--run-fn", "sweep_fakes:fake_run", "--workers", "1", "--timeout", str(WAIT),
                    "--no-progress")
    assert code == 0
    written, twin = sorted((data_dir / "sweeps").iterdir())
    assert written.name.endswith("-sweep_results.csv") and not (tmp_path / "sweep_results.csv").exists()
    assert twin == written.with_suffix(".parquet")


@pytest.mark.parametrize(
    "argv",
    [
        ["--metric", "nope"],
        ["--heatmap", "fast"],
        ["--heatmap", "fast,codes"],
        ["--heatmap", "fast,fast"],
        ["--run-fn", "sweep_fakes"],
        ["--run-fn", "sweep_fakes:missing"],
    ],
)
def test_command_refuses_bad_settings_before_running(tmp_path, console, argv):
    grid = tmp_path / "grid.toml"
    grid.write_text("[params]\nfast = [5]\nslow = [20]\n", encoding="utf-8")
    assert _command("--grid", str(grid), "--run-fn", "sweep_fakes:fake_run", *argv, "--no-progress") == 2
    assert console.lines[-1].startswith("[red]錯誤訊息: ")


@pytest.mark.slow
def test_own_cache_leaves_each_worker_on_its_own_data_directory(tmp_path, data_dir):
    run_sweep(
        "fake", {"n": [1, 2]}, engine=DaskEngine(workers=1, processes=False), run_fn="sweep_fakes:marker_run",
        data_dir=str(tmp_path / "unused"), own_cache=True, timeout=WAIT, progress=False, top=0, metric="trades",
    )
    assert not (tmp_path / "unused").exists()
    assert sorted(p.name for p in data_dir.iterdir()) == ["run-0.txt", "run-1.txt"]
