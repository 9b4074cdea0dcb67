"""Real backtests in a sweep: the bundled strategy on the simulated broker, through both engines."""

from __future__ import annotations

import pytest
from polars.testing import assert_frame_equal

from vorn_kest_backtest.cli import DEMO_STRATEGY
from vorn_kest_backtest.runner import run_sweep_job, sweep_run
from vorn_kest_backtest.runner.errors import BacktestInputError
from vorn_kest_backtest.sweep import run_sweep
from vorn_kest_backtest.sweep.dask_engine import DaskEngine
from vorn_kest_backtest.sweep.local_engine import LocalPoolEngine

GRID = {"fast": [10, 30], "slow": [40, 60, 90]}
RANGE = [("2024-03-04", "2024-03-05")]
WAIT = 240


def _sweep(engine):
    return run_sweep(DEMO_STRATEGY, GRID, ["2330:Stock"], RANGE, engine=engine, timeout=WAIT, progress=False, top=0)


@pytest.mark.slow
@pytest.mark.timeout(WAIT * 2)
def test_the_same_grid_gives_the_same_table_on_the_pool_and_on_dask():
    local = _sweep(LocalPoolEngine(workers=2))
    dask = _sweep(DaskEngine(workers=2, processes=False))
    assert local.failed == 0 and local.table.height == 6
    assert local.table["trades"].min() >= 1
    assert_frame_equal(local.table.drop("run_time_s"), dask.table.drop("run_time_s"))
    profits = local.table["net_profit"].to_list()
    assert profits == sorted(profits, reverse=True)


def test_parameters_reach_the_strategy_and_the_run_stays_quiet(console):
    job = {"strategy": DEMO_STRATEGY, "params": {"fast": 5, "slow": 20}, "codes": ["2330"],
            "start": "2024-03-04", "end": "2024-03-04", "options": {"initial_capital": 5_000_000}}
    quick = run_sweep_job(job)
    slow = run_sweep_job({**job, "params": {"fast": 30, "slow": 120}})
    assert quick["trades"] > slow["trades"]
    assert quick["final_capital"] == pytest.approx(5_000_000 + quick["net_profit"])
    assert console.lines == []


@pytest.mark.parametrize(("change", "message"), [
    ({"params": {"no_such": 1}}, "no_such"),
    ({"codes": ["99ZZ:Stock"]}, "99ZZ"),
    ({"codes": ["2330:Bond"]}, "2330:Bond"),
    ({"options": {"fees": "cheap"}}, "cheap"),
])
def test_bad_run_settings_are_refused_by_name(change, message):
    job = {"strategy": DEMO_STRATEGY, "params": {}, "codes": [], "start": "2024-03-04", "end": "2024-03-04"}
    with pytest.raises(BacktestInputError, match=message):
        run_sweep_job({**job, **change})


@pytest.mark.parametrize(("options", "fees"), [({}, "tw_broker"), ({"fees": "table"}, "table")])
def test_the_sweep_option_fees_chooses_the_fee_profile(monkeypatch, options, fees):
    seen = {}

    def run_backtest(*args, **kwargs):
        seen.update(kwargs)
        raise RuntimeError("stop after the call")

    monkeypatch.setattr(sweep_run, "run_backtest", run_backtest)
    job = {"strategy": DEMO_STRATEGY, "codes": ["2330"], "start": "2024-03-04", "end": "2024-03-04",
           "options": options}
    with pytest.raises(RuntimeError, match="stop after the call"):
        run_sweep_job(job)
    assert seen["fees"] == fees


@pytest.mark.slow
@pytest.mark.timeout(WAIT)
def test_prefetch_fills_the_shared_cache_before_any_run(data_dir, console):
    outcome = run_sweep(DEMO_STRATEGY, {"n": [0, 1, 2, 3]}, ["2330"], [("2024-03-04", "2024-03-06")],
                        engine=LocalPoolEngine(workers=2), run_fn="sweep_fakes:cached_days_run", prefetch=True,
                        metric="trades", timeout=WAIT, progress=False, top=0)
    # every run found the three days of 2330 cached when it started
    assert outcome.table["trades"].to_list() == [3, 3, 3, 3]
    assert "[green]預先載入 Tick 資料: 1 個代碼與區間[/green]" in console.lines
