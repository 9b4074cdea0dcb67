"""期貨範例: 台指期近月 (TXFR1) 每個交易時段 (日盤 08:45-13:45, 夜盤 15:00-05:00) 的開盤 15 分鐘區間突破.

突破區間高點做多, 跌破低點做空, 每個時段最多進場一次, 收盤前 5 分鐘平倉; 夜盤跨過午夜仍算同一時段.
執行: python examples/futures_session_breakout.py
"""

from __future__ import annotations

import sys
from datetime import datetime, time, timedelta

from vorn_kest_backtest.runner import Context, Strategy

CODE = "TXFR1"
DAY_OPEN, DAY_CLOSE = time(8, 45), time(13, 45)
NIGHT_OPEN, NIGHT_CLOSE = time(15, 0), time(5, 0)


def exchange_time(timestamp: float) -> datetime:
    return datetime(1970, 1, 1) + timedelta(hours=8, seconds=timestamp)


def session_of(moment: datetime) -> tuple[str, datetime, datetime] | None:
    """(名稱, 開盤, 收盤) of the session the moment belongs to; None outside trading hours."""
    day = moment.date()
    if DAY_OPEN <= moment.time() < DAY_CLOSE:
        return "day", datetime.combine(day, DAY_OPEN), datetime.combine(day, DAY_CLOSE)
    if moment.time() >= NIGHT_OPEN:
        return "night", datetime.combine(day, NIGHT_OPEN), datetime.combine(day + timedelta(days=1), NIGHT_CLOSE)
    if moment.time() < NIGHT_CLOSE:
        return "night", datetime.combine(day - timedelta(days=1), NIGHT_OPEN), datetime.combine(day, NIGHT_CLOSE)
    return None


class FuturesSessionBreakout(Strategy):
    codes = [(CODE, "Future")]
    start = "2024-05-06"
    end = "2024-05-10"
    initial_capital = 1_000_000

    range_minutes = 15
    flat_before_close = timedelta(minutes=5)

    def __init__(self) -> None:
        self.session_open: datetime | None = None
        self.high = self.low = None
        self.traded = False

    def on_tick(self, tick, ctx: Context) -> None:
        moment = exchange_time(tick["timestamp"])
        session = session_of(moment)
        if session is None:
            return
        _, opened, closes = session
        if opened != self.session_open:
            self.session_open, self.high, self.low, self.traded = opened, tick["close"], tick["close"], False
        held = ctx.positions(CODE)
        if moment >= closes - self.flat_before_close:
            if held > 0:
                ctx.sell(CODE, held)
            elif held < 0:
                ctx.buy(CODE, -held)
            return
        if moment < opened + timedelta(minutes=self.range_minutes):
            self.high, self.low = max(self.high, tick["close"]), min(self.low, tick["close"])
            return
        if not self.traded and tick["close"] > self.high:
            ctx.buy(CODE, 1)
            self.traded = True
        elif not self.traded and tick["close"] < self.low:
            ctx.sell(CODE, 1)
            self.traded = True

    def on_finish(self, ctx: Context) -> None:
        ctx.close(CODE)


if __name__ == "__main__":
    from vorn_kest_backtest.cli import main

    sys.exit(main(["run", __file__, *sys.argv[1:]]))
