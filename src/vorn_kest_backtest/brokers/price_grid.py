"""Exchange price grids: the tick size that applies at a price, and snapping prices onto the grid."""

from __future__ import annotations

import numpy as np

from vorn_kest_backtest.brokers.contracts import STOCK

# (upper bound of the band, tick size); the last band is open-ended.
STOCK_BANDS = ((10.0, 0.01), (50.0, 0.05), (100.0, 0.1), (500.0, 0.5), (1000.0, 1.0), (np.inf, 5.0))
ETF_BANDS = ((50.0, 0.01), (np.inf, 0.05))
INDEX_FUTURE_BANDS = ((np.inf, 1.0),)

# Prices are compared a hair below a band bound so float noise never lifts 49.99999 into the next band.
_EPS = 1e-9


def bands_for(code: str, market: str) -> tuple[tuple[float, float], ...]:
    """Taiwan stock bands; ETFs (codes starting "00") have their own; futures here are index futures (1 point)."""
    if market != STOCK:
        return INDEX_FUTURE_BANDS
    return ETF_BANDS if code.startswith("00") else STOCK_BANDS


def tick_size(prices: np.ndarray, bands) -> np.ndarray:
    """Tick size of the band each price lies in (a price on a bound belongs to the upper band)."""
    prices = np.asarray(prices, dtype=float)
    bounds = np.array([bound for bound, _ in bands])
    sizes = np.array([size for _, size in bands])
    return sizes[np.searchsorted(bounds, prices + _EPS, side="right")]


def tick_below(prices: np.ndarray, bands) -> np.ndarray:
    """Distance to the next lower grid price (at a band bound that is the lower band's tick)."""
    return tick_size(np.asarray(prices, dtype=float) - 2 * _EPS, bands)


def snap(prices: np.ndarray, bands) -> np.ndarray:
    """Nearest grid price; rounded to cents so the values print as the exchange writes them."""
    prices = np.asarray(prices, dtype=float)
    sizes = tick_size(prices, bands)
    return np.round(np.round(prices / sizes) * sizes, 2)


def on_grid(prices: np.ndarray, bands) -> np.ndarray:
    prices = np.asarray(prices, dtype=float)
    steps = prices / tick_size(prices, bands)
    return np.abs(steps - np.round(steps)) < 1e-6
