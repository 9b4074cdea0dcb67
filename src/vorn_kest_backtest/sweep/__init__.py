"""參數掃描: 多組參數 x 商品 x 日期區間的獨立回測, 在本機程序池或 Dask 叢集上執行; 以及 walk-forward 最佳化.

`sweep(...)` returns a polars DataFrame of one row per run; `add_sweep_command` and
`run_sweep_command` give the same as the `sweep` sub-command of the command line.
`walk_forward(...)` and the `walkforward` sub-command choose parameters on training days and
judge them on the test days that follow.
"""

from __future__ import annotations

from importlib import import_module
from typing import Any

# Loaded on first use: the command line builds its parser from this package without polars.
_HOMES = {
    "SweepOutcome": "vorn_kest_backtest.sweep.api",
    "run_sweep": "vorn_kest_backtest.sweep.api",
    "sweep": "vorn_kest_backtest.sweep.api",
    "add_sweep_command": "vorn_kest_backtest.sweep.command",
    "run_sweep_command": "vorn_kest_backtest.sweep.command",
    "GridFile": "vorn_kest_backtest.sweep.grid_file",
    "load_grid_file": "vorn_kest_backtest.sweep.grid_file",
    "build_plan": "vorn_kest_backtest.sweep.plan",
    "WalkForwardOutcome": "vorn_kest_backtest.sweep.walkforward",
    "walk_forward": "vorn_kest_backtest.sweep.walkforward",
    "add_walk_forward_command": "vorn_kest_backtest.sweep.walkforward_command",
    "run_walk_forward_command": "vorn_kest_backtest.sweep.walkforward_command",
}

__all__ = [
    "GridFile",
    "SweepOutcome",
    "WalkForwardOutcome",
    "add_sweep_command",
    "add_walk_forward_command",
    "build_plan",
    "load_grid_file",
    "run_sweep",
    "run_sweep_command",
    "run_walk_forward_command",
    "sweep",
    "walk_forward",
]


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(import_module(home), name)
