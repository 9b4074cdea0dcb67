"""Parameter sweep: 16 CPU-bound runs on the local process pool (and on a local Dask cluster),
against the same 16 runs called one after another in this process.

Each run is a pure-Python loop calibrated to about --run-seconds on this machine, so the ratio
shows what the engines add on top of the work: worker start-up, pickling, result gathering.
With --run-fn the real per-run function can be measured instead.
"""

from __future__ import annotations

import argparse
import os
import time

from vorn_kest_backtest.sweep import SweepOutcome, build_plan, run_sweep
from vorn_kest_backtest.sweep.dask_engine import DaskEngine
from vorn_kest_backtest.sweep.local_engine import LocalPoolEngine
from vorn_kest_backtest.sweep.run_function import resolve_run_fn
from vorn_kest_backtest.sweep.worker import execute_run

SWEEP = ("bench", {"fast": [5, 10, 15, 20], "slow": [30, 60, 90, 120]}, ["2330"], [("2024-01-02", "2024-01-31")])


def cpu_run(job: dict) -> dict:
    """A deterministic stand-in backtest: a pure-Python loop of options["loops"] steps."""
    fast, slow = job["params"]["fast"], job["params"]["slow"]
    total, state = 0, fast * 7919 + slow
    for _ in range(job["options"]["loops"]):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        total += state % (slow - fast)
    net = float(total % 100_000 - 50_000)
    return {"trades": fast + slow, "win_rate": (total % 97) / 97, "net_profit": net,
            "max_drawdown": -float(total % 5000), "final_capital": 1_000_000.0 + net}


def calibrate(seconds: float) -> int:
    loops = 50_000
    job = {"params": {"fast": 5, "slow": 30}, "options": {"loops": loops}}
    began = time.perf_counter()
    cpu_run(job)
    return max(1, int(loops * seconds / (time.perf_counter() - began)))


def timed_sweep(engine, run_fn: str, options: dict) -> tuple[float, SweepOutcome]:
    began = time.perf_counter()
    outcome = run_sweep(*SWEEP, engine=engine, run_fn=run_fn, options=options, progress=False, top=0, timeout=600)
    return time.perf_counter() - began, outcome


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--run-seconds", type=float, default=0.5)
    parser.add_argument("--run-fn", default="bench_sweep:cpu_run")
    parser.add_argument("--workers", type=int, default=os.cpu_count())
    parser.add_argument("--no-dask", dest="dask", action="store_false")
    args = parser.parse_args()
    options = {"loops": calibrate(args.run_seconds)}
    jobs = build_plan(*SWEEP, options=options)
    print(f"{len(jobs)} runs, {options['loops']:,} loop steps each (~{args.run_seconds} s), "
          f"{args.workers} workers, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} before start")

    run_fn = resolve_run_fn(args.run_fn)
    began = time.perf_counter()
    failed = sum(execute_run(run_fn, job)["error"] is not None for job in jobs)
    one_by_one = time.perf_counter() - began
    print(f"one after another  : {one_by_one:7.2f} s  ({one_by_one / len(jobs):.3f} s per run, {failed} failed)")

    pool_time, pool = timed_sweep(LocalPoolEngine(args.workers), args.run_fn, options)
    print(f"local process pool : {pool_time:7.2f} s  speed-up x{one_by_one / pool_time:.2f}  ({pool.failed} failed)")

    if args.dask:
        dask_time, dask = timed_sweep(DaskEngine(workers=args.workers), args.run_fn, options)
        same = pool.table.drop("run_time_s").equals(dask.table.drop("run_time_s"))
        print(f"dask LocalCluster  : {dask_time:7.2f} s  speed-up x{one_by_one / dask_time:.2f}  "
              f"(same table as the pool: {same})")


if __name__ == "__main__":
    main()
