"""What a run leaves behind for a caller that wants its results as data: the account, the quotes, the order
book and the equity recorder."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass
class RunRecord:
    """Filled by `run_backtest` when given; `BacktestResult` reads it."""

    positions: Any = None
    quote_manager: Any = None
    book: Any = None
    recorder: Any = None
    markets: dict[str, str] = field(default_factory=dict)

    def attach(self, positions, quote_manager, ctx, recorder, markets: dict[str, str]) -> None:
        """Called once the run's account and context exist, before the strategy's on_start."""
        self.positions, self.quote_manager, self.recorder, self.markets = positions, quote_manager, recorder, markets
        self.book = ctx.order_book
