from __future__ import annotations

import math
from datetime import date

import pytest

from vorn_kest_backtest.runner import statistics as stats

# Initial 100, then daily closes 110, 99, 104.5, 121: returns +10%, -10%, +5.5556%, +15.789%.
CLOSES = [110.0, 99.0, 104.5, 121.0]
RETURNS = [0.1, -0.1, 104.5 / 99 - 1, 121 / 104.5 - 1]
PROFITS = [50.0, -20.0, -30.0, 10.0, -5.0, -5.0, -5.0, 40.0]


def test_daily_returns_start_from_the_initial_capital():
    assert stats.daily_returns(100.0, CLOSES) == pytest.approx(RETURNS)


def test_sharpe_and_sortino_by_hand():
    mean = sum(RETURNS) / 4
    std = math.sqrt(sum((r - mean) ** 2 for r in RETURNS) / 3)
    downside = math.sqrt(0.1 ** 2 / 4)
    assert stats.sharpe(RETURNS) == pytest.approx(mean / std * math.sqrt(252))
    assert stats.sortino(RETURNS) == pytest.approx(mean / downside * math.sqrt(252))
    assert stats.sharpe([0.01, 0.01]) is None and stats.sortino([0.01, 0.02]) is None


def test_max_drawdown_amount_fraction_and_duration():
    day = 86400.0
    samples = [(0, 100.0), (day, 110.0), (2 * day, 99.0), (3 * day, 104.5), (5 * day, 111.0), (6 * day, 90.0)]
    drawdown = stats.max_drawdown(samples)
    assert drawdown.amount == pytest.approx(21.0) and drawdown.fraction == pytest.approx(21 / 111)
    assert drawdown.days == pytest.approx(1.0)  # from the peak on day 5 to the end, never recovered
    recovered = stats.max_drawdown(samples[:5])
    assert (recovered.amount, recovered.days) == (pytest.approx(11.0), pytest.approx(4.0))


@pytest.mark.parametrize("first, last, expected", [
    (date(2023, 1, 1), date(2024, 12, 31), (1.21) ** (1 / (731 / 365.25)) - 1),
    (date(2024, 1, 1), date(2024, 6, 30), None),
])
def test_cagr_only_for_a_year_or_more(first, last, expected):
    value = stats.cagr(100.0, 121.0, first, last)
    assert value == (pytest.approx(expected) if expected is not None else None)


def test_trade_figures_by_hand():
    assert stats.total_return(100.0, 121.0) == pytest.approx(0.21)
    assert stats.profit_factor(PROFITS) == pytest.approx(100 / 65)
    assert stats.expectancy(PROFITS) == pytest.approx(35 / 8)
    assert stats.average_win(PROFITS) == pytest.approx(100 / 3)
    assert stats.average_loss(PROFITS) == pytest.approx(-65 / 5)
    assert stats.longest_losing_streak(PROFITS) == 3
    assert stats.profit_factor([10.0]) is None and stats.expectancy([]) is None
    assert stats.exposure([True, False, True, True]) == 0.75


@pytest.mark.parametrize("profits, wins, streak, average_loss", [
    ([10.0, -5.0, 0.0, -5.0, 20.0], 2, 3, -10 / 3),
    ([0.0, 0.0], 0, 2, 0.0),
    ([-1.0, 0.0, 4.0, 0.0], 1, 2, -1 / 3),
], ids=["inside-a-streak", "only-break-even", "streak-broken-by-a-win"])
def test_a_break_even_trade_is_a_loss_in_every_trade_figure(profits, wins, streak, average_loss):
    assert stats.wins(profits) == wins
    assert stats.longest_losing_streak(profits) == streak
    assert stats.average_loss(profits) == pytest.approx(average_loss)
    assert stats.average_win(profits) == (pytest.approx(sum(p for p in profits if p > 0) / wins) if wins else None)
