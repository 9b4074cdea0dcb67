"""Walk-forward: windows in trading days, the choice per window, the stitched out-of-sample equity."""

from __future__ import annotations

import argparse
import math
from concurrent.futures import Future
from datetime import date

import polars as pl
import pytest
from rich.text import Text

from vorn_kest_backtest.cli import DEMO_STRATEGY
from vorn_kest_backtest.runner import run_sweep_job
from vorn_kest_backtest.sweep import add_walk_forward_command, run_walk_forward_command, walk_forward
from vorn_kest_backtest.sweep.dask_engine import DaskEngine
from vorn_kest_backtest.sweep.local_engine import LocalPoolEngine
from vorn_kest_backtest.sweep.stitched import WindowEquity, stitch, stitched_statistics
from vorn_kest_backtest.sweep.windows import Window, make_windows, parse_days, trading_days

WAIT = 120


class InlineEngine:
    """Runs each call at once in this process: the walk-forward's own logic without worker processes."""

    name = "inline"

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return None

    def submit(self, fn, *args):
        future: Future = Future()
        try:
            future.set_result(fn(*args))
        except Exception as exc:
            future.set_exception(exc)
        return future

    def wait(self, futures, timeout):
        return {future for future in futures if future.done()}

    def started(self, futures):
        return set()

    def lost(self, exc):
        return False

    def stop(self, futures):
        return None


def test_trading_days_follow_the_exchange_calendar():
    # 2024 Lunar New Year: the market was closed from 6 to 14 February
    assert trading_days("2024-02-01", "2024-02-20") == [
        date(2024, 2, 1), date(2024, 2, 2), date(2024, 2, 5), date(2024, 2, 15), date(2024, 2, 16),
        date(2024, 2, 19), date(2024, 2, 20)]


def test_windows_train_then_test_on_the_following_trading_days():
    days = trading_days("2024-02-01", "2024-02-20")
    assert make_windows(days, 3, 2) == [
        Window(0, "2024-02-01", "2024-02-05", "2024-02-15", "2024-02-16"),
        Window(1, "2024-02-05", "2024-02-16", "2024-02-19", "2024-02-20"),
    ]
    # a longer step leaves days untested (16 Feb); the last test span is cut where the range ends
    assert make_windows(days, 2, 2, 3) == [
        Window(0, "2024-02-01", "2024-02-02", "2024-02-05", "2024-02-15"),
        Window(1, "2024-02-15", "2024-02-16", "2024-02-19", "2024-02-20"),
    ]
    assert make_windows(days, 5, 4) == [Window(0, "2024-02-01", "2024-02-16", "2024-02-19", "2024-02-20")]


@pytest.mark.parametrize(("call", "message"), [
    (lambda days: make_windows(days, 3, 2, 1), "step"),
    (lambda days: make_windows(days, 7, 2), "7 個交易日"),
    (lambda days: parse_days("6w", "train"), "train.*6w"),
    (lambda days: parse_days("0d", "test"), "test.*0d"),
])
def test_bad_windows_are_refused_by_value(call, message):
    with pytest.raises(ValueError, match=message):
        call(trading_days("2024-02-01", "2024-02-20"))


@pytest.mark.parametrize(("text", "days"), [("60d", 60), ("60", 60), (20, 20), (" 5 d ", 5)])
def test_window_lengths_are_trading_day_counts(text, days):
    assert parse_days(text, "train") == days


def test_stitched_equity_chains_each_test_run_onto_the_last():
    runs = [WindowEquity(1, 100.0, [("2024-01-04", 120.0)]),
            WindowEquity(0, 100.0, [("2024-01-02", 110.0), ("2024-01-03", 99.0)])]
    curve = stitch(runs)
    assert [(day, window) for day, window, _ in curve] == [("2024-01-02", 0), ("2024-01-03", 0), ("2024-01-04", 1)]
    assert [value for _, _, value in curve] == pytest.approx([110.0, 99.0, 118.8])
    figures = stitched_statistics(runs)
    returns = [0.1, -0.1, 0.2]
    mean = sum(returns) / 3
    deviation = math.sqrt(sum((r - mean) ** 2 for r in returns) / 2)
    assert figures["sharpe"] == pytest.approx(mean / deviation * math.sqrt(252))
    assert figures["total_return"] == pytest.approx(0.188) and figures["net_profit"] == pytest.approx(18.8)
    assert figures["max_drawdown"] == pytest.approx(11.0) and figures["max_drawdown_pct"] == pytest.approx(0.1)
    assert figures["trading_days"] == 3 and figures["windows"] == 2 and figures["cagr"] is None
    assert stitched_statistics([]) == {"trading_days": 0, "windows": 0}


def _walk(**settings):
    return walk_forward("fake", {"x": [0, 1, 2]}, "2330", start="2024-02-01", end="2024-02-20", train="3d",
                        test="2d", metric="sharpe", engine=InlineEngine(), run_fn="sweep_fakes:walk_run",
                        progress=False, **settings)


def test_each_window_takes_the_best_training_set_and_the_tests_are_stitched(tmp_path, console):
    outcome = _walk(output=tmp_path / "wf.csv")
    windows = outcome.windows
    # the fake is best at x = (first day of the span) % 3: 1 Feb -> 1, 5 Feb -> 2
    assert windows.select("window", "train_start", "test_start", "x", "is_sharpe", "status").rows() == [
        (0, "2024-02-01", "2024-02-15", 1, 0.0, "ok"), (1, "2024-02-05", "2024-02-19", 2, 0.0, "ok")]
    assert windows["oos_net_profit"].to_list() == [115.0, 219.0] and windows["oos_trades"].to_list() == [15, 19]
    assert windows["is_net_profit"].to_list() == [101.0, 205.0]
    assert outcome.training.height == 6 and outcome.exit_status == 0
    assert outcome.equity.select("date", "window").rows() == [
        ("2024-02-15", 0), ("2024-02-16", 0), ("2024-02-19", 1), ("2024-02-20", 1)]
    assert outcome.equity["equity"].to_list() == pytest.approx([1010.0, 1020.1, 1040.502, 1061.31204])
    assert outcome.statistics["total_return"] == pytest.approx(0.0613120)

    assert pl.read_csv(tmp_path / "wf.csv")["x"].to_list() == [1, 2]
    assert pl.read_csv(tmp_path / "wf-training.csv").height == 6
    assert pl.read_csv(tmp_path / "wf-equity.csv")["equity"].to_list() == pytest.approx([1010.0, 1020.1, 1040.502,
                                                                                         1061.31204])
    page = (tmp_path / "wf.html").read_text(encoding="utf-8")
    assert "Plotly.newPlot" in page and "2024-02-15 ~ 2024-02-16" in page and "1,061" in page


@pytest.mark.parametrize(("options", "statuses", "error"), [
    ({"fail_x": 1}, ["ok", "ok"], None),  # x = 1 fails: window 0 takes the next best
    ({"fail_tests": True}, ["failed", "failed"], "RuntimeError: fails x=1"),
])
def test_failed_runs_leave_their_window_a_row(options, statuses, error, console):
    outcome = _walk(options=options)
    assert outcome.windows["status"].to_list() == statuses and outcome.windows["error"][0] == error
    assert outcome.exit_status == (1 if error else 0)


def test_a_window_without_a_good_training_run_fails_alone(console):
    outcome = walk_forward("fake", [{"x": 1}], "2330", start="2024-02-01", end="2024-02-20", train="3d",
                           test="2d", metric="sharpe", engine=InlineEngine(), run_fn="sweep_fakes:walk_run",
                           progress=False, options={"fail_x": 1})
    assert outcome.windows.select("status", "error").rows() == [("failed", "訓練期間沒有成功的回測")] * 2
    assert outcome.equity.is_empty() and outcome.statistics["windows"] == 0 and outcome.exit_status == 1


@pytest.mark.parametrize(("settings", "message"), [
    ({"metric": "run"}, "run"),
    ({"step": "1d"}, "step"),
    ({"train": "7d"}, "7 個交易日"),
])
def test_bad_walk_forward_settings_are_refused_before_running(settings, message):
    arguments = {"train": "3d", "test": "2d", "metric": "sharpe", **settings}
    with pytest.raises(ValueError, match=message):
        walk_forward("fake", {"x": [0]}, "2330", start="2024-02-01", end="2024-02-20", engine=InlineEngine(),
                     run_fn="sweep_fakes:walk_run", progress=False, **arguments)


def _command(*argv):
    parser = argparse.ArgumentParser(prog="vorn-kest-backtest")
    add_walk_forward_command(parser.add_subparsers(dest="command"))
    args = parser.parse_args(["walkforward", "fake", *argv])
    assert args.handler is run_walk_forward_command
    return run_walk_forward_command(args)


def test_the_command_refuses_more_than_one_range(tmp_path, console):
    grid = tmp_path / "grid.toml"
    grid.write_text('[params]\nx = [0]\n[[ranges]]\nstart = 2024-02-01\nend = 2024-02-09\n'
                    '[[ranges]]\nstart = 2024-02-12\nend = 2024-02-20\n', encoding="utf-8")
    assert _command("--grid", str(grid), "--run-fn", "sweep_fakes:walk_run") == 2
    shown = Text.from_markup(console.lines[-1]).plain  # as the console prints it
    assert "最多一段 [[ranges]]" in shown and shown.endswith("grid.toml")


@pytest.mark.slow
@pytest.mark.timeout(WAIT)
def test_the_command_writes_windows_training_equity_and_report(tmp_path, console):
    grid = tmp_path / "grid.toml"
    grid.write_text('codes = ["2330"]\nmetric = "sharpe"\n[params]\nx = [0, 1, 2]\n'
                    '[[ranges]]\nstart = 2024-02-01\nend = 2024-02-20\n', encoding="utf-8")
    output = tmp_path / "out" / "wf.csv"
    code = _command("--grid", str(grid), "--run-fn", "sweep_fakes:walk_run", "--train", "3d", "--test", "2d",
                    "--workers", "1", "--output", str(output), "--timeout", str(WAIT), "--no-progress")
    assert code == 0
    assert sorted(path.name for path in output.parent.iterdir()) == [
        "wf-equity.csv", "wf-training.csv", "wf-training.parquet", "wf.csv", "wf.html", "wf.parquet"]
    assert pl.read_csv(output)["x"].to_list() == [1, 2]


@pytest.mark.slow
@pytest.mark.timeout(WAIT * 2)
@pytest.mark.parametrize("engine", [
    lambda: LocalPoolEngine(workers=2),
    lambda: DaskEngine(workers=2, processes=False),
], ids=["local", "dask"])
def test_walk_forward_matches_the_same_runs_done_one_by_one(engine):
    grid = [{"fast": 5, "slow": 20}, {"fast": 5, "slow": 40}, {"fast": 10, "slow": 20}, {"fast": 10, "slow": 40}]
    outcome = walk_forward(DEMO_STRATEGY, grid, "2330", start="2024-03-04", end="2024-03-15", train="4d", test="2d",
                           metric="sharpe", engine=engine(), timeout=WAIT, progress=False)

    # 4 to 15 March 2024 are ten trading days without a holiday
    spans = [(("2024-03-04", "2024-03-07"), ("2024-03-08", "2024-03-11")),
             (("2024-03-06", "2024-03-11"), ("2024-03-12", "2024-03-13")),
             (("2024-03-08", "2024-03-13"), ("2024-03-14", "2024-03-15"))]

    def run(params, span, **options):
        return run_sweep_job({"strategy": DEMO_STRATEGY, "params": params, "codes": ["2330"], "start": span[0],
                              "end": span[1], "options": options})

    stitched, returns, value = [], [], None
    for index, (train, test) in enumerate(spans):
        figures = [run(params, train)["sharpe"] for params in grid]
        best = max(range(len(grid)), key=lambda n: (figures[n], -n))  # ties go to the earlier set
        row = outcome.windows.row(index, named=True)
        assert (row["train_start"], row["train_end"], row["test_start"], row["test_end"]) == (*train, *test)
        assert {"fast": row["fast"], "slow": row["slow"]} == grid[best]
        assert row["is_sharpe"] == pytest.approx(figures[best])
        tested = run(grid[best], test, daily_equity=True)
        assert (row["oos_net_profit"], row["oos_sharpe"]) == pytest.approx((tested["net_profit"], tested["sharpe"]))
        previous = tested["initial_capital"]
        value = previous if value is None else value
        for day, close in tested["daily_equity"]:
            returns.append(close / previous - 1)
            value *= close / previous
            previous = close
            stitched.append((day, index, value))

    assert outcome.equity.select("date", "window").rows() == [(day, window) for day, window, _ in stitched]
    assert outcome.equity["equity"].to_list() == pytest.approx([value for _, _, value in stitched])
    mean = sum(returns) / len(returns)
    deviation = math.sqrt(sum((r - mean) ** 2 for r in returns) / (len(returns) - 1))
    assert outcome.statistics["sharpe"] == pytest.approx(mean / deviation * math.sqrt(252))
    assert outcome.statistics["final_capital"] == pytest.approx(stitched[-1][2])
