"""Daily closes of the account's equity, one per exchange trading date."""

from __future__ import annotations

from collections.abc import Iterable, Sequence

from vorn_kest_backtest.modules.market.market import TradingCalendar

DATE_FORMAT = "%Y-%m-%d"


def daily_closes(samples: Sequence[tuple[float, float]], markets: Iterable[str] = ()) -> list[tuple[str, float]]:
    """The last (epoch seconds, equity) sample of each trading date, as ("%Y-%m-%d", equity), in date order.

    markets: the run's markets ("Stock"/"Future"); with a futures code the night session from 15:00, its
    part after midnight included, closes on the next trading date, as the exchange counts it.
    """
    market = "Future" if "Future" in set(markets) else "Stock"
    calendar = TradingCalendar()
    closes: dict[str, float] = {}
    for stamp, value in sorted(samples):
        closes[calendar.trading_date(market, stamp).strftime(DATE_FORMAT)] = value
    return list(closes.items())
