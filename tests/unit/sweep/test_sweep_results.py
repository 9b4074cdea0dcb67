"""Sweep result tables: worker outcomes, sorting, CSV, the heat map."""

from __future__ import annotations

import math
from pathlib import Path

import polars as pl
import pytest

from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.sweep import build_plan
from vorn_kest_backtest.sweep.columns import METRIC_COLUMNS
from vorn_kest_backtest.sweep.heatmap import cell_text, write_heatmap
from vorn_kest_backtest.sweep.results import results_frame, sort_results, write_csv
from vorn_kest_backtest.sweep.worker import execute_run


def _outcome(run, net=None, error=None, trades=1):
    summary = {} if error else {"trades": trades, "net_profit": net}
    return {"run": run, "summary": summary, "run_time_s": 0.1, "error": error}


def _frame(nets):
    jobs = build_plan("s", {"fast": [5, 10], "slow": [20, 30, 60]})
    outcomes = {i: _outcome(i, error=net) if isinstance(net, str) else _outcome(i, net) for i, net in enumerate(nets)}
    return results_frame(jobs, outcomes)


@pytest.mark.parametrize(
    ("descending", "expected"),
    [(True, [3, 1, 4, 2, 0, 5]), (False, [2, 1, 4, 3, 0, 5])],
)
def test_sort_puts_failures_last_and_breaks_ties_by_run(descending, expected):
    frame = _frame(["boom", 5.0, -1.0, 9.0, 5.0, "bad"])
    frame = frame.with_columns(pl.when(pl.col("run") == 0).then(None).otherwise(pl.col("error")).alias("error"))
    # run 0 succeeded without a net profit: after every figure, before the failures
    ordered = sort_results(frame, "net_profit", descending=descending)
    assert ordered["run"].to_list() == expected


def test_nan_sorts_like_a_missing_figure():
    frame = _frame([math.nan, 1.0, 2.0, 3.0, 4.0, 5.0])
    assert sort_results(frame, "net_profit")["run"].to_list() == [5, 4, 3, 2, 1, 0]
    assert sort_results(frame, "net_profit", descending=False)["run"].to_list() == [1, 2, 3, 4, 5, 0]


def test_table_columns_and_only_finished_runs():
    jobs = build_plan("s", {"fast": [5, 10]}, ["2330", ["TXFR1", "MXFR1"]], [("2024-01-02", "2024-01-31")])
    frame = results_frame(jobs, {3: _outcome(3, 7.0), 0: _outcome(0, error="RuntimeError: x")})
    assert frame.columns == [
        "run", "fast", "codes", "start", "end", "trades", "win_rate", "net_profit",
        "max_drawdown", "final_capital", *METRIC_COLUMNS[5:], "run_time_s", "status", "error",
    ]
    assert frame.select("run", "fast", "codes", "net_profit", "status", "error").rows() == [
        (0, 5, "2330", None, "failed", "RuntimeError: x"),
        (3, 10, "TXFR1,MXFR1", 7.0, "ok", None),
    ]
    with pytest.raises(ValueError):
        sort_results(frame, "error")


def test_mixed_parameter_values_become_text_and_the_table_writes_as_csv(tmp_path):
    jobs = build_plan("s", {"mode": [1, "trend", [1, 2]]})
    frame = results_frame(jobs, {i: _outcome(i, 1.0) for i in range(3)})
    assert frame["mode"].to_list() == ["1", "trend", "[1, 2]"]
    path = write_csv(frame, tmp_path / "out" / "sweep.csv")
    assert pl.read_csv(path)["mode"].cast(pl.String).to_list() == ["1", "trend", "[1, 2]"]


@pytest.mark.parametrize(
    ("result", "error"),
    [
        ("sweep_fakes:not_a_mapping", "TypeError: 回測函式必須傳回 mapping: list"),
        (lambda job: 1 / 0, "ZeroDivisionError: division by zero"),
        (lambda job: {"trades": "many"}, "ValueError: invalid literal for int() with base 10: 'many'"),
    ],
)
def test_a_failing_run_comes_back_as_its_error_text(result, error):
    outcome = execute_run(result, build_plan("s", {"fast": [5]})[0])
    assert (outcome["run"], outcome["summary"], outcome["error"]) == (0, {}, error)


def test_the_worker_points_the_data_directory_at_the_job_setting(tmp_path):
    job = build_plan("s", {"fast": [5]}, data_dir=str(tmp_path / "shared"))[0]
    execute_run("sweep_fakes:marker_run", job)
    assert BASIC_INFO.data_dir == str(tmp_path / "shared")
    assert (tmp_path / "shared" / "run-0.txt").exists()


def test_heatmap_is_an_offline_html_of_the_mean_per_cell(tmp_path):
    jobs = build_plan("s", {"fast": [5, 10], "slow": [20, 30]}, ["2330", "2317"])
    nets = [1.0, 3.0, 10.0, 20.0, 5.0, 7.0, 0.0, 0.0]
    outcomes = {i: _outcome(i, net) for i, net in enumerate(nets)}
    outcomes[7] = _outcome(7, error="RuntimeError: x")
    path = write_heatmap(results_frame(jobs, outcomes), "fast", "slow", "net_profit", tmp_path / "heat.html")
    html = Path(path).read_text(encoding="utf-8")
    assert "Plotly.newPlot" in html and "<script src=" not in html and len(html) > 1_000_000
    # slow rows, fast columns; (10, 30) has only its failed run left out, so the mean is 0.0
    assert '"z":[[2.0,6.0],[15.0,0.0]]' in html.replace(" ", "")
    # each cell writes its value
    assert '"text":[["2","6"],["15","0"]]' in html.replace(" ", "")
    assert '"texttemplate":"%{text}"' in html.replace(" ", "")


@pytest.mark.parametrize("value, text", [(None, ""), (0.123456, "0.1235"), (12345.6, "12,346"), (-2.5, "-2.5")])
def test_heatmap_cell_text(value, text):
    assert cell_text(value) == text


@pytest.mark.parametrize(("x", "y"), [("fast", "fast"), ("fast", "nope")])
def test_heatmap_needs_two_existing_columns(tmp_path, x, y):
    frame = _frame([1.0] * 6)
    with pytest.raises(ValueError):
        write_heatmap(frame, x, y, "net_profit", tmp_path / "heat.html")
