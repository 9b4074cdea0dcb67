"""The figures strategies are compared by, as pure functions over an equity series and profit rows.

Equity values are in account currency; daily returns come from the marked-to-market equity at each
trading day's close (risk-free rate 0, 252 trading days a year). A figure that cannot be computed
(no losing trade for the profit factor, a flat series for Sharpe) is None, never infinite.
A trade wins when its profit after costs is above 0; one of exactly 0 is a loss, as the account counts it.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import date
from itertools import chain

import numpy as np

TRADING_DAYS_PER_YEAR = 252
DAYS_PER_YEAR = 365.25


@dataclass(frozen=True)
class Drawdown:
    amount: float
    fraction: float
    days: float  # from the peak to the recovery (or to the end when it never recovered)


def total_return(initial: float, final: float) -> float | None:
    return final / initial - 1.0 if initial else None


def cagr(initial: float, final: float, first_day: date, last_day: date) -> float | None:
    """Compound annual growth; None for a range shorter than a year (not extrapolated) or a wiped-out account."""
    years = ((last_day - first_day).days + 1) / DAYS_PER_YEAR
    if years < 1.0 or initial <= 0 or final <= 0:
        return None
    return (final / initial) ** (1.0 / years) - 1.0


def daily_returns(initial: float, closes: Sequence[float]) -> list[float]:
    """Return of each day's close against the previous close (the first against the initial capital)."""
    returns, previous = [], float(initial)
    for value in closes:
        returns.append(value / previous - 1.0 if previous > 0 else 0.0)
        previous = value
    return returns


def sharpe(returns: Sequence[float]) -> float | None:
    if len(returns) < 2:
        return None
    mean = sum(returns) / len(returns)
    std = math.sqrt(sum((r - mean) ** 2 for r in returns) / (len(returns) - 1))
    return mean / std * math.sqrt(TRADING_DAYS_PER_YEAR) if std > 0 else None


def sortino(returns: Sequence[float]) -> float | None:
    """Mean return over the downside deviation sqrt(mean(min(r, 0)^2)), annualised."""
    if len(returns) < 2:
        return None
    downside = math.sqrt(sum(min(r, 0.0) ** 2 for r in returns) / len(returns))
    return sum(returns) / len(returns) / downside * math.sqrt(TRADING_DAYS_PER_YEAR) if downside > 0 else None


Samples = Sequence[tuple[float, float]] | np.ndarray


def sample_pairs(samples: Samples) -> np.ndarray:
    """(epoch seconds, equity) samples as an (n, 2) float array; an array passes through."""
    if isinstance(samples, np.ndarray):
        return samples.reshape(-1, 2)
    # Flattened through an iterator: a quarter of the time np.asarray takes over a list of tuples.
    flat = np.fromiter(chain.from_iterable(samples), dtype=np.float64, count=2 * len(samples))
    return flat.reshape(-1, 2)


def max_drawdown(samples: Samples) -> Drawdown:
    """Largest fall from a running peak over (epoch seconds, equity) samples, and how long it lasted."""
    if not len(samples):
        return Drawdown(0.0, 0.0, 0.0)
    pairs = sample_pairs(samples)
    stamps, values = pairs[:, 0], pairs[:, 1]
    peaks = np.maximum.accumulate(values)
    at_peak = values >= peaks  # a sample that reaches or renews the running peak
    falls = peaks - values
    deepest = int(np.argmax(falls))  # the first sample of the largest fall: later equal falls do not replace it
    amount = float(falls[deepest])
    if amount <= 0:
        return Drawdown(0.0, 0.0, 0.0)
    peak_value = float(peaks[deepest])
    fraction = amount / peak_value if peak_value > 0 else 1.0
    episode_start = float(stamps[int(np.flatnonzero(at_peak[: deepest + 1])[-1])])
    recoveries = np.flatnonzero(at_peak[deepest + 1:])
    end = stamps[deepest + 1 + int(recoveries[0])] if len(recoveries) else stamps[-1]
    return Drawdown(amount, fraction, float((end - episode_start) / 86400))


def is_win(profit: float) -> bool:
    return profit > 0


def wins(profits: Sequence[float]) -> int:
    return sum(1 for p in profits if is_win(p))


def profit_factor(profits: Sequence[float]) -> float | None:
    gains = sum(p for p in profits if is_win(p))
    losses = -sum(p for p in profits if not is_win(p))
    return gains / losses if losses > 0 else None


def expectancy(profits: Sequence[float]) -> float | None:
    return sum(profits) / len(profits) if profits else None


def average_win(profits: Sequence[float]) -> float | None:
    won = [p for p in profits if is_win(p)]
    return sum(won) / len(won) if won else None


def average_loss(profits: Sequence[float]) -> float | None:
    """Mean of the losing trades (break-even ones included), as a negative amount or 0."""
    losses = [p for p in profits if not is_win(p)]
    return sum(losses) / len(losses) if losses else None


def longest_losing_streak(profits: Sequence[float]) -> int:
    longest = current = 0
    for profit in profits:
        current = 0 if is_win(profit) else current + 1
        longest = max(longest, current)
    return longest


def exposure(held: Sequence[bool]) -> float:
    """Share of the sampled minutes that ended with a position open."""
    return int(np.count_nonzero(np.asarray(held, dtype=bool))) / len(held) if len(held) else 0.0
