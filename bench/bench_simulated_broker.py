"""Simulated broker: ticks for 20 days of the default universe, against a plain per-tick Python generator.

The plain generator does the same work per session (sorted stamps, a Student-t walk clipped to the price
limit and snapped to the exchange grid, tick types, quotes one tick around the trade, volumes) one tick at a
time with the `random` module, over the same calendar.
"""

from __future__ import annotations

import argparse
import math
import random
import time
from datetime import date, timedelta

from vorn_kest_backtest.brokers import SimulatedBroker
from vorn_kest_backtest.brokers.contracts import STOCK
from vorn_kest_backtest.brokers.simulated import NIGHT_TICK_SHARE, SESSION_VOL
from vorn_kest_backtest.brokers.tick_generator import UNCLASSED_SHARE
from vorn_kest_backtest.modules.market.market import (
    NS_PER_DAY,
    TradingCalendar,
    daily_band,
    midnight_ns,
    price_grid_for,
    tick_below,
    tick_size,
)


def _plain_session(session, open_price: float, bands, count: int, vol: float, rng: random.Random) -> list[tuple]:
    span_us = (session.end_ns - session.start_ns) // 1000
    offsets = [0] + sorted(rng.randint(0, span_us) for _ in range(max(count - 2, 0))) + [span_us]
    scale = vol / math.sqrt(2.0 * max(count - 1, 1))
    log_price, previous, rows = 0.0, None, []
    low, high = daily_band(open_price, bands)
    for i in range(count):
        if i:
            log_price += rng.gauss(0, 1) / math.sqrt(rng.gammavariate(2, 0.5)) * scale
        raw = min(max(open_price * math.exp(log_price), low), high)
        size = tick_size(raw, bands)
        close = round(round(raw / size) * size, 2)
        if previous is None or rng.random() < UNCLASSED_SHARE:
            kind = 0
        else:
            kind = 1 if close > previous else 2 if close < previous else rng.randint(1, 2)
        bid = close if kind == 2 else round(close - tick_below(close, bands), 2)
        ask = close if kind == 1 else round(close + tick_size(close, bands), 2)
        rows.append((session.start_ns + offsets[i] * 1000, close, 1 + int(rng.expovariate(0.36)),
                     bid, rng.randint(1, 99), ask, rng.randint(1, 99), kind))
        previous = close
    return rows


def plain_ticks(contract, day: date, calendar: TradingCalendar, ticks_per_day: int) -> list[tuple]:
    bands = price_grid_for(contract.code, contract.market)
    start, end = midnight_ns(day), midnight_ns(day) + NS_PER_DAY
    rows = []
    for session in calendar.sessions_touching(contract.market, day):
        rng = random.Random(f"{contract.code}|{session.start_day}|{session.kind}")
        count = ticks_per_day if session.kind == "day" else max(1, int(ticks_per_day * NIGHT_TICK_SHARE))
        ticks = _plain_session(session, contract.reference, bands, count, SESSION_VOL[session.kind], rng)
        rows += [row for row in ticks if start <= row[0] < end]
    return rows


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--days", type=int, default=20)
    parser.add_argument("--ticks-per-day", type=int, default=3000)
    args = parser.parse_args()
    broker = SimulatedBroker(ticks_per_day=args.ticks_per_day)
    contracts = list(broker.Contracts.Stocks.values()) + list(broker.Contracts.Futures.values())
    days = [date(2024, 3, 1) + timedelta(days=i) for i in range(args.days)]

    began = time.perf_counter()
    count = sum(len(broker.ticks(contract=c, date=d.isoformat())["ts"]) for c in contracts for d in days)
    vectorised = time.perf_counter() - began

    began = time.perf_counter()
    plain_count = sum(len(plain_ticks(c, d, broker.calendar, args.ticks_per_day)) for c in contracts for d in days)
    plain = time.perf_counter() - began

    print(f"{len(contracts)} codes x {args.days} calendar days, ticks_per_day={args.ticks_per_day}")
    print(f"SimulatedBroker (numpy): {count} ticks in {vectorised:.3f} s ({count / vectorised:,.0f} ticks/s)")
    print(f"plain Python generator : {plain_count} ticks in {plain:.3f} s ({plain_count / plain:,.0f} ticks/s)")
    print(f"ratio (plain / numpy)  : {plain / vectorised:.1f}x")


if __name__ == "__main__":
    main()
