from __future__ import annotations

import os
import textwrap

import pytest
from runner_fakes import BACKFILL_DONE, END, FakeLedger, FakeQuotes, FakeTicker, minute_ticks, tick

from vorn_kest_backtest.runner import Context, Strategy, StrategyError
from vorn_kest_backtest.runner.codes import parse_codes, parse_date_range
from vorn_kest_backtest.runner.engine import replay
from vorn_kest_backtest.runner.errors import BacktestInputError
from vorn_kest_backtest.runner.loader import load_strategy_class
from vorn_kest_backtest.runner.summary import summarise


class Recorder(Strategy):
    def __init__(self, fail_on: int | None = None) -> None:
        self.seen: list[str] = []
        self.fail_on = fail_on

    def on_tick(self, tick, ctx) -> None:
        self.seen.append(tick["code"])
        if len(self.seen) == self.fail_on:
            raise ZeroDivisionError("boom")


def run_replay(records, strategy):
    FakeTicker.records = records
    ticker, ledger, quotes = FakeTicker(None), FakeLedger(), FakeQuotes()
    ticker.send_ticks([], "", "")
    handled = replay(ticker, ledger, quotes, strategy, Context(ledger, quotes))
    return handled, ticker, ledger, quotes


def test_replay_follows_the_handshake_and_skips_status_records():
    records = [tick("2330", "2024-01-02 09:00:01", 100.0), BACKFILL_DONE,
               tick("0050", "2024-01-02 09:00:02", 50.0), tick("2330", "2024-01-02 09:00:03", 101.0), END,
               tick("2330", "2024-01-02 09:00:04", 102.0)]
    strategy = Recorder()
    handled, ticker, ledger, quotes = run_replay(records, strategy)

    assert handled == 3 and strategy.seen == ["2330", "0050", "2330"]
    assert [c for _, c in ledger.calls] == ["2330", "0050", "2330"]
    assert [t["code"] for t in quotes.ticks] == strategy.seen
    assert ticker.permits == 1 and not ticker.stopped


def test_strategy_error_names_the_tick_and_stops_the_replay():
    records = [tick("2330", "2024-01-02 09:00:01", 100.0), tick("2330", "2024-01-02 09:00:02", 101.5), END]
    records[1]["timestamp"] += 0.5
    with pytest.raises(StrategyError) as caught:
        run_replay(records, Recorder(fail_on=2))
    message = str(caught.value)
    assert "on_tick" in message and "2330 2024-01-02 09:00:02.500000" in message and "close=101.5" in message
    assert "ZeroDivisionError: boom" in message
    assert FakeTicker.last.stopped


class Trader(Strategy):
    def __init__(self, fill: str) -> None:
        self.fill = fill

    def on_tick(self, tick, ctx) -> None:
        if tick["close"] == 100.0:
            ctx.buy("2330", 3, fill=self.fill)
        elif tick["close"] == 104.0:
            ctx.sell("2330", 5, fill=self.fill)
        self.held = ctx.positions("2330"), ctx.positions(), ctx.balance()


def test_this_tick_orders_record_order_then_deal_and_fill_at_the_quoted_close():
    strategy = Trader("this_tick")
    _, _, ledger, _ = run_replay(minute_ticks("2330", "2024-01-02 09:00:00", [100.0, 102.0, 104.0]) + [END], strategy)

    fills = [call[1] for call in ledger.calls if call[0] == "set_positions"]
    assert fills[0] == {"trade_id": "1", "code": "2330", "action": "Buy", "quantity": 3, "price": 100.0,
                        "origin_price": 100.0,
                        "exchange_ts": minute_ticks("2330", "2024-01-02 09:00:00", [0])[0]["timestamp"]}
    assert (fills[1]["action"], fills[1]["price"], fills[1]["origin_price"]) == ("Sell", 104.0, 104.0)
    assert [(r["trade_id"], r["trade_status"], r["price"]) for r in ledger.trade_records] == [
        ("1", "Order", 100.0), ("1", "Deal", 100.0), ("2", "Order", 104.0), ("2", "Deal", 104.0)]
    assert strategy.held[:2] == (-2, {"2330": -2})


def test_market_orders_fill_at_the_next_trade_and_the_last_one_is_cancelled_at_the_end():
    strategy = Trader("next_trade")
    _, _, ledger, _ = run_replay(minute_ticks("2330", "2024-01-02 09:00:00", [100.0, 102.0, 104.0]) + [END], strategy)

    fills = [call[1] for call in ledger.calls if call[0] == "set_positions"]
    assert [(f["action"], f["price"], f["exchange_ts"]) for f in fills] == [
        ("Buy", 102.0, minute_ticks("2330", "2024-01-02 09:01:00", [0])[0]["timestamp"])]
    assert [(r["trade_id"], r["trade_status"], r["price"]) for r in ledger.trade_records] == [
        ("1", "Order", 100.0), ("1", "Deal", 102.0), ("2", "Order", 104.0), ("2", "Cancel", 104.0)]


@pytest.mark.parametrize("qty, code, message",
                         [(0, "2330", "正整數"), (1.5, "2330", "正整數"), (1, "2454", "尚未收到 2454")])
def test_bad_orders_are_refused(qty, code, message):
    ledger, quotes = FakeLedger(), FakeQuotes()
    ctx = Context(ledger, quotes)
    ctx.observe(tick("2330", "2024-01-02 09:00:00", 100.0))
    with pytest.raises(ValueError, match=message):
        ctx.buy(code, qty)
    assert ledger.trade_records == []


def test_summary_counts_wins_and_max_drawdown():
    ledger = FakeLedger()
    ledger.set_initial_capital(1000)
    ledger._profit_report["rows"] = [{"exit_dt": t, "profit": p}
                                     for t, p in ((1, 100.0), (2, -300.0), (3, 50.0), (4, 400.0))]
    ledger.current_capital = 1250
    samples = [(1, 1100.0), (2, 800.0), (3, 850.0), (4, 1250.0)]
    summary = summarise(ledger, samples, [False] * 4, "2024-01-02", "2024-01-05")
    assert (summary.trades, summary.wins, summary.net_profit, summary.final_capital) == (4, 3, 250.0, 1250.0)
    assert summary.max_drawdown == 300.0 and summary.max_drawdown_pct == pytest.approx(300 / 1100)


@pytest.mark.parametrize("text, expected", [
    ("2330:Stock,TXFR1:future", [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]),
    (" 0050:STOCK , ", [{"code": "0050", "market": "Stock"}]),
])
def test_parse_codes(text, expected):
    assert parse_codes(text) == expected


@pytest.mark.parametrize("text", ["2330", "2330:Bond", ":Stock", ","])
def test_parse_codes_refuses(text):
    with pytest.raises(BacktestInputError):
        parse_codes(text)


@pytest.mark.parametrize("start, end, message", [
    ("2024-03-05", "2024-03-01", "早於"), ("2024-13-01", "2024-12-01", "格式錯誤"), (None, "2024-01-01", "必須指定")])
def test_parse_date_range_refuses(start, end, message):
    with pytest.raises(BacktestInputError, match=message):
        parse_date_range(start, end)


@pytest.mark.parametrize("body, message", [
    ("x = 1\n", "找到: 無"),
    ("class A(Strategy): pass\nclass B(Strategy): pass\n", "找到: A, B"),
])
def test_loader_needs_exactly_one_strategy(tmp_path, body, message):
    path = tmp_path / "s.py"
    path.write_text("from vorn_kest_backtest.runner import Strategy\n" + textwrap.dedent(body))
    with pytest.raises(BacktestInputError, match=message):
        load_strategy_class(str(path))


def test_loader_finds_the_bundled_demo():
    from vorn_kest_backtest.cli import DEMO_STRATEGY

    assert os.path.isfile(DEMO_STRATEGY)
    assert load_strategy_class(DEMO_STRATEGY).__name__ == "MovingAverageCross"
