"""Sweeps of a class defined where the caller stands (a notebook cell, a test function), sent to workers by
value; a strategy file given by a relative path reaches workers as an absolute one."""

from __future__ import annotations

import os
import shutil

import pytest

import vorn_kest_backtest as vkb
from vorn_kest_backtest.cli import DEMO_STRATEGY
from vorn_kest_backtest.runner import run_sweep_job
from vorn_kest_backtest.sweep import build_plan, run_sweep
from vorn_kest_backtest.sweep.dask_engine import DaskEngine
from vorn_kest_backtest.sweep.local_engine import LocalPoolEngine
from vorn_kest_backtest.sweep.strategy_ref import StrategyByValue

GRID = {"lots": [1, 2], "every": [2, 3]}
WAIT = 240


def cell_strategy() -> type[vkb.Strategy]:
    # Lives only inside this function: workers cannot import it by name.
    class EveryNthBar(vkb.Strategy):
        codes = [("2330", "Stock")]
        start = "2024-03-04"
        end = "2024-03-04"
        initial_capital = 5_000_000
        lots = 1
        every = 2

        def __init__(self) -> None:
            self.seen = 0

        def on_start(self, ctx: vkb.Context) -> None:
            ctx.subscribe("2330", "m", 15)

        def on_bar(self, bar: vkb.Bar, ctx: vkb.Context) -> None:
            self.seen += 1
            if self.seen % self.every:
                return
            held = ctx.positions("2330")
            if held:
                ctx.sell("2330", held)
            else:
                ctx.buy("2330", self.lots)

    return EveryNthBar


def _expected_trades(strategy) -> dict[tuple[int, int], int]:
    return {(lots, every): run_sweep_job({"strategy": build_plan(strategy, {"x": [0]})[0]["strategy"],
                                          "params": {"lots": lots, "every": every}, "codes": []})["trades"]
            for lots in GRID["lots"] for every in GRID["every"]}


@pytest.mark.slow
@pytest.mark.timeout(WAIT * 2)
@pytest.mark.parametrize("engine", ["local pool", "dask on 127.0.0.1"])
def test_a_class_defined_in_a_function_sweeps_on_worker_processes(engine):
    strategy = cell_strategy()
    chosen = LocalPoolEngine(workers=2) if engine == "local pool" else DaskEngine(workers=2, processes=True)
    outcome = run_sweep(strategy, GRID, engine=chosen, timeout=WAIT, progress=False, top=0)
    assert outcome.failed == 0, outcome.table["error"].to_list()
    found = {(row["lots"], row["every"]): row["trades"] for row in outcome.table.iter_rows(named=True)}
    assert found == _expected_trades(strategy)
    assert min(found.values()) >= 1


def test_a_class_goes_into_the_plan_by_value_and_comes_back_whole():
    strategy = cell_strategy()
    sent = build_plan(strategy, {"lots": [1]})[0]["strategy"]
    assert isinstance(sent, StrategyByValue) and sent.name == "EveryNthBar"
    loaded = sent.load()
    assert loaded.__name__ == "EveryNthBar" and issubclass(loaded, vkb.Strategy)
    assert run_sweep_job({"strategy": sent, "params": {"lots": 1}, "codes": []})["trades"] >= 1


def test_a_relative_strategy_path_is_made_absolute_before_it_is_sent(tmp_path, monkeypatch):
    shutil.copy(DEMO_STRATEGY, tmp_path / "ma.py")
    monkeypatch.chdir(tmp_path)
    jobs = build_plan("ma.py", {"fast": [5]})
    assert jobs[0]["strategy"] == os.path.join(str(tmp_path), "ma.py")
    # Names that are no file stay as given: a custom run function interprets them.
    assert build_plan("fake", {"n": [1]})[0]["strategy"] == "fake"
