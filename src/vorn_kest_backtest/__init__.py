"""Backtesting toolkit for Taiwan stock and futures strategies."""
