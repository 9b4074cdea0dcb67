"""Bar series and indicator values kept by a strategy past later bars still read the bars they showed."""

from __future__ import annotations

from datetime import datetime, timedelta

import numpy as np
import pytest
from quote_ticks import tick
from runner_fakes import END, FakeTicker
from runner_fakes import tick as runner_tick

from vorn_kest_backtest.modules.positions.positions import Positions, QuoteManager
from vorn_kest_backtest.runner import Strategy, session

KEPT_AT = (3, 10, 40)  # the on_bar calls whose series are kept
LATER_BARS = 100


def minute_tape(minutes: int) -> list[dict]:
    start = datetime(2024, 5, 7, 9, 0, 5)
    return [runner_tick("2330", (start + timedelta(minutes=i, seconds=s)).strftime("%Y-%m-%d %H:%M:%S"),
                        800.0 + (i * 7 % 11) + s / 10, 1 + i % 3)
            for i in range(minutes) for s in (0, 20)]


class Keeper(Strategy):
    codes = [("2330", "Stock")]

    def on_start(self, ctx) -> None:
        self.sma = ctx.indicator("2330", "m", 1, "sma", 3)
        self.kept: list[tuple] = []  # (series, its copy, indicator view, its copy)
        self.seen = 0

    def on_bar(self, bar, ctx) -> None:
        self.seen += 1
        if self.seen in KEPT_AT:
            series, values = ctx.bars("2330", "m", 1), self.sma.values
            self.kept.append((series, series.to_polars(), values, values.copy()))

    def on_finish(self, ctx) -> None:
        self.final = ctx.kbar("2330", "m", 1)
        self.final_values = self.sma.values.copy()


def run_keeper(monkeypatch) -> Keeper:
    FakeTicker.records = minute_tape(max(KEPT_AT) + LATER_BARS + 5) + [END]
    monkeypatch.setattr(session, "_modules", lambda: (FakeTicker, Positions, QuoteManager))
    strategy = Keeper()
    session.run_backtest(strategy, [{"code": "2330", "market": "Stock"}], "2024-05-07", "2024-05-07", None,
                         reports_wanted=False)
    return strategy


def test_kept_series_read_their_bars_after_a_hundred_more(monkeypatch, console):
    strategy = run_keeper(monkeypatch)
    assert strategy.seen >= max(KEPT_AT) + LATER_BARS
    for series, copy, values, values_copy in strategy.kept:
        n = len(series)
        assert n == copy.height and n < strategy.final.height - LATER_BARS
        # Closed bars as they were; the bar still open then reads as it closed.
        assert series.to_polars()[: n - 1].equals(copy[: n - 1])
        assert series.to_polars().equals(strategy.final[:n])
        np.testing.assert_array_equal(values, values_copy)
        np.testing.assert_array_equal(values, strategy.final_values[: len(values)])


def ticks_from(moment: datetime, minutes: int, close: float) -> list[dict]:
    return [tick(moment + timedelta(minutes=i), close=close + i) for i in range(minutes)]


@pytest.mark.parametrize("then", ["more bars", "cleared"])
def test_kept_arrays_outlive_the_bars_they_came_from(then):
    q = QuoteManager()
    handle = q.add_indicator("2330", "m", 1, "sma", 2)
    for record in ticks_from(datetime(2024, 1, 2, 9, 0, 10), 5, 100.0):
        q.add_tick(record)
    arrays, values = q.bar_arrays("2330", "m", 1), q.indicator_values(handle)
    copies = [a.copy() for a in arrays] + [values.copy()]
    if then == "cleared":
        q.clear_ticks()
        q.add_indicator("2330", "m", 1, "sma", 2)
    for record in ticks_from(datetime(2024, 1, 2, 9, 5, 10), 300, 500.0):
        q.add_tick(record)
    for kept, copy in zip([*arrays, values], copies, strict=True):
        np.testing.assert_array_equal(kept, copy)
        assert not kept.flags.writeable


def test_a_fresh_series_shows_the_open_bar_as_it_moves():
    q = QuoteManager()
    q.add_tick(tick(datetime(2024, 1, 2, 9, 0, 10), close=100.0))
    before = q.bar_arrays("2330", "m", 1)
    q.add_tick(tick(datetime(2024, 1, 2, 9, 0, 40), close=101.0))
    after = q.bar_arrays("2330", "m", 1)
    assert list(after[4]) == [101.0] and list(after[5]) == [2]
    # The open bar is the same row in both: the kept view follows it until it closes.
    assert list(before[4]) == [101.0]
