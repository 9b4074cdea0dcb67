"""One progress bar over the days a quiet run downloads or reads, in place of the Ticker's line per day."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from rich.console import Console
from rich.progress import Progress, SpinnerColumn, TextColumn, TimeElapsedColumn

from vorn_kest_backtest.ticks.fetch import auto_fetch, fetches_natively


def counting_ticker(ticker_class: type, advance: Callable[[], None]) -> type:
    """A Ticker whose per-day fetch (the method the combine step calls for each code and day) also counts."""

    native = fetches_natively(ticker_class)

    class CountingTicker(ticker_class):  # type: ignore[misc, valid-type]
        def _Ticker__auto_fetch_ticks(self, code: Any, product_type: Any, date: Any) -> Any:
            try:
                if native:
                    return auto_fetch(self, code, product_type, date)
                return super()._Ticker__auto_fetch_ticks(code, product_type, date)
            finally:
                advance()

    return CountingTicker


@contextmanager
def fetch_progress(ticker_class: type) -> Iterator[type]:
    """Yields a Ticker class that advances a transient bar on standard error for every day fetched."""
    columns = (SpinnerColumn(), TextColumn("取得 Tick 資料: {task.completed} 個代碼日"), TimeElapsedColumn())
    with Progress(*columns, console=Console(stderr=True), transient=True) as progress:
        task = progress.add_task("fetch", total=None)
        yield counting_ticker(ticker_class, lambda: progress.advance(task))
