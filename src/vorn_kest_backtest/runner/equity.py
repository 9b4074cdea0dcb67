"""Equity marked to market, sampled once a minute: the account ledger's equity at the closes seen so far."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

Sample = tuple[float, float]  # (epoch seconds of the last tick in the minute, equity)


class EquityRecorder:
    """A sample is taken when a tick given to `on_tick` opens a new minute. The engine gives every tick,
    or (its C++ driver) only the ticks that may open a new minute, through `sample_minute`.

    Each sample is stamped with the previous minute's last tick and taken before the new tick is
    booked, so it shows the account as that minute closed.
    """

    def __init__(self, positions) -> None:
        self._ledger = positions.ledger
        self._last_prices: dict[str, float] = {}
        self._minute_end = float("-inf")
        self._stamp: float | None = None
        self.samples: list[Sample] = []
        self.held: list[bool] = []  # whether a position was open at each sample
        self.cash: list[float] = []  # the ledger's cash at each sample
        self.margins: list[float] = []  # futures margin in use at each sample
        # Margins in force change by trading date, so a position held through a raise occupies more between fills.
        self.peak_margin = 0.0

    def on_tick(self, tick: Mapping[str, Any]) -> None:
        timestamp = tick["timestamp"]
        self._open_minute(timestamp)
        self._last_prices[tick["code"]] = tick["close"]
        self._stamp = timestamp

    def catch_up(self, closes: Mapping[str, float], stamp: float) -> None:
        """The ticks not handed to `on_tick`: each code's last close and the last tick's timestamp."""
        self._last_prices.update(closes)
        self._stamp = stamp

    def sample_minute(self, closes: Mapping[str, float], stamp: float | None, timestamp: float) -> float:
        """The C++ driver's one call for a tick that may open a new minute: `catch_up` with the ticks before
        it (none before the first tick), then that tick's minute. Returns the first timestamp of the next
        minute: ticks before it are not handed over. The tick's own close and time come with the next
        call's `closes` and `stamp`."""
        if stamp is not None:
            self.catch_up(closes, stamp)
        self._open_minute(timestamp)
        return self._minute_end

    def _open_minute(self, timestamp: float) -> None:
        """A tick from a new minute on samples the minute before it."""
        if timestamp >= self._minute_end:
            if self._stamp is not None:
                self._sample()
            self._minute_end = (timestamp // 60 + 1) * 60

    def finish(self) -> list[Sample]:
        """The closing sample after the last tick; returns all samples."""
        if self._stamp is not None and (not self.samples or self.samples[-1][0] != self._stamp):
            self._sample()
        return self.samples

    def _sample(self) -> None:
        if self._stamp is None:
            return
        for code, close in self._last_prices.items():
            self._ledger.mark(code, float(close), self._stamp)
        self.samples.append((self._stamp, self._ledger.equity()))
        self.held.append(self._ledger.has_positions())
        self.cash.append(self._ledger.cash())
        self.margins.append(self._ledger.margin_in_use())
        self.peak_margin = max(self.peak_margin, self.margins[-1])


def realised_samples(rows: list[Mapping[str, Any]], initial_capital: float) -> list[Sample]:
    """Initial capital plus the profit of each closed pair, in exit order."""
    equity = float(initial_capital)
    samples = []
    for row in sorted(rows, key=lambda r: r["exit_dt"]):
        equity += row["profit"]
        samples.append((float(row["exit_dt"]), equity))
    return samples

