"""Tick replay: the Ticker and its queue, from the compiled core."""

# The tick data path (vorn_kest_backtest.ticks) takes the private helpers from here too.
from vorn_kest_backtest._core.ticker import (
    NotLoggedInError,
    Queue,
    Ticker,
    _check_path_component,  # noqa: F401
    _first_bad_trade_price,  # noqa: F401
    _tick_source_folder,  # noqa: F401
)

__all__ = [
    "NotLoggedInError",
    "Queue",
    "Ticker",
]
