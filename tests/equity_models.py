"""Straightforward loops over equity samples: the models the vectorised daily closes and drawdown are checked
against, and the bench's comparison."""

from __future__ import annotations

from vorn_kest_backtest.modules.market.market import TradingCalendar
from vorn_kest_backtest.runner.statistics import Drawdown
from vorn_kest_backtest.runner.trading_days import DATE_FORMAT


def looped_closes(samples, market):
    calendar = TradingCalendar()
    closes: dict[str, float] = {}
    for stamp, value in sorted(samples):
        closes[calendar.trading_date(market, stamp).strftime(DATE_FORMAT)] = value
    return list(closes.items())


def looped_drawdown(samples):
    amount = fraction = 0.0
    episode_start = None
    days = 0.0
    peak_time, peak = samples[0] if samples else (0.0, 0.0)
    for stamp, value in samples:
        if value >= peak:
            if episode_start is not None:
                days, episode_start = (stamp - episode_start) / 86400, None
            peak_time, peak = stamp, value
        elif peak - value > amount:
            amount, fraction = peak - value, (peak - value) / peak if peak > 0 else 1.0
            episode_start = peak_time
    if episode_start is not None:
        days = (samples[-1][0] - episode_start) / 86400
    return Drawdown(amount, fraction, days)
