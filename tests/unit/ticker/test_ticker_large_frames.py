"""A dense replay (its columns copied on two threads) hands out every tick as the frame holds it."""

from __future__ import annotations

import numpy as np
import polars as pl

from vorn_kest_backtest.constant import FLAG
from vorn_kest_backtest.modules.ticker.ticker import Ticker

ROWS = 250_000
EXIT = {"vorn_status": FLAG.exit_send_tick.value}


def test_every_tick_of_a_dense_frame_of_two_codes_replays_as_given(console):
    rng = np.random.default_rng(3)
    ts = 1_709_629_200_000_000_000 + np.arange(ROWS, dtype=np.int64) * 1_000_000
    frame = pl.DataFrame({
        "ts": ts,
        "close": np.round(100 + rng.random(ROWS), 2),
        "volume": rng.integers(1, 9, ROWS),
        "bid_price": np.full(ROWS, 99.0),
        "bid_volume": rng.integers(1, 9, ROWS),
        "ask_price": np.full(ROWS, -1.0),
        "ask_volume": rng.integers(1, 9, ROWS),
        "tick_type": rng.integers(0, 3, ROWS),
        "code": np.where(np.arange(ROWS) % 3 == 0, "2330", "0050"),
    }).with_columns(pl.when(pl.int_range(pl.len()) % 10 == 0).then(None).otherwise(pl.col("bid_price"))
                    .alias("bid_price"))
    # Many chunks, as a frame stacked from days is.
    frame = pl.concat([frame.slice(start, 10_000) for start in range(0, ROWS, 10_000)], rechunk=False)
    ticker = Ticker(None)
    ticker.code_market_map = {"2330": "Stock", "0050": "Stock"}
    ticker._Ticker__push_tick_to_queue(frame)
    seen = []
    while (record := ticker.tick_queue.get(timeout=30)) != EXIT:
        seen.append((record["code"], record["close"], record["qty"], record["tick_type"]))
        ticker.allow_next_tick()
    assert seen == list(frame.select("code", "close", "volume", "tick_type").iter_rows())
