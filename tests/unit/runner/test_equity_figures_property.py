"""The vectorised daily closes and drawdown agree with a plain loop over the same equity samples."""

from __future__ import annotations

from equity_models import looped_closes, looped_drawdown
from hypothesis import given, settings
from hypothesis import strategies as st

from vorn_kest_backtest.runner.statistics import max_drawdown
from vorn_kest_backtest.runner.trading_days import daily_closes

# 2024-01-01 00:00 Taipei; samples spread over three weeks, so nights, weekends and a holiday-free Monday show up.
START = 1704038400.0
SPAN = 21 * 86400.0
# Around the night session's edges (15:00 and 05:00 Taipei) as well as anywhere.
EDGES = [15 * 3600.0 - 1, 15 * 3600.0, 5 * 3600.0, 5 * 3600.0 + 0.5, 5 * 3600.0 + 1, 0.0, 86399.0]

stamps = st.one_of(
    st.floats(START, START + SPAN, allow_nan=False),
    st.builds(lambda day, edge: START + day * 86400.0 + edge, st.integers(0, 20), st.sampled_from(EDGES)),
)
values = st.floats(-1e6, 1e7, allow_nan=False).map(lambda v: round(v, 2))
samples = st.lists(st.tuples(stamps, values), max_size=60)


@settings(max_examples=150, deadline=None)
@given(samples, st.sampled_from([("Stock",), ("Future",), ("Stock", "Future")]))
def test_daily_closes_match_a_loop_over_the_samples_night_sessions_included(samples, markets):
    market = "Future" if "Future" in markets else "Stock"
    assert daily_closes(samples, markets) == looped_closes(samples, market)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.floats(START, START + SPAN, allow_nan=False), values), max_size=60)
       .map(sorted))
def test_max_drawdown_matches_a_loop_over_the_samples(samples):
    assert max_drawdown(samples) == looped_drawdown(samples)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.sampled_from([100.0, 90.0, 100.0, 80.0, 120.0, 0.0, -5.0]), max_size=30))
def test_max_drawdown_matches_a_loop_on_repeated_peaks_and_a_wiped_out_account(levels):
    series = [(START + 60.0 * i, level) for i, level in enumerate(levels)]
    assert max_drawdown(series) == looped_drawdown(series)
