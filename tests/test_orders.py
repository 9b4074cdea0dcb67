"""Orders against hand-made tapes: what fills, when, at which price, and the records every order leaves."""

from __future__ import annotations

import pytest
from report_fakes import epoch
from runner_fakes import FakeLedger, FakeQuotes, tick

from vorn_kest_backtest.modules.positions.positions import Positions
from vorn_kest_backtest.runner import Context
from vorn_kest_backtest.runner.orders import OrderStatus


def book(capital: int = 10**9, account=None) -> tuple[Context, object]:
    ledger = account if account is not None else FakeLedger()
    ledger.set_initial_capital(capital)
    return Context(ledger, FakeQuotes()), ledger


def feed(ctx: Context, code: str, day: str, prices, start_minute: int = 1, market: str = "Stock") -> None:
    for i, price in enumerate(prices):
        minute = start_minute + i
        ctx.observe(tick(code, f"{day} {9 + minute // 60:02d}:{minute % 60:02d}:00", price, market=market))


def records(ledger) -> list[tuple[str, str, float]]:
    return [(r["trade_id"], r["trade_status"], r["price"]) for r in ledger.trade_records]


def fills(ledger) -> list[tuple[str, float]]:
    return [(call[1]["action"], call[1]["price"]) for call in ledger.calls if call[0] == "set_positions"]


@pytest.mark.parametrize("tape, fill", [
    ([100.5, 100.0, 99.5], 100.0),  # touched: fills at the limit
    ([98.0, 99.5], 98.0),  # gapped through: the better trade price
], ids=["touched", "gapped"])
def test_buy_limit_fills_at_the_first_trade_at_or_below_it(tape, fill):
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [101.0], 0)
    order = ctx.buy("2330", 1, price=100.0)
    feed(ctx, "2330", "2024-01-02", tape)
    assert order.status is OrderStatus.FILLED and order.fill_price == fill
    assert fills(ledger) == [("Buy", fill)] and records(ledger) == [("1", "Order", 100.0), ("1", "Deal", fill)]


def test_sell_limit_mirrors_the_buy():
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [100.0], 0)
    ctx.sell("2330", 2, price=101.0)
    feed(ctx, "2330", "2024-01-02", [100.5, 102.0])
    # Resting after 100.5, the offer at 101 is first in line when the tape trades through it.
    assert fills(ledger) == [("Sell", 101.0)]


def test_day_order_never_reached_is_cancelled_at_the_session_end_and_good_till_cancel_stays():
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [101.0], 0)
    day_order = ctx.buy("2330", 1, price=90.0)
    kept = ctx.buy("2330", 1, price=80.0, good_till_cancel=True)
    feed(ctx, "2330", "2024-01-02", [100.0, 99.0])
    assert ctx.orders("2330") == [day_order, kept]
    feed(ctx, "2330", "2024-01-03", [98.0], 0)
    assert day_order.status is OrderStatus.CANCELLED and kept.is_open and ctx.orders() == [kept]
    cancel = ledger.trade_records[-1]
    assert (cancel["trade_id"], cancel["trade_status"], cancel["price"]) == ("1", "Cancel", 90.0)
    assert cancel["dt"] == str(epoch("2024-01-02 13:30:00"))
    ctx.finish_replay()
    assert records(ledger)[-1] == ("2", "Cancel", 80.0) and ctx.orders() == []


@pytest.mark.parametrize("at, market, opens, closes", [
    ("2024-01-02 10:00:00", "Stock", "2024-01-02 09:00:00", "2024-01-02 13:30:00"),
    ("2024-01-02 09:00:00", "Future", "2024-01-02 08:45:00", "2024-01-02 13:45:00"),
    # On the closing print nothing trades any more: the order belongs to the next session.
    ("2024-01-02 13:45:00", "Future", "2024-01-02 15:00:00", "2024-01-03 05:00:00"),
    ("2024-01-02 14:10:00", "Future", "2024-01-02 15:00:00", "2024-01-03 05:00:00"),
    ("2024-01-02 20:00:00", "Future", "2024-01-02 15:00:00", "2024-01-03 05:00:00"),
    ("2024-01-03 03:00:00", "Future", "2024-01-02 15:00:00", "2024-01-03 05:00:00"),
    ("2024-01-05 13:30:00", "Stock", "2024-01-08 09:00:00", "2024-01-08 13:30:00"),
])
def test_an_order_belongs_to_the_session_under_way_else_the_next(at, market, opens, closes):
    ctx, _ = book()
    ctx.observe(tick("X", at, 100.0, market=market))
    order = ctx.buy("X", 1, price=90.0)
    assert (order.placed_at, order.session_start, order.session_end) == (epoch(at), epoch(opens), epoch(closes))


def test_stop_triggers_on_a_trade_through_it_and_fills_at_the_next_trade():
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [101.0], 0)
    order = ctx.sell("2330", 1, stop=99.0)
    feed(ctx, "2330", "2024-01-02", [100.0, 98.5])
    assert order.is_open and order.triggered and fills(ledger) == []
    feed(ctx, "2330", "2024-01-02", [98.0], 3)
    assert fills(ledger) == [("Sell", 98.0)] and records(ledger) == [("1", "Order", 99.0), ("1", "Deal", 98.0)]


def test_stop_limit_works_as_a_limit_once_triggered():
    ctx, ledger = book()
    ctx.set_fill_model(limit="touch")
    feed(ctx, "2330", "2024-01-02", [101.0], 0)
    ctx.buy("2330", 1, price=102.5, stop=102.0)
    feed(ctx, "2330", "2024-01-02", [102.0, 103.0, 102.5])
    assert fills(ledger) == [("Buy", 102.5)]


def test_bracket_take_profit_cancels_its_stop_loss():
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [100.0], 0)
    entry = ctx.buy("2330", 1, take_profit=105.0, stop_loss=95.0)
    feed(ctx, "2330", "2024-01-02", [100.5])
    take_profit, stop_loss = entry.take_profit_order, entry.stop_loss_order
    assert ctx.orders("2330") == [take_profit, stop_loss]
    feed(ctx, "2330", "2024-01-02", [103.0, 106.0, 94.0], 2)
    assert take_profit.status is OrderStatus.FILLED and stop_loss.status is OrderStatus.CANCELLED
    assert fills(ledger) == [("Buy", 100.5), ("Sell", 105.0)] and ctx.positions("2330") == 0
    assert records(ledger) == [("1", "Order", 100.0), ("1", "Deal", 100.5), ("2", "Order", 105.0),
                               ("3", "Order", 95.0), ("2", "Deal", 105.0), ("3", "Cancel", 95.0)]


def test_bracket_prices_on_the_wrong_sides_are_refused():
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [100.0], 0)
    with pytest.raises(ValueError, match="方向不符"):
        ctx.buy("2330", 1, take_profit=95.0, stop_loss=105.0)
    assert ledger.trade_records == []


def test_limit_beyond_the_daily_band_is_refused_and_a_stop_beyond_it_waits(console):
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [100.0], 0)
    feed(ctx, "2330", "2024-01-03", [101.0], 0)
    refused = ctx.buy("2330", 1, price=111.0)
    waiting = ctx.buy("2330", 1, stop=111.0)
    assert refused.status is OrderStatus.CANCELLED and "漲跌停" in refused.reason
    assert records(ledger) == [("1", "Order", 111.0), ("1", "Cancel", 111.0), ("2", "Order", 111.0)]
    assert waiting.is_open and len([line for line in console.lines if line.startswith("[red]")]) == 1


def test_cancel_leaves_a_cancel_record_once():
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [100.0], 0)
    order = ctx.buy("2330", 1, price=90.0)
    assert ctx.cancel(order) and not ctx.cancel(order)
    assert records(ledger) == [("1", "Order", 90.0), ("1", "Cancel", 90.0)] and ctx.orders() == []


@pytest.mark.parametrize("quote, expected", [
    ({"bid_price": 99.5, "ask_price": 100.5}, [("Buy", 100.5), ("Sell", 99.5)]),
    ({}, [("Buy", 100.0), ("Sell", 100.0)]),
    ({"bid_price": 0.0, "ask_price": None}, [("Buy", 100.0), ("Sell", 100.0)]),
], ids=["quoted", "no-quote", "empty-quote"])
def test_quote_model_buys_at_the_ask_and_sells_at_the_bid(quote, expected):
    ctx, ledger = Context(Positions(), FakeQuotes()), None
    ctx.account.set_initial_capital(10**9)
    ctx.set_fill_model("quote")
    feed(ctx, "2330", "2024-01-02", [100.0], 0)
    ctx.buy("2330", 1)
    ctx.sell("2330", 1)
    ctx.observe(dict(tick("2330", "2024-01-02 09:01:00", 100.0), **quote))
    deals = [(r["action"], r["price"]) for r in ctx.account.trade_records if r["trade_status"] == "Deal"]
    assert deals == expected
    # The spread is the cost: the account adds no slippage on top.
    assert ctx.account._profit_report["rows"][0]["entry_price"] == expected[0][1]


def test_after_the_replay_market_orders_fill_at_the_last_trade_and_others_are_cancelled():
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [100.0], 0)
    ctx.finish_replay()
    ctx.buy("2330", 1)
    ctx.buy("2330", 1, price=99.0)
    assert fills(ledger) == [("Buy", 100.0)] and records(ledger)[-1] == ("2", "Cancel", 99.0)


@pytest.mark.parametrize("kwargs, message", [
    ({"price": -1.0}, "price 必須是正數"), ({"stop": "100"}, "stop 必須是正數"), ({"fill": "now"}, "fill 必須是"),
])
def test_bad_order_arguments_are_refused_before_any_record(kwargs, message):
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [100.0], 0)
    with pytest.raises(ValueError, match=message):
        ctx.buy("2330", 1, **kwargs)
    assert ledger.trade_records == []


def test_stock_order_the_cash_cannot_pay_is_refused_and_covers_never_are(console):
    ctx, _ = book(1_000_000, Positions())
    feed(ctx, "2330", "2024-01-02", [580.0], 0)
    too_big = ctx.buy("2330", 5, fill="this_tick")
    assert too_big.status is OrderStatus.CANCELLED and "資金不足" in too_big.reason
    assert ctx.account.current_capital == 1_000_000 and ctx.positions("2330") == 0
    assert [r["trade_status"] for r in ctx.account.trade_records] == ["Order", "Cancel"]
    assert len([line for line in console.lines if line.startswith("[red]")]) == 1
    ctx.buy("2330", 1, fill="this_tick")
    ctx.account.current_capital = 0.0
    cover = ctx.sell("2330", 1, fill="this_tick")
    assert cover.status is OrderStatus.FILLED and ctx.positions("2330") == 0


def test_futures_need_initial_margin_against_equity_and_peak_margin_is_kept():
    ctx, _ = book(1_000_000, Positions())
    feed(ctx, "TXFR1", "2024-01-02", [17500.0], 0, "Future")
    assert ctx.buy("TXFR1", 4, fill="this_tick").status is OrderStatus.CANCELLED
    assert ctx.buy("TXFR1", 2, fill="this_tick").status is OrderStatus.FILLED
    assert ctx.peak_margin == 2 * 322_000
    third = ctx.buy("TXFR1", 2, fill="this_tick")
    assert third.status is OrderStatus.CANCELLED and "保證金不足" in third.reason
    assert ctx.sell("TXFR1", 2, fill="this_tick").status is OrderStatus.FILLED
    assert ctx.positions("TXFR1") == 0 and ctx.peak_margin == 2 * 322_000


def test_the_summary_shows_the_peak_margin_of_a_futures_run(console):
    from vorn_kest_backtest.brokers import SimulatedBroker
    from vorn_kest_backtest.runner import Strategy, session

    class TwoContracts(Strategy):
        initial_capital = 2_000_000

        def on_tick(self, tick, ctx):
            if not ctx.orders("TXFR1") and ctx.positions("TXFR1") == 0 and not self.done:
                ctx.buy("TXFR1", 2)
                self.done = True

        done = False

    codes = [{"code": "TXFR1", "market": "Future"}]
    summary = session.run_backtest(TwoContracts(), codes, "2024-03-05", "2024-03-05",
                                   SimulatedBroker(ticks_per_day=200), reports_wanted=False)
    assert summary.peak_margin == 2 * 322_000
    assert summary.figures()["peak_margin"] == 2 * 322_000
    from vorn_kest_backtest.runner.summary import summary_table

    assert "最高保證金占用" in [str(cell) for cell in summary_table(summary).columns[0].cells]


@pytest.mark.parametrize("action, stop, tape, fill", [
    ("buy", 101.0, [100.5, 101.0, 101.5], 101.5),
    ("sell", 99.0, [99.5, 99.0, 98.5], 98.5),
], ids=["buy", "sell"])
def test_a_stop_touched_exactly_at_its_price_triggers(action, stop, tape, fill):
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [100.0], 0)
    order = getattr(ctx, action)("2330", 1, stop=stop)
    feed(ctx, "2330", "2024-01-02", tape[:2])
    assert order.triggered and fills(ledger) == []
    feed(ctx, "2330", "2024-01-02", tape[2:], 3)
    assert order.fill_price == fill


@pytest.mark.parametrize("fill", ["next_trade", "this_tick"])
def test_a_stock_day_order_on_the_closing_print_works_in_the_next_session(fill):
    # The 13:30:00 print ends the session: nothing trades after it, so the order cannot work there.
    ctx, _ = book()
    ctx.observe(tick("2330", "2024-01-02 13:29:00", 100.0))
    ctx.observe(tick("2330", "2024-01-02 13:30:00", 100.5))
    order = ctx.buy("2330", 1, fill=fill)
    assert order.is_open and order.session_end == epoch("2024-01-03 13:30:00")
    ctx.observe(tick("2330", "2024-01-03 09:00:00", 101.0))
    assert order.status is OrderStatus.FILLED and (order.fill_price, order.filled_at) == (
        101.0, epoch("2024-01-03 09:00:00"))


def test_a_limit_marketable_on_arrival_fills_at_the_trade_and_a_resting_one_at_its_limit():
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [105.0], 0)
    resting = ctx.buy("2330", 1, price=104.0)
    feed(ctx, "2330", "2024-01-02", [104.5])
    assert resting.rested and resting.is_open
    arriving = ctx.buy("2330", 1, price=104.0)
    feed(ctx, "2330", "2024-01-02", [103.0], 2)
    # The resting bid is first in line at 104; the new one meets 103.0 as its first trade.
    assert (resting.fill_price, arriving.fill_price) == (104.0, 103.0)
    assert [call[1].get("limit_price") for call in ledger.calls if call[0] == "set_positions"] == [104.0, 104.0]


def test_a_bracket_filled_in_on_finish_cancels_both_exits_at_once(console):
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [100.0], 0)
    ctx.finish_replay()
    entry = ctx.buy("2330", 1, take_profit=105.0, stop_loss=95.0)
    exits = (entry.take_profit_order, entry.stop_loss_order)
    assert entry.status is OrderStatus.FILLED and ctx.orders() == []
    assert all(leg.status is OrderStatus.CANCELLED and "回放已結束" in leg.reason for leg in exits)
    assert records(ledger) == [("1", "Order", 100.0), ("1", "Deal", 100.0), ("2", "Order", 105.0),
                               ("3", "Order", 95.0), ("2", "Cancel", 105.0), ("3", "Cancel", 95.0)]


def test_a_day_order_whose_session_ended_without_a_tick_of_its_code_expires_at_that_end():
    ctx, ledger = book()
    feed(ctx, "2330", "2024-01-02", [100.0], 0)
    order = ctx.buy("2330", 1, price=90.0)
    ctx.observe(tick("TXFR1", "2024-01-02 13:40:00", 17000.0, market="Future"))
    ctx.finish_replay()
    assert order.status is OrderStatus.CANCELLED and "收盤未成交" in order.reason
    assert ledger.trade_records[-1]["dt"] == str(epoch("2024-01-02 13:30:00"))


def test_a_futures_limit_beyond_the_previous_day_session_s_band_is_refused(console):
    ctx, ledger = book()
    feed(ctx, "TXFR1", "2024-01-02", [17000.0], 0, market="Future")
    feed(ctx, "TXFR1", "2024-01-03", [17100.0], 0, market="Future")
    refused = ctx.sell("TXFR1", 1, price=18701.0)
    kept = ctx.sell("TXFR1", 1, price=18700.0)
    assert refused.status is OrderStatus.CANCELLED and "漲跌停範圍 15300.00 ~ 18700.00" in refused.reason
    assert kept.is_open
