"""Vectorised generation of one session's ticks: a random walk on the exchange price grid."""

from __future__ import annotations

import numpy as np

from vorn_kest_backtest.modules.market.market import (
    STOCK_CLOSING_CALL_SECOND,
    STOCK_SESSION_SECONDS,
    Session,
    daily_band,
    snap,
    tick_below,
    tick_size,
)

# Share of ticks the exchange cannot class as buyer- or seller-initiated (tick_type 0).
UNCLASSED_SHARE = 0.04
AUCTION_VOLUME_FACTOR = 30
# The stock exchange's closing call: no continuous trades, one auction print at the close.
STOCK_CLOSING_CALL_NS = (STOCK_SESSION_SECONDS[1] - STOCK_CLOSING_CALL_SECOND) * 1_000_000_000


def generate_session(
    price_rng: np.random.Generator,
    rng: np.random.Generator,
    session: Session,
    open_price: float,
    bands,
    count: int,
    session_vol: float,
    closing_call_ns: int = 0,
) -> dict[str, np.ndarray]:
    """`count` ticks from the opening auction at the session start to the closing one at its end.

    `price_rng` drives the price path alone, so contracts on one underlying can share it; `rng` the rest.
    The last `closing_call_ns` before the end have no trade but the closing auction print itself.
    """
    ts = _timestamps(rng, session, count, closing_call_ns)
    close = _walk(price_rng, open_price, bands, count, session_vol)
    tick_type = _tick_types(rng, close)
    below = tick_below(close, bands)
    above = tick_size(close, bands)
    bid = np.where(tick_type == 2, close, close - below)
    ask = np.where(tick_type == 1, close, close + above)
    volume = rng.geometric(0.3, count)
    volume[[0, -1]] *= AUCTION_VOLUME_FACTOR
    return {
        "ts": ts,
        "close": close,
        "volume": volume.astype(np.int64),
        "bid_price": np.round(bid, 2),
        "bid_volume": rng.integers(1, 100, count, dtype=np.int64),
        "ask_price": np.round(ask, 2),
        "ask_volume": rng.integers(1, 100, count, dtype=np.int64),
        "tick_type": tick_type,
    }


def _timestamps(rng: np.random.Generator, session: Session, count: int, closing_call_ns: int) -> np.ndarray:
    # Microsecond resolution, as the exchange stamps ticks; ticks may share a stamp.
    span_us = (session.end_ns - session.start_ns) // 1000
    continuous_us = span_us - closing_call_ns // 1000 + (0 if closing_call_ns else 1)
    inner = np.sort(rng.integers(0, continuous_us, max(count - 2, 0), dtype=np.int64))
    offsets = np.concatenate(([0], inner, [span_us]))[:count]
    return session.start_ns + offsets * 1000


def _walk(rng: np.random.Generator, open_price: float, bands, count: int, session_vol: float) -> np.ndarray:
    # Student-t steps give the occasional jump of several ticks that real tapes show.
    steps = rng.standard_t(4, count - 1) * (session_vol / np.sqrt(2.0 * max(count - 1, 1)))
    path = open_price * np.exp(np.concatenate(([0.0], np.cumsum(steps))))
    # The daily band of both markets, taken around the session's opening price.
    low, high = daily_band(open_price, bands)
    path = np.clip(path, low, high)
    return snap(path, bands)


def _tick_types(rng: np.random.Generator, close: np.ndarray) -> np.ndarray:
    """1 where the trade lifted the ask (price up), 2 where it hit the bid (down), a coin toss when flat."""
    move = np.diff(close, prepend=close[0])
    tick_type = np.where(move > 0, 1, np.where(move < 0, 2, rng.integers(1, 3, close.size)))
    tick_type[rng.random(close.size) < UNCLASSED_SHARE] = 0
    tick_type[0] = 0
    return tick_type.astype(np.int64)
