"""The stitched out-of-sample equity of a walk-forward and its statistics.

Each test run starts afresh with the initial capital. Its daily returns (each close against the
one before, the first against that run's initial capital) are chained in window order onto the
first run's initial capital, so the curve compounds as one account trading every test span in turn.
The figures come from the same functions as a single run's summary.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from datetime import UTC, date, datetime
from typing import Any

from vorn_kest_backtest.runner import statistics as stats


@dataclass(frozen=True)
class WindowEquity:
    """One window's test run: its initial capital and its equity at each day's close."""

    window: int
    initial_capital: float
    closes: Sequence[tuple[str, float]]


def stitch(runs: Sequence[WindowEquity]) -> list[tuple[str, int, float]]:
    """(日期, 窗口, 權益) 依窗口順序串接; 每段以該測試回測的日報酬接在前一段的權益上."""
    curve: list[tuple[str, int, float]] = []
    value = None
    for run in sorted(runs, key=lambda item: item.window):
        if not run.closes:
            continue
        value = run.initial_capital if value is None else value
        for (day, _close), change in zip(run.closes, stats.daily_returns(run.initial_capital,
                                                                         [close for _, close in run.closes]),
                                         strict=True):
            value *= 1.0 + change
            curve.append((day, run.window, value))
    return curve


def stitched_statistics(runs: Sequence[WindowEquity]) -> dict[str, Any]:
    """串接後權益的報酬, CAGR, Sharpe, Sortino 與最大回撤 (與單次回測的統計相同的算法)."""
    ordered = [run for run in sorted(runs, key=lambda item: item.window) if run.closes]
    curve = stitch(ordered)
    if not curve:
        return {"trading_days": 0, "windows": 0}
    initial = ordered[0].initial_capital
    final = curve[-1][2]
    returns = []
    for run in ordered:
        returns += stats.daily_returns(run.initial_capital, [close for _, close in run.closes])
    stamps = [(_epoch(day), value) for day, _window, value in curve]
    drawdown = stats.max_drawdown([(stamps[0][0], initial), *stamps])
    return {
        "initial_capital": initial,
        "final_capital": final,
        "net_profit": final - initial,
        "total_return": stats.total_return(initial, final),
        "cagr": stats.cagr(initial, final, date.fromisoformat(curve[0][0]), date.fromisoformat(curve[-1][0])),
        "sharpe": stats.sharpe(returns),
        "sortino": stats.sortino(returns),
        "max_drawdown": drawdown.amount,
        "max_drawdown_pct": drawdown.fraction,
        "max_drawdown_days": drawdown.days,
        "trading_days": len(returns),
        "windows": len(ordered),
    }


def _epoch(day: str) -> float:
    return datetime.fromisoformat(day).replace(tzinfo=UTC).timestamp()
