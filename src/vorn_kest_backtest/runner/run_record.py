"""What a run leaves behind for a caller that wants its results as data: the account, the quotes, the orders
the strategy placed and the equity recorder."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass
class RunRecord:
    """Filled by `run_backtest` when given; `BacktestResult` reads it."""

    positions: Any = None
    quote_manager: Any = None
    recorder: Any = None
    markets: dict[str, str] = field(default_factory=dict)
    orders: dict[str, Any] = field(default_factory=dict)  # trade_id -> Order, in the order placed
    fill_limits: dict[str, float] = field(default_factory=dict)

    def attach(self, positions, quote_manager, ctx, recorder, markets: dict[str, str]) -> None:
        """Called once the run's account and context exist, before the strategy's on_start."""
        self.positions, self.quote_manager, self.recorder, self.markets = positions, quote_manager, recorder, markets
        book = ctx.order_book
        self.fill_limits = book.fill_limits
        submit = book.submit

        def recording_submit(*args: Any, **kwargs: Any) -> Any:
            order = submit(*args, **kwargs)
            self.orders[order.trade_id] = order
            return order

        # The book keeps working orders only; the handles the strategy got back are the orders of the run.
        book.submit = recording_submit
