"""Column names of the sweep result table, in table order around the swept parameters."""

from __future__ import annotations

RUN_COLUMN = "run"
PLACE_COLUMNS = ("codes", "start", "end")
METRIC_COLUMNS = (
    "trades", "win_rate", "net_profit", "max_drawdown", "final_capital",
    "total_return", "cagr", "sharpe", "sortino", "max_drawdown_pct", "max_drawdown_days", "profit_factor",
    "expectancy", "average_win", "average_loss", "longest_losing_streak", "exposure", "trading_days",
)
COUNT_METRICS = frozenset({"trades", "longest_losing_streak", "trading_days"})
RUN_TIME_COLUMN = "run_time_s"
STATUS_COLUMN = "status"
ERROR_COLUMN = "error"

# What became of a run, in the order the table lists them.
STATUS_OK = "ok"
STATUS_FAILED = "failed"
STATUS_INTERRUPTED = "interrupted"  # it had begun when the sweep stopped
STATUS_NOT_RUN = "not run"
STATUSES = (STATUS_OK, STATUS_FAILED, STATUS_INTERRUPTED, STATUS_NOT_RUN)
FINISHED_STATUSES = frozenset({STATUS_OK, STATUS_FAILED})

FIXED_COLUMNS = frozenset((RUN_COLUMN, *PLACE_COLUMNS, *METRIC_COLUMNS, RUN_TIME_COLUMN, STATUS_COLUMN, ERROR_COLUMN))
