"""Sweep plans: grid expansion order, code groups, date ranges, grid files."""

from __future__ import annotations

import pickle
from datetime import date, datetime

import pytest

from vorn_kest_backtest.sweep import build_plan, load_grid_file
from vorn_kest_backtest.sweep.plan import code_groups, date_ranges, expand_grid


def test_grid_is_a_cartesian_product_with_the_last_name_fastest():
    sets = expand_grid({"fast": [5, 10], "slow": [20, 30, 60]})
    assert [(s["fast"], s["slow"]) for s in sets] == [(5, 20), (5, 30), (5, 60), (10, 20), (10, 30), (10, 60)]


def test_plan_crosses_params_codes_and_ranges_in_a_stable_numbered_order(tmp_path):
    plan = build_plan(
        "strategy.py",
        [{"fast": 5}, {"fast": 10}],
        ["2330", ["TXFR1", "MXFR1"]],
        [("2024-01-02", "2024-01-31"), {"start": date(2024, 2, 1), "end": datetime(2024, 2, 29, 13, 30)}],
        data_dir=str(tmp_path),
        options={"initial_capital": 1_000_000},
    )
    assert [job["run"] for job in plan] == list(range(8))
    assert [(s["params"]["fast"], s["codes"], s["start"]) for s in plan[:4]] == [
        (5, ["2330"], "2024-01-02"),
        (5, ["2330"], "2024-02-01"),
        (5, ["TXFR1", "MXFR1"], "2024-01-02"),
        (5, ["TXFR1", "MXFR1"], "2024-02-01"),
    ]
    assert plan[1]["end"] == "2024-02-29 13:30:00"
    assert all(s["data_dir"] == str(tmp_path) and s["options"] == {"initial_capital": 1_000_000} for s in plan)
    assert pickle.loads(pickle.dumps(plan)) == plan


def test_empty_codes_and_ranges_leave_them_to_the_strategy():
    assert code_groups(None) == [[]] and code_groups([]) == [[]]
    assert code_groups("2330") == [["2330"]]
    assert date_ranges([]) == [(None, None)]


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: expand_grid({"fast": 5}), TypeError),  # type: ignore[dict-item]  # the wrong type is the case
        (lambda: expand_grid({"fast": "5,10"}), TypeError),
        (lambda: expand_grid({"fast": []}), ValueError),
        (lambda: expand_grid([]), ValueError),
        (lambda: expand_grid({"error": [1]}), ValueError),
        (lambda: expand_grid([{"net_profit": 1}]), ValueError),
        (lambda: code_groups(["2330", ""]), ValueError),
        (lambda: code_groups([[]]), ValueError),
        (lambda: date_ranges([("2024-03-01", "2024-02-01")]), ValueError),
        (lambda: date_ranges([("2024/03/01", "2024-04-01")]), ValueError),
    ],
)
def test_bad_plan_inputs_are_refused(call, error):
    with pytest.raises(error):
        call()


GRID_TOML = """
codes = ["2330", ["TXFR1", "MXFR1"]]
metric = "win_rate"
descending = false

[params]
fast = [5, 10]
slow = [20, 30, 60]

[[ranges]]
start = 2024-01-02
end = 2024-03-29

[[ranges]]
start = "2024-04-01"
end = "2024-06-28"

[options]
initial_capital = 1_000_000
"""


def test_grid_file_gives_the_whole_sweep(tmp_path):
    path = tmp_path / "grid.toml"
    path.write_text(GRID_TOML, encoding="utf-8")
    settings = load_grid_file(path)
    assert (settings.metric, settings.descending, settings.options) == (
        "win_rate", False, {"initial_capital": 1_000_000})
    plan = build_plan("s", settings.grid, settings.codes, settings.ranges)
    assert len(plan) == 2 * 3 * 2 * 2
    assert (plan[0]["start"], plan[0]["end"], plan[1]["start"]) == ("2024-01-02", "2024-03-29", "2024-04-01")


def test_grid_file_with_explicit_runs(tmp_path):
    path = tmp_path / "grid.toml"
    path.write_text("[[runs]]\nfast = 5\nslow = 20\n\n[[runs]]\nfast = 8\nslow = 21\n", encoding="utf-8")
    settings = load_grid_file(path)
    assert settings.grid == [{"fast": 5, "slow": 20}, {"fast": 8, "slow": 21}]
    assert (settings.codes, settings.ranges, settings.metric, settings.descending) == ([], [], "net_profit", True)


@pytest.mark.parametrize(
    "text",
    [
        "[params]\nfast = [5]\n[[runs]]\nfast = 5\n",
        "codes = ['2330']\n",
        "[params]\nfast = [5]\n[extra]\nx = 1\n",
    ],
    ids=["both", "neither", "unknown-key"],
)
def test_bad_grid_files_are_refused(tmp_path, text):
    path = tmp_path / "grid.toml"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ValueError):
        load_grid_file(path)
