"""參數掃描: 多組參數 x 商品 x 日期區間的獨立回測, 在本機程序池或 Dask 叢集上執行.

`sweep(...)` returns a polars DataFrame of one row per run; `add_sweep_command` and
`run_sweep_command` give the same as the `sweep` sub-command of the command line.
"""

from vorn_kest_backtest.sweep.api import SweepOutcome, run_sweep, sweep
from vorn_kest_backtest.sweep.command import add_sweep_command, run_sweep_command
from vorn_kest_backtest.sweep.grid_file import GridFile, load_grid_file
from vorn_kest_backtest.sweep.plan import build_plan

__all__ = [
    "GridFile",
    "SweepOutcome",
    "add_sweep_command",
    "build_plan",
    "load_grid_file",
    "run_sweep",
    "run_sweep_command",
    "sweep",
]
