"""on_bar events, bar series and the engine's per-tick hooks over a whole replay."""

from __future__ import annotations

import numpy as np
import pytest
from polars.testing import assert_frame_equal
from runner_fakes import END, FakeTicker, tick

from vorn_kest_backtest.modules.positions.positions import Positions, QuoteManager
from vorn_kest_backtest.runner import Strategy, Unit, engine, session
from vorn_kest_backtest.runner.context import Context

# Futures night session with gaps (virtual minutes), across midnight to 05:00, then the day session;
# a stock whose session ends while the futures still trade.
TAPE = [
    tick("TXFR1", "2024-05-06 15:00:10", 20000.0, 2, "Future"),
    tick("TXFR1", "2024-05-06 15:00:40", 20003.0, 1, "Future"),
    tick("TXFR1", "2024-05-06 15:04:05", 20001.0, 3, "Future"),
    tick("TXFR1", "2024-05-06 23:59:30", 20010.0, 1, "Future"),
    tick("TXFR1", "2024-05-07 00:02:00", 20012.0, 1, "Future"),
    tick("TXFR1", "2024-05-07 04:58:00", 20020.0, 4, "Future"),
    tick("TXFR1", "2024-05-07 05:00:00", 20021.0, 1, "Future"),
    tick("2330", "2024-05-07 09:00:05", 800.0, 5),
    tick("TXFR1", "2024-05-07 09:00:20", 20030.0, 1, "Future"),
    tick("2330", "2024-05-07 09:00:30", 801.0, 5),
    tick("2330", "2024-05-07 09:00:30", 802.0, 5),
    tick("2330", "2024-05-07 09:03:00", 799.0, 1),
    tick("2330", "2024-05-07 13:25:00", 805.0, 2),
    tick("TXFR1", "2024-05-07 13:40:00", 20040.0, 2, "Future"),
    tick("TXFR1", "2024-05-07 15:01:00", 20050.0, 2, "Future"),
    tick("2330", "2024-05-08 09:01:00", 806.0, 2),
]
WANTED: list[tuple[str, Unit, int]] = [
    ("TXFR1", "m", 1), ("TXFR1", "m", 5), ("TXFR1", "h", 1), ("2330", "m", 1), ("2330", "d", 1)]


class Recorder(Strategy):
    codes = [("TXFR1", "Future"), ("2330", "Stock")]
    bars = WANTED

    def __init__(self) -> None:
        self.events: list = []

    def on_bar(self, bar, ctx) -> None:
        self.events.append(("bar", bar))

    def on_tick(self, record, ctx) -> None:
        self.events.append(("tick", record["code"], record["timestamp"]))

    def on_finish(self, ctx) -> None:
        self.kbars = {key: ctx.kbar(*key) for key in WANTED}
        self.series = {key: ctx.bars(*key) for key in WANTED}


def run(strategy, monkeypatch, records=TAPE):
    FakeTicker.records = records + [END]
    quotes = []
    monkeypatch.setattr(session, "_modules",
                        lambda: (FakeTicker, Positions, lambda: quotes.append(QuoteManager()) or quotes[-1]))
    codes = [{"code": c, "market": m} for c, m in strategy.codes]
    session.run_backtest(strategy, codes, "2024-05-06", "2024-05-08", None, reports_wanted=False)
    return quotes[0]


def test_every_bar_comes_once_with_the_values_of_get_kbar(monkeypatch, console):
    strategy = Recorder()
    run(strategy, monkeypatch)
    for code, unit, freq in WANTED:
        got = [(e[1].dt, e[1].code, e[1].open, e[1].high, e[1].low, e[1].close, e[1].volume)
               for e in strategy.events if e[0] == "bar" and (e[1].code, e[1].unit, e[1].freq) == (code, unit, freq)]
        assert got == strategy.kbars[(code, unit, freq)].rows()
    minutes = strategy.kbars[("TXFR1", "m", 1)]
    assert minutes.height > 200 and minutes["Volume"].to_list().count(0) > 200  # virtual minutes included


def position(events, wanted):
    return next(i for i, e in enumerate(events) if wanted(e))


def test_a_closed_bar_comes_before_the_tick_that_opens_the_next(monkeypatch, console):
    strategy = Recorder()
    run(strategy, monkeypatch)
    events = strategy.events
    bar_0900 = position(events, lambda e: e[0] == "bar" and e[1].code == "2330" and e[1].unit == "m"
                        and e[1].dt.strftime("%H:%M") == "09:00")
    tick_0903 = position(events, lambda e: e[0] == "tick" and e[1] == "2330" and e[2] == TAPE[11]["timestamp"])
    assert bar_0900 < tick_0903
    assert not any(e[0] == "bar" and e[1].dt.strftime("%H:%M") == "09:03" and e[1].code == "2330"
                   for e in events[:tick_0903])


def test_a_bar_whose_session_ended_comes_before_the_next_tick_after_the_session(monkeypatch, console):
    strategy = Recorder()
    run(strategy, monkeypatch)
    events = strategy.events
    after_stock_close = position(events, lambda e: e[0] == "tick" and e[2] == TAPE[13]["timestamp"])
    stock_last_minute = position(events, lambda e: e[0] == "bar" and e[1].code == "2330" and e[1].unit == "m"
                                 and e[1].dt.strftime("%m-%d %H:%M") == "05-07 13:25")
    stock_day = position(events, lambda e: e[0] == "bar" and e[1].code == "2330" and e[1].unit == "d")
    assert stock_last_minute < after_stock_close and stock_day < after_stock_close
    night_last = position(events, lambda e: e[0] == "bar" and e[1].code == "TXFR1" and e[1].unit == "m"
                          and e[1].freq == 1 and e[1].dt.strftime("%m-%d %H:%M") == "05-07 05:00")
    assert night_last < position(events, lambda e: e[0] == "tick" and e[2] == TAPE[7]["timestamp"])


def test_bar_series_are_read_only_views_with_the_rows_of_get_kbar(monkeypatch, console):
    strategy = Recorder()
    run(strategy, monkeypatch)
    for key in WANTED:
        series = strategy.series[key]
        assert_frame_equal(series.to_polars(), strategy.kbars[key])
        assert not series.close.flags.writeable and not series.close.flags.owndata
        with pytest.raises(ValueError):
            series.close[0] = 1.0


class BarsOnly(Strategy):
    codes = [("2330", "Stock")]
    bars = [("2330", "m", 1)]

    def __init__(self) -> None:
        self.count = 0

    def on_bar(self, bar, ctx) -> None:
        self.count += 1


def test_a_strategy_without_on_tick_is_not_called_per_tick(monkeypatch, console):
    def refuse(self, record, ctx):
        raise AssertionError("on_tick called")

    monkeypatch.setattr(Strategy, "on_tick", refuse)
    strategy = BarsOnly()
    run(strategy, monkeypatch, [t for t in TAPE if t["code"] == "2330"])
    # 05-07 09:00 .. 13:29 (the last four virtual, made by the next tick), 05-08 09:00 (virtual) and 09:01.
    assert strategy.count == 270 + 2


def test_subscribe_in_on_start(monkeypatch, console):
    class Late(BarsOnly):
        bars = []

        def on_start(self, ctx) -> None:
            ctx.subscribe("2330", "m", 1)

    strategy = Late()
    run(strategy, monkeypatch, [t for t in TAPE if t["code"] == "2330"])
    assert strategy.count == 272


def test_series_of_an_unknown_code_are_empty():
    series_arrays = QuoteManager().bar_arrays("2330", "m", 1)
    assert [len(a) for a in series_arrays] == [0] * 6 and series_arrays[0].dtype == np.int64


class CountingProgress:
    def __init__(self, disable: bool) -> None:
        self.disable = disable
        self.updates = 0

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        pass

    def add_task(self, *args, **kwargs) -> int:
        return 0

    def advance(self, *args, **kwargs) -> None:
        raise AssertionError("advanced per tick")

    def update(self, *args, **kwargs) -> None:
        self.updates += 1


@pytest.mark.parametrize("disable, most", [(False, 10_000 // engine.PROGRESS_CHECK_TICKS + 1), (True, 1)])
def test_progress_is_not_touched_per_tick(disable, most, monkeypatch, console):
    progress = CountingProgress(disable)
    monkeypatch.setattr(engine, "replay_progress", lambda: progress)
    monkeypatch.setattr(engine, "PROGRESS_INTERVAL", 0.0)
    records = [tick("2330", "2024-05-07 09:00:00", 800.0 + i % 7) for i in range(10_000)]
    run(BarsOnly(), monkeypatch, records)
    assert 1 <= progress.updates <= most


def test_bar_series_are_handed_out_again_until_the_bars_move(console):
    quotes = QuoteManager()
    ctx = Context(Positions(), quotes, ["2330"])
    quotes.add_tick(tick("2330", "2024-05-07 09:00:05", 800.0))
    first = ctx.bars("2330", "m", 1)
    quotes.add_tick(tick("2330", "2024-05-07 09:00:30", 801.0))
    same = ctx.bars("2330", "m", 1)
    assert same is first and list(same.close) == [801.0] and list(same.high) == [801.0]
    quotes.add_tick(tick("2330", "2024-05-07 09:01:00", 799.0))
    grown = ctx.bars("2330", "m", 1)
    assert grown is not first and list(grown.close) == [801.0, 799.0]
    assert_frame_equal(grown.to_polars(), quotes.get_kbar("2330", "m", 1))
