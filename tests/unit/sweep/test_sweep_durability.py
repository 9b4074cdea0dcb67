"""Sweeps that lose no work: stop signals, a run that kills its worker, resuming a table."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import polars as pl
import pytest
from polars.testing import assert_frame_equal
from repo_paths import TESTS

from vorn_kest_backtest.sweep import run_sweep
from vorn_kest_backtest.sweep.dask_engine import DaskEngine
from vorn_kest_backtest.sweep.local_engine import LocalPoolEngine

WAIT = 90  # seconds; no child process in these tests may live longer
RUNS = 12


def _grid_file(folder: Path, **options) -> Path:
    lines = ["[params]", f"n = {list(range(RUNS))}", "[options]"]
    lines += [f"{name} = {value!r}".replace("'", '"') for name, value in options.items()]
    path = folder / "grid.toml"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


def _sweep_process(folder: Path, grid: Path, *extra: str, sweep_pass: str = "first") -> subprocess.Popen:
    command = [
        sys.executable, "-m", "vorn_kest_backtest.cli", "--data-dir", str(folder / "data"), "sweep", "fake",
        "--grid", str(grid), "--run-fn", "sweep_fakes:paced_run", "--workers", "2", "--no-progress",
        "--metric", "run", "--no-descending", "--timeout", str(WAIT), *extra,
    ]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(TESTS), os.environ.get("PYTHONPATH", "")]),
           "SWEEP_PASS": sweep_pass}
    # Its own session: a signal to its process group reaches the sweep and its workers, as from a terminal.
    return subprocess.Popen(command, env=env, cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)


def _finish(process: subprocess.Popen) -> tuple[int, str]:
    try:
        output, _ = process.communicate(timeout=WAIT)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate(timeout=10)
        pytest.fail(f"the sweep did not end within {WAIT} s:\n{output.decode(errors='replace')}")
    return process.returncode, output.decode(errors="replace")


def _rows_on_disk(path: Path) -> int:
    try:
        return max(0, len(path.read_text(encoding="utf-8").splitlines()) - 1)
    except FileNotFoundError:
        return 0


def _wait_for_rows(process: subprocess.Popen, path: Path, rows: int) -> int:
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline and process.poll() is None:
        seen = _rows_on_disk(path)
        if seen >= rows:
            return seen
        time.sleep(0.05)
    os.killpg(process.pid, signal.SIGKILL)
    pytest.fail(f"fewer than {rows} rows reached {path} while the sweep ran: {_finish(process)[1]}")


@pytest.mark.slow
@pytest.mark.timeout(WAIT * 3)
@pytest.mark.parametrize(("stop", "to_group", "status"), [
    (signal.SIGTERM, False, 143),
    (signal.SIGHUP, True, 129),
], ids=["SIGTERM", "SIGHUP"])
def test_a_stop_signal_keeps_every_finished_row_and_marks_the_rest(tmp_path, stop, to_group, status):
    grid = _grid_file(tmp_path, pause=0.4, marks=str(tmp_path / "marks"))
    table = tmp_path / "out.csv"
    process = _sweep_process(tmp_path, grid, "--output", str(table))
    seen = _wait_for_rows(process, table, 3)
    (os.killpg if to_group else os.kill)(process.pid, stop)
    code, output = _finish(process)

    assert code == status, output
    frame = pl.read_csv(table)
    assert sorted(frame["run"].to_list()) == list(range(RUNS))
    done = frame.filter(pl.col("status") == "ok")
    # rows on disk before the signal are still there; every run that got as far as its mark has its row,
    # "ok" or (when the stop came between its mark and its answer) "interrupted"
    marked = {int(name.split("-")[1]) for name in os.listdir(tmp_path / "marks" / "first")}
    assert done.height >= seen and set(done["run"]) <= marked
    assert set(frame.filter(pl.col("run").is_in(marked))["status"]) <= {"ok", "interrupted"}
    assert done["net_profit"].to_list() == [10.0 * run for run in done["run"].to_list()]
    rest = frame.filter(pl.col("status") != "ok")
    assert rest.height > 0 and set(rest["status"]) <= {"interrupted", "not run"} and "not run" in set(rest["status"])
    assert rest["error"].is_null().all() and rest["net_profit"].is_null().all()
    assert_frame_equal(pl.read_parquet(table.with_suffix(".parquet")), frame, check_dtypes=False)

    # resuming runs exactly the sets that had not finished, and the table then holds every run once
    process = _sweep_process(tmp_path, grid, "--resume", str(table), sweep_pass="second")
    code, output = _finish(process)
    assert code == 0, output
    again = sorted(int(name.split("-")[1]) for name in os.listdir(tmp_path / "marks" / "second"))
    assert again == sorted(rest["run"].to_list())
    resumed = pl.read_csv(table)
    assert resumed["run"].to_list() == list(range(RUNS)) and (resumed["status"] == "ok").all()


@pytest.mark.slow
@pytest.mark.timeout(WAIT * 2)
@pytest.mark.parametrize("engine", [
    lambda: LocalPoolEngine(workers=2),
    lambda: DaskEngine(workers=2, processes=True),
], ids=["local", "dask"])
def test_a_run_that_kills_its_worker_fails_alone(engine):
    outcome = run_sweep(
        "fake", {"n": list(range(RUNS))}, engine=engine(), run_fn="sweep_fakes:killer_run",
        options={"killer": 5, "pause": 0.2}, timeout=WAIT, progress=False, top=0, metric="run", descending=False,
    )
    table = outcome.table
    assert table.height == RUNS and outcome.failed == 1 and outcome.stopped is None
    good = table.filter(pl.col("status") == "ok")
    assert good["run"].to_list() == [n for n in range(RUNS) if n != 5]
    assert good["net_profit"].to_list() == [10.0 * n for n in range(RUNS) if n != 5]
    assert table.filter(pl.col("run") == 5).select("status", "error").rows() == [("failed", "worker died (signal 9)")]
