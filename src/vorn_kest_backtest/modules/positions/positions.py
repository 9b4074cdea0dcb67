"""Account, positions, quotes and reports, from the compiled core."""

from vorn_kest_backtest._core.positions import (
    Ledger,
    OrderMatcher,
    QuoteManager,
    drive_replay,
    trailing_stop_level,
)
from vorn_kest_backtest._core.ticker import Queue
from vorn_kest_backtest.modules.positions.account import Positions

__all__ = [
    "Ledger",
    "OrderMatcher",
    "Positions",
    "Queue",
    "QuoteManager",
    "drive_replay",
    "trailing_stop_level",
]
