"""The clock of an order is the replay's clock: an order placed while its market is closed works from that
market's next session, through either replay loop."""

from __future__ import annotations

import polars as pl
import pytest
from fake_sdk import wall_ns
from report_fakes import epoch

from vorn_kest_backtest.modules.market.market import exchange_datetime
from vorn_kest_backtest.modules.positions.positions import Positions, QuoteManager
from vorn_kest_backtest.modules.ticker.ticker import Ticker
from vorn_kest_backtest.runner import Strategy, engine
from vorn_kest_backtest.runner.context import Context
from vorn_kest_backtest.runner.orders import OrderStatus

# 2024-01-02 and 2024-01-03 are a Tuesday and a Wednesday.
STOCK_DAY_BEFORE = [("2024-01-02", 9, 0, 100.0), ("2024-01-02", 13, 30, 101.0)]
STOCK_DAY = [("2024-01-03", 9, 0, 102.0), ("2024-01-03", 9, 1, 103.0), ("2024-01-03", 13, 30, 104.0)]
STOCK_NEXT_OPEN = [("2024-01-04", 9, 0, 105.0)]
MORNING_FUTURES = [("2024-01-03", 8, minute, 17000.0 + minute) for minute in range(45, 52)]
NIGHT_FUTURES = [("2024-01-02", 20, 58, 17000.0), ("2024-01-02", 20, 59, 17001.0),
                 ("2024-01-02", 21, 0, 17002.0), ("2024-01-02", 21, 1, 17003.0)]


def frame(stock: list, futures: list) -> pl.DataFrame:
    rows = [(wall_ns(day, h, m), "2330", price) for day, h, m, price in stock]
    rows += [(wall_ns(day, h, m), "TXFR1", price) for day, h, m, price in futures]
    rows.sort()
    n = len(rows)
    return pl.DataFrame({"ts": [r[0] for r in rows], "close": [r[2] for r in rows], "volume": [1] * n,
                         "bid_price": [None] * n, "bid_volume": [0] * n, "ask_price": [None] * n,
                         "ask_volume": [0] * n, "tick_type": [1] * n, "code": [r[1] for r in rows]},
                        schema_overrides={"bid_price": pl.Float64, "ask_price": pl.Float64})


class StockOrderFromAFuturesBar(Strategy):
    """Places its stock orders on the first futures bar that closes at or after `at`."""

    bars = [("TXFR1", "m", 1)]

    def __init__(self, at: str, orders: dict[str, dict]) -> None:
        self.at, self.wanted = epoch(at), orders
        self.orders: dict = {}

    def on_bar(self, bar, ctx) -> None:
        if not self.orders and ctx.order_book.clock >= self.at:
            self.orders = {name: ctx.buy("2330", 1, **kwargs) for name, kwargs in self.wanted.items()}


def replay(strategy: Strategy, ticks: pl.DataFrame, python_loop: bool, monkeypatch) -> Positions:
    if python_loop:
        monkeypatch.setattr(engine, "_native_driver", lambda positions, quotes: None)
    ticker, positions, quotes = Ticker(None), Positions(), QuoteManager()
    positions.set_initial_capital(10**7)
    ticker.code_market_map = {"2330": "Stock", "TXFR1": "Future"}
    ticker._Ticker__push_tick_to_queue(ticks)
    engine.replay(ticker, positions, quotes, strategy, Context(positions, quotes, ["2330", "TXFR1"]))
    return positions


def when(timestamp: float) -> str:
    return exchange_datetime(timestamp).strftime("%Y-%m-%d %H:%M")


LOOPS = pytest.mark.parametrize("python_loop", [False, True], ids=["cpp-loop", "python-loop"])


@LOOPS
@pytest.mark.parametrize("at, futures", [("2024-01-03 08:50:00", MORNING_FUTURES),
                                         ("2024-01-02 21:00:00", NIGHT_FUTURES)], ids=["08:50", "21:00"])
def test_a_stock_order_placed_while_the_market_is_closed_works_in_its_next_session(at, futures, python_loop,
                                                                                   monkeypatch, console):
    strategy = StockOrderFromAFuturesBar(at, {"market": {}, "limit": {"price": 90.0}})
    positions = replay(strategy, frame(STOCK_DAY_BEFORE + STOCK_DAY + STOCK_NEXT_OPEN, futures), python_loop,
                       monkeypatch)
    market, limit = strategy.orders["market"], strategy.orders["limit"]
    assert when(market.placed_at) == at[:16] and when(market.session_end) == "2024-01-03 13:30"
    assert market.status is OrderStatus.FILLED and market.fill_price == 102.0
    assert when(market.filled_at) == "2024-01-03 09:00"
    # The day order worked through that whole session before it expired.
    assert limit.status is OrderStatus.CANCELLED and "收盤未成交" in limit.reason
    records = {(r["trade_id"], r["trade_status"]): r["dt"][:16] for r in positions.trade_records}
    assert records == {(market.trade_id, "Order"): at[:16], (market.trade_id, "Deal"): "2024-01-03 09:00",
                       (limit.trade_id, "Order"): at[:16], (limit.trade_id, "Cancel"): "2024-01-03 13:30"}


@LOOPS
def test_this_tick_on_a_stale_code_fills_at_its_next_trade(python_loop, monkeypatch, console):
    strategy = StockOrderFromAFuturesBar("2024-01-03 08:50:00", {"now": {"fill": "this_tick"}})
    replay(strategy, frame(STOCK_DAY_BEFORE + STOCK_DAY, MORNING_FUTURES), python_loop, monkeypatch)
    order = strategy.orders["now"]
    # Not yesterday's close, not dated before the decision.
    assert order.fill_price == 102.0 and when(order.filled_at) == "2024-01-03 09:00"


def test_now_is_the_latest_tick_of_any_code_in_exchange_time():
    from runner_fakes import FakeQuotes, tick

    ctx = Context(Positions(), FakeQuotes())
    assert ctx.now is None
    ctx.observe(tick("TXFR1", "2024-01-03 08:50:00", 17_000.0, market="Future"))
    ctx.observe(tick("2330", "2024-01-02 13:30:00", 600.0))
    # A stale tick of another code does not move the clock back.
    assert ctx.now == exchange_datetime(epoch("2024-01-03 08:50:00"))
    assert str(ctx.now) == "2024-01-03 08:50:00"
