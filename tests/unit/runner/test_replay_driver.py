"""The C++ replay loop over the real Ticker: Python is called only where the strategy or the books need it."""

from __future__ import annotations

import os
import sys

import polars as pl
import pytest
import repo_paths
from fake_sdk import wall_ns

from vorn_kest_backtest.brokers.simulated import SimulatedBroker
from vorn_kest_backtest.modules.positions.positions import Positions, QuoteManager
from vorn_kest_backtest.modules.ticker.ticker import Ticker
from vorn_kest_backtest.runner import Strategy, engine, session
from vorn_kest_backtest.runner.context import Context
from vorn_kest_backtest.runner.equity import EquityRecorder
from vorn_kest_backtest.runner.errors import StrategyError
from vorn_kest_backtest.runner.loader import load_strategy_class

TICKS = 2000
EXAMPLES = str(repo_paths.EXAMPLES)


class BarsOnly(Strategy):
    bars = [("2330", "m", 1)]

    def __init__(self) -> None:
        self.bars_seen = 0

    def on_bar(self, bar, ctx) -> None:
        self.bars_seen += 1


class EveryTick(BarsOnly):
    def on_tick(self, tick, ctx) -> None:
        pass


class BuysOnce(BarsOnly):
    """Buys on its first bar; the fill is the next tick's close."""

    def on_bar(self, bar, ctx) -> None:
        super().on_bar(bar, ctx)
        if self.bars_seen == 1:
            self.order = ctx.buy("2330", 1)


def one_minute_of_ticks(minutes: int = 1) -> pl.DataFrame:
    """TICKS ticks of 2330 spread over `minutes` minutes from 09:00."""
    start = wall_ns("2024-01-02", 9)
    step = minutes * 60 * 10**9 // TICKS
    return pl.DataFrame({"ts": [start + i * step for i in range(TICKS)], "close": [100.0 + i % 3 for i in range(TICKS)],
                         "volume": [1] * TICKS, "bid_price": [99.5] * TICKS, "bid_volume": [1] * TICKS,
                         "ask_price": [100.5] * TICKS, "ask_volume": [1] * TICKS, "tick_type": [1] * TICKS,
                         "code": ["2330"] * TICKS})


def run_counting_calls(strategy: Strategy, frame: pl.DataFrame):
    """Replays the frame through the real Ticker; returns the ticks handled, the Python calls made, the books."""
    ticker, positions, quotes = Ticker(None), Positions(), QuoteManager()
    positions.set_initial_capital(1_000_000)
    ticker.code_market_map = {"2330": "Stock"}
    ctx = Context(positions, quotes, ["2330"])
    recorder = EquityRecorder(positions)
    ticker._Ticker__push_tick_to_queue(frame)
    calls = 0

    def count(frame, event, arg) -> None:
        nonlocal calls
        calls += event == "call"

    sys.setprofile(count)
    try:
        handled = engine.replay(ticker, positions, quotes, strategy, ctx, recorder)
    finally:
        sys.setprofile(None)
    return handled, calls, positions, ctx, recorder


@pytest.mark.parametrize("strategy, per_tick", [(BarsOnly(), False), (EveryTick(), True)])
def test_python_is_called_per_tick_only_for_an_on_tick_strategy(strategy, per_tick, console):
    handled, calls, *_ = run_counting_calls(strategy, one_minute_of_ticks())
    assert handled == TICKS
    assert (calls >= TICKS) is per_tick, calls


class KeepsABracketWorking(BarsOnly):
    """Buys on its first bar with exits far from the tape: both work until the replay ends."""

    def on_bar(self, bar, ctx) -> None:
        super().on_bar(bar, ctx)
        if self.bars_seen == 1:
            self.entry = ctx.buy("2330", 1, take_profit=150.0, stop_loss=50.0)


def test_working_orders_that_do_not_fill_cost_no_python_call_per_tick(console):
    strategy = KeepsABracketWorking()
    handled, calls, *_ = run_counting_calls(strategy, one_minute_of_ticks(minutes=3))
    exits = (strategy.entry.take_profit_order, strategy.entry.stop_loss_order)
    assert handled == TICKS and [order.reason for order in exits] == ["回放結束, 委託取消"] * 2
    assert calls < TICKS, calls


def test_the_account_and_the_books_see_the_last_tick_when_python_looks(console):
    handled, _, positions, ctx, recorder = run_counting_calls(BarsOnly(), one_minute_of_ticks())
    last = positions.current_tick_infos["2330"]
    assert last is ctx.last_ticks["2330"]
    assert last["close"] == 100.0 + (TICKS - 1) % 3 and last["qty"] == 1
    samples = recorder.finish()
    assert samples[-1][0] == last["timestamp"]


def test_an_order_placed_on_a_bar_fills_at_the_next_tick(console):
    strategy = BuysOnce()
    handled, _, positions, ctx, _ = run_counting_calls(strategy, one_minute_of_ticks(minutes=3))
    assert strategy.bars_seen == 3
    closing = next(i for i in range(TICKS) if i * 3 * 60 // TICKS >= 60)  # the first tick of 09:01
    assert strategy.order.fill_price == 100.0 + (closing + 1) % 3
    deal = [r for r in positions.trade_records if r["trade_status"] == "Deal"]
    assert len(deal) == 1 and ctx.positions("2330") == 1


class BuysOnceAtTheAsk(BuysOnce):
    def on_start(self, ctx) -> None:
        ctx.set_fill_model("quote")


@pytest.mark.parametrize("bid, ask, spread", [
    (lambda close: close - 0.5, lambda close: close + 0.5, 0.5),
    (lambda close: None, lambda close: None, 0.0),
    (lambda close: 0.0, lambda close: 0.0, 0.0),
], ids=["quoted", "null-quote", "zero-quote"])
def test_a_quote_model_market_buy_fills_at_the_ask_of_its_fill_tick(bid, ask, spread, console):
    frame = one_minute_of_ticks(minutes=3)
    frame = frame.with_columns(pl.Series("bid_price", [bid(c) for c in frame["close"]], pl.Float64),
                               pl.Series("ask_price", [ask(c) for c in frame["close"]], pl.Float64))
    strategy = BuysOnceAtTheAsk()
    ticker, positions, quotes = Ticker(None), Positions(), QuoteManager()
    positions.set_initial_capital(1_000_000)
    ticker.code_market_map = {"2330": "Stock"}
    ctx = Context(positions, quotes, ["2330"])
    strategy.on_start(ctx)
    ticker._Ticker__push_tick_to_queue(frame)
    engine.replay(ticker, positions, quotes, strategy, ctx)
    closing = next(i for i in range(TICKS) if i * 3 * 60 // TICKS >= 60)
    assert strategy.order.fill_price == 100.0 + (closing + 1) % 3 + spread
    # The tick records stay as the replay hands them out: the quote travels beside them.
    assert "ask_price" not in positions.current_tick_infos["2330"]


class StopsOnItsFirstBar(BarsOnly):
    ticker: Ticker

    def on_bar(self, bar, ctx) -> None:
        super().on_bar(bar, ctx)
        self.ticker.stop_send_ticks()


@pytest.mark.parametrize("python_loop", [False, True], ids=["cpp-loop", "python-loop"])
def test_a_stop_from_a_hook_ends_the_replay_after_the_tick_it_was_called_on(python_loop, monkeypatch, console):
    if python_loop:
        monkeypatch.setattr(engine, "_native_driver", lambda positions, quotes: None)
    strategy = StopsOnItsFirstBar()
    ticker, positions, quotes = Ticker(None), Positions(), QuoteManager()
    ticker.code_market_map = {"2330": "Stock"}
    strategy.ticker = ticker
    ticker._Ticker__push_tick_to_queue(one_minute_of_ticks(minutes=3))
    handled = engine.replay(ticker, positions, quotes, strategy, Context(positions, quotes, ["2330"]))
    closing = next(i for i in range(TICKS) if i * 3 * 60 // TICKS >= 60)
    # The second bar is the one still open, closed by the end of the replay.
    assert (handled, strategy.bars_seen) == (closing + 1, 2)
    assert positions.current_tick_infos["2330"]["timestamp"] == pytest.approx(
        wall_ns("2024-01-02", 9) / 1e9 - 8 * 3600 + closing * 3 * 60 / TICKS)


class ClearsTheQuotesOnItsFirstBar(BarsOnly):
    def on_bar(self, bar, ctx) -> None:
        super().on_bar(bar, ctx)
        if self.bars_seen == 1:
            ctx.quotes.clear_ticks()


def test_quotes_cleared_from_a_hook_keep_taking_the_ticks_after_it(console):
    _, _, _, ctx, _ = run_counting_calls(ClearsTheQuotesOnItsFirstBar(), one_minute_of_ticks(minutes=3))
    closing = next(i for i in range(TICKS) if i * 3 * 60 // TICKS >= 60)
    # The tick that closed the first bar came before the clear; every later one is in the new buffer.
    assert ctx.quotes.get_kbar("2330", "m", 1)["Volume"].sum() == TICKS - closing - 1


class FailsOnTheThirdTick(BarsOnly):
    def __init__(self) -> None:
        super().__init__()
        self.seen = 0

    def on_tick(self, tick, ctx) -> None:
        self.seen += 1
        if self.seen == 3:
            raise KeyError("boom")


def test_an_on_tick_error_names_its_tick_and_keeps_its_cause(console):
    with pytest.raises(StrategyError, match="on_tick") as raised:
        run_counting_calls(FailsOnTheThirdTick(), one_minute_of_ticks())
    assert raised.value.tick["close"] == 100.0 + 2 % 3
    assert isinstance(raised.value.__cause__, KeyError) and raised.value.__cause__.__traceback__ is not None


def run_example(path: str, python_loop: bool, monkeypatch):
    """Trade records and equity samples of one example run on simulated ticks."""
    ledgers, samples = [], []
    real_modules, real_finish = session._modules, EquityRecorder.finish

    def modules():
        ticker, positions, quotes = real_modules()
        return ticker, lambda: ledgers.append(positions()) or ledgers[-1], quotes

    def finish(recorder):
        samples.append(list(real_finish(recorder)))
        return samples[-1]

    with monkeypatch.context() as patch:
        patch.setattr(session, "_modules", modules)
        patch.setattr(EquityRecorder, "finish", finish)
        if python_loop:
            patch.setattr(engine, "_native_driver", lambda positions, quotes: None)
        strategy_class = load_strategy_class(path)
        assert strategy_class.start and strategy_class.end
        codes = [{"code": c, "market": m} for c, m in strategy_class.codes]
        session.run_backtest(strategy_class(), codes, strategy_class.start, strategy_class.end,
                             SimulatedBroker(ticks_per_day=400), reports_wanted=False)
    return ledgers[0].trade_records, samples[0]


@pytest.mark.parametrize("name", ["stock_ma_cross.py", "stock_bracket_breakout.py", "futures_session_breakout.py"])
def test_the_cpp_loop_trades_and_marks_equity_as_the_python_loop(name, monkeypatch, console):
    path = os.path.join(EXAMPLES, name)
    trades, equity = run_example(path, False, monkeypatch)
    assert trades and len(equity) > 10
    assert (trades, equity) == run_example(path, True, monkeypatch)


class Collects(BarsOnly):
    def __init__(self) -> None:
        super().__init__()
        self.records: list[dict] = []

    def on_tick(self, tick, ctx) -> None:
        self.records.append(tick)


def test_on_tick_gets_the_records_pop_tick_hands_out(console):
    frame = one_minute_of_ticks()
    strategy = Collects()
    run_counting_calls(strategy, frame)
    ticker = Ticker(None)
    ticker.code_market_map = {"2330": "Stock"}
    ticker._Ticker__push_tick_to_queue(frame)
    popped = []
    while "vorn_status" not in (record := ticker.tick_queue.get(timeout=5)):
        popped.append(record)
        ticker.allow_next_tick()
    assert [list(r.items()) for r in strategy.records] == [list(r.items()) for r in popped]


class RoundTripAtTheQuote(Strategy):
    """Buys at market on its first bar and sells on its second, filling at the quote."""

    def __init__(self, code: str) -> None:
        self.bars = [(code, "m", 1)]  # type: ignore[misc]  # one class for both codes: the runner reads the instance
        self.code = code
        self.orders: list = []

    def on_start(self, ctx) -> None:
        ctx.set_fill_model("quote")

    def on_bar(self, bar, ctx) -> None:
        if len(self.orders) < 2:
            self.orders.append((ctx.buy if not self.orders else ctx.sell)(self.code, 1))


@pytest.mark.parametrize("code, market, base, half_spread", [
    ("2330", "Stock", 100.0, 0.5), ("TXFR1", "Future", 17000.0, 1.0)])
def test_quote_model_buys_at_the_ask_and_sells_at_the_bid_through_the_cpp_loop(code, market, base, half_spread,
                                                                               console):
    closes = [base + i % 3 for i in range(TICKS)]
    start, step = wall_ns("2024-01-02", 9), 3 * 60 * 10**9 // TICKS
    frame = pl.DataFrame({"ts": [start + i * step for i in range(TICKS)], "close": closes, "volume": [1] * TICKS,
                          "bid_price": [c - half_spread for c in closes], "bid_volume": [1] * TICKS,
                          "ask_price": [c + half_spread for c in closes], "ask_volume": [1] * TICKS,
                          "tick_type": [1] * TICKS, "code": [code] * TICKS})
    strategy = RoundTripAtTheQuote(code)
    ticker, positions, quotes = Ticker(None), Positions(), QuoteManager()
    positions.set_initial_capital(10_000_000)
    ticker.code_market_map = {code: market}
    ctx = Context(positions, quotes, [code])
    strategy.on_start(ctx)
    ticker._Ticker__push_tick_to_queue(frame)
    assert engine._native_driver(positions, quotes) is not None
    engine.replay(ticker, positions, quotes, strategy, ctx)
    first, second = (next(i for i in range(TICKS) if i * step >= minute * 60 * 10**9) for minute in (1, 2))
    buy, sell = strategy.orders
    assert (buy.fill_price, sell.fill_price) == (closes[first + 1] + half_spread, closes[second + 1] - half_spread)
    assert ctx.positions(code) == 0


class LimitsOnTheThirdDay(BarsOnly):
    """On the first bar it sees on 2024-01-04, places a buy limit at each price."""

    def __init__(self, prices: list[float]) -> None:
        super().__init__()
        self.prices = prices
        self.orders: list = []

    def on_bar(self, bar, ctx) -> None:
        if not self.orders and ctx.order_book.clock >= wall_ns("2024-01-04", 9) / 1e9 - 8 * 3600:
            self.orders = [ctx.buy("2330", 1, price=price) for price in self.prices]


@pytest.mark.parametrize("python_loop", [False, True], ids=["cpp-loop", "python-loop"])
def test_the_daily_band_of_a_day_comes_from_the_day_before_s_last_trade(python_loop, monkeypatch, console):
    if python_loop:
        monkeypatch.setattr(engine, "_native_driver", lambda positions, quotes: None)
    days = {"2024-01-02": [100.0, 100.0], "2024-01-03": [101.0, 105.0, 110.0], "2024-01-04": [110.0, 110.0]}
    stamps = [(wall_ns(day, 9, minute), close) for day, closes in days.items() for minute, close in enumerate(closes)]
    n = len(stamps)
    frame = pl.DataFrame({"ts": [s for s, _ in stamps], "close": [c for _, c in stamps], "volume": [1] * n,
                          "bid_price": [None] * n, "bid_volume": [0] * n, "ask_price": [None] * n,
                          "ask_volume": [0] * n, "tick_type": [1] * n, "code": ["2330"] * n},
                         schema_overrides={"bid_price": pl.Float64, "ask_price": pl.Float64})
    # Day 2's band is 99 ~ 121 around day 1's close of 110 (not 90 ~ 110 around its first trade or day 0).
    strategy = LimitsOnTheThirdDay([119.0, 98.0])
    ticker, positions, quotes = Ticker(None), Positions(), QuoteManager()
    positions.set_initial_capital(10_000_000)
    ticker.code_market_map = {"2330": "Stock"}
    ticker._Ticker__push_tick_to_queue(frame)
    engine.replay(ticker, positions, quotes, strategy, Context(positions, quotes, ["2330"]))
    inside, outside = strategy.orders
    assert "漲跌停" not in inside.reason and inside.fill_price == 110.0
    assert "漲跌停" in outside.reason and "99.00 ~ 121.00" in outside.reason


@pytest.mark.parametrize("change, error, message", [
    ({"quote_manager": object()}, TypeError, "quote_manager 必須是 QuoteManager"),
    ({"matcher": object()}, TypeError, "matcher 必須是 OrderMatcher"),
    ({"last_ticks": []}, TypeError, "last_ticks 必須是 dict"),
    ({"last_quotes": []}, TypeError, "last_quotes 必須是 dict 或 None"),
    ({"roll_held": [], "roll_session": print}, TypeError, "roll_held 必須是 dict 或 None"),
    ({"roll_held": {}}, ValueError, "roll_held 與 roll_session 須同時給或同時不給"),
    ({"progress_every": 0}, ValueError, "progress_every 必須是正整數: 0"),
])
def test_drive_replay_refuses_wrong_arguments_before_taking_a_tick(change, error, message):
    from vorn_kest_backtest.modules.positions.positions import OrderMatcher, drive_replay

    ticker, positions, quotes = Ticker(None), Positions(), QuoteManager()
    arguments = dict(ticker=ticker, positions=positions, quote_manager=quotes, ctx=object(), on_tick=None,
                     on_tick_failed=print, deliver_bars=print, bar_events=False, matcher=OrderMatcher(),
                     matched=print, last_ticks={}, last_quotes=None, recorder=None, progress=None,
                     progress_every=1, progress_interval=0.1, utc_offset_hours=8)
    arguments.update(change)
    with pytest.raises(error) as raised:
        drive_replay(**arguments)
    assert str(raised.value) == message
