"""A QuoteManager holding a window of trading days of ticks gives the bars and indicators of one holding every tick."""

from __future__ import annotations

import random
from datetime import date, datetime, time, timedelta

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from polars.testing import assert_frame_equal
from quote_ticks import tick

from vorn_kest_backtest.modules.positions.positions import QuoteManager

FIRST_DAY = date(2024, 1, 2)  # a Tuesday; the tape runs past two weekends
DAYS = 12
LENGTHS = [("m", 1), ("m", 3), ("m", 15), ("h", 1), ("h", 2), ("h", 24), ("d", 1), ("d", 2), ("w", 1), ("mo", 1)]
SUBSCRIBED = [("m", 5), ("h", 1), ("d", 1)]
INDICATORS = [("sma", 3, 2.0), ("ema", 4, 2.0), ("rsi", 3, 2.0), ("atr", 3, 2.0), ("bollinger_upper", 5, 1.5),
              ("lowest", 4, 2.0), ("vwap", 0, 2.0)]
# (start, end) of the ticks of each market's sessions, as offsets from the day's midnight.
SESSIONS = {
    "Stock": [(timedelta(hours=9), timedelta(hours=13, minutes=30))],
    "Future": [(timedelta(hours=8, minutes=45), timedelta(hours=13, minutes=45)),
               (timedelta(hours=15), timedelta(days=1, hours=5))],
}


def tape(market: str, seed: int, per_session: int = 120) -> list[dict]:
    """Ticks of DAYS calendar days: sparse (virtual minutes between), bursts at one time, simulated ticks,
    ticks a little late, and for futures the night's closing print at 05:00:00 and a stray one after it."""
    rng = random.Random(seed)
    code = "TXFR1" if market == "Future" else "2330"
    out = []
    price = 100.0
    for day in range(DAYS):
        midnight = datetime.combine(FIRST_DAY + timedelta(days=day), time())
        if midnight.weekday() >= 5:
            continue
        for start, end in SESSIONS[market]:
            span = (end - start).total_seconds()
            moments = sorted(midnight + start + timedelta(seconds=rng.uniform(0, span)) for _ in range(per_session))
            if market == "Future" and end.days:
                moments += [midnight + end, midnight + end + timedelta(seconds=30)]
            for moment in moments:
                price = max(1.0, price + rng.choice([-1.0, 0.0, 1.0]))
                late = rng.random() < 0.05
                stamp = moment - timedelta(minutes=rng.choice([1, 7])) if late else moment
                out.append(tick(stamp, close=price, qty=rng.randint(0, 5), code=code, market=market,
                                is_simulate=rng.random() < 0.03))
                if rng.random() < 0.1:
                    out.append(tick(stamp, close=price + 1, qty=1, code=code, market=market))
    return out


def trading_date(record: dict, market: str) -> date:
    """The tape has no holiday: a night session counts for the next weekday."""
    moment = datetime(1970, 1, 1) + timedelta(seconds=record["timestamp"] + 8 * 3600)
    day = moment.date() + timedelta(days=1) if market == "Future" and moment.time() >= time(15) else moment.date()
    while day.weekday() >= 5:
        day += timedelta(days=1)
    return day


def replay(records, code, window, asked_at):
    """Feeds the records to a manager with the window; bars asked for the first time at the given ticks."""
    q = QuoteManager()
    q.tick_window_days = window
    indicators = []
    for unit, freq in SUBSCRIBED:
        q.subscribe(code, unit, freq)
        indicators += [q.add_indicator(code, unit, freq, kind, length, width) for kind, length, width in INDICATORS]
    closed, kept = [], []
    for i, record in enumerate(records):
        q.feed_tick(record)
        closed.append(q.closed_bars())
        kept.append(q.tick_count(code))
        for unit, freq in asked_at.get(i, []):
            closed.append(q.get_kbar(code, unit, freq))
    q.finish_bars()
    closed.append(q.closed_bars())
    values = [np.array(q.indicator_values(handle)) for handle in indicators]
    return q, closed, values, kept


@pytest.mark.parametrize("window", [1, 2])
@pytest.mark.parametrize("market", ["Stock", "Future"])
def test_a_tick_window_changes_no_bar_and_no_indicator_value(market, window):
    records = tape(market, seed=7)
    code = records[0]["code"]
    rng = random.Random(3)
    # Some lengths asked for the first time late in the replay, after older ticks went, some asked again and again.
    asked_at = {rng.randrange(len(records)): [rng.choice(LENGTHS)] for _ in range(12)}
    whole, whole_events, whole_values, _ = replay(records, code, None, asked_at)
    held, held_events, held_values, _ = replay(records, code, window, asked_at)
    assert len(whole_events) == len(held_events)
    for a, b in zip(whole_events, held_events, strict=True):
        if isinstance(a, list):
            assert a == b
        else:
            assert_frame_equal(a, b)
    for a, b in zip(whole_values, held_values, strict=True):
        np.testing.assert_array_equal(a, b)
    for unit, freq in LENGTHS + SUBSCRIBED:
        assert_frame_equal(held.get_kbar(code, unit, freq), whole.get_kbar(code, unit, freq))


@pytest.mark.parametrize("market", ["Stock", "Future"])
def test_a_one_day_window_never_holds_more_than_the_ticks_of_one_trading_day(market):
    records = tape(market, seed=11)
    code = records[0]["code"]
    whole, _, _, whole_kept = replay(records, code, None, {})
    _, _, _, kept = replay(records, code, 1, {})
    # The ticks (virtual ones included) the unbounded manager added with the records of each trading date.
    per_day: dict[date, int] = {}
    previous = 0
    for record, total in zip(records, whole_kept, strict=True):
        day = trading_date(record, market)
        per_day[day] = per_day.get(day, 0) + total - previous
        previous = total
    assert max(kept) <= max(per_day.values()) + 1
    assert kept[-1] < whole_kept[-1] / 3
    assert len(per_day) >= 8


def test_a_manager_told_no_window_keeps_every_tick():
    records = tape("Stock", seed=5)
    q = QuoteManager()
    assert q.tick_window_days is None
    for record in records:
        q.add_tick(record)
    q.poped_tick_to_df("2330")
    old = q.poped_old_ticks_to_df("2330")
    assert q.tick_count("2330") == old.height
    assert old["dt"].dt.date().n_unique() >= 8


def test_the_tick_frames_of_a_window_hold_only_its_ticks():
    records = tape("Future", seed=5)
    q = QuoteManager()
    q.tick_window_days = 2
    for record in records:
        q.add_tick(record)
    q.poped_tick_to_df("TXFR1")
    old = q.poped_old_ticks_to_df("TXFR1")
    assert old.height == q.tick_count("TXFR1")
    assert len(q.ticks["TXFR1"]["old_ticks"]) == old.height
    assert q.ticks["TXFR1"]["last_tick"]["close"] == records[-1]["close"]


@pytest.mark.parametrize("value", [0, -1, 1.5, True, "day"])
def test_a_bad_window_is_refused_by_name(value):
    with pytest.raises(ValueError, match="tick_window_days"):
        QuoteManager().tick_window_days = value


def test_a_windowed_code_refuses_ticks_of_another_market():
    q = QuoteManager()
    q.tick_window_days = 1
    q.add_tick(tick(datetime(2024, 1, 2, 9, 0), code="X"))
    with pytest.raises(ValueError, match="同一市場"):
        q.add_tick(tick(datetime(2024, 1, 2, 9, 1), code="X", market="Future"))


@settings(max_examples=30, deadline=None)
@given(st.integers(0, 10_000), st.sampled_from(["Stock", "Future"]), st.integers(1, 3),
       st.lists(st.tuples(st.integers(0, 2_000), st.sampled_from(LENGTHS)), max_size=6))
def test_bars_of_a_window_match_bars_of_every_tick(seed, market, window, asks):
    records = tape(market, seed=seed, per_session=20)
    code = records[0]["code"]
    asked_at: dict[int, list] = {}
    for at, length in asks:
        asked_at.setdefault(at % len(records), []).append(length)
    whole, whole_events, _, _ = replay(records, code, None, asked_at)
    held, held_events, _, _ = replay(records, code, window, asked_at)
    for a, b in zip(whole_events, held_events, strict=True):
        if isinstance(a, list):
            assert a == b
        else:
            assert_frame_equal(a, b)
    for unit, freq in LENGTHS:
        assert_frame_equal(held.get_kbar(code, unit, freq), whole.get_kbar(code, unit, freq))
