"""Tick replay: the Ticker and its queue, from the compiled core (the private helpers too, for ticks/)."""

from vorn_kest_backtest._core.ticker import (
    NotLoggedInError,
    Queue,
    Ticker,
    _check_path_component as _check_path_component,
    _first_bad_trade_price as _first_bad_trade_price,
    _tick_source_folder as _tick_source_folder,
)

__all__ = [
    "NotLoggedInError",
    "Queue",
    "Ticker",
]
