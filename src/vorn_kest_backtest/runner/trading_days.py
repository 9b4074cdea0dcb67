"""Daily closes of the account's equity, one per exchange trading date."""

from __future__ import annotations

from collections.abc import Iterable
from datetime import date, timedelta

import numpy as np

from vorn_kest_backtest.modules.market.market import TradingCalendar
from vorn_kest_backtest.runner.statistics import Samples, sample_pairs

DATE_FORMAT = "%Y-%m-%d"
_EPOCH_DAY = date(1970, 1, 1)


def daily_closes(samples: Samples, markets: Iterable[str] = ()) -> list[tuple[str, float]]:
    """The last (epoch seconds, equity) sample of each trading date, as ("%Y-%m-%d", equity), in date order.

    markets: the run's markets ("Stock"/"Future"); with a futures code the night session from its opening, its
    part after midnight included, closes on the next trading date, as the exchange counts it.
    """
    if not len(samples):
        return []
    market = "Future" if "Future" in set(markets) else "Stock"
    pairs = sample_pairs(samples)
    # Time order, equal stamps by value: the order of sorting the (stamp, value) pairs.
    ordered = pairs[np.lexsort((pairs[:, 1], pairs[:, 0]))]
    days = TradingCalendar().trading_days(market, np.ascontiguousarray(ordered[:, 0]))
    # A date's close is its last sample; dates keep the order of their first sample.
    unique, first = np.unique(days, return_index=True)
    last = len(days) - 1 - np.unique(days[::-1], return_index=True)[1]
    order = np.argsort(first, kind="stable")
    return [((_EPOCH_DAY + timedelta(days=int(day))).strftime(DATE_FORMAT), float(ordered[index, 1]))
            for day, index in zip(unique[order], last[order], strict=True)]
