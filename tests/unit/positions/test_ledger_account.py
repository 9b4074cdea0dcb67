"""The account as a whole, by hand: cash, futures margin, equity and buying power, through the runner and the
order path (held positions, a mixed stock-after-futures account, dated margins, short positions)."""

from __future__ import annotations

import json
from pathlib import Path

import pytest
from report_fakes import epoch
from runner_fakes import FakeQuotes, tick

from vorn_kest_backtest import utils
from vorn_kest_backtest.modules.positions.positions import Positions
from vorn_kest_backtest.runner import Context, Strategy, session
from vorn_kest_backtest.runner.equity import EquityRecorder
from vorn_kest_backtest.runner.orders import OrderStatus
from vorn_kest_backtest.runner.summary import open_positions_table


class Objects:
    """A console that keeps what was printed as objects (tables included)."""

    def __init__(self) -> None:
        self.printed: list = []

    def print(self, *objects, **_kwargs) -> None:
        self.printed.extend(objects)


def account_context(capital: int) -> Context:
    positions = Positions()
    positions.set_initial_capital(capital)
    return Context(positions, FakeQuotes())


def at(ctx: Context, code: str, when: str, price: float, market: str = "Stock") -> None:
    ctx.observe(tick(code, when, price, market=market))


def recorded_future(action: str, when: str, price: float) -> tuple[Positions, EquityRecorder]:
    """An account of 1,000,000 with one TXFR1 contract booked at `when`, and its equity recorder."""
    positions = Positions()
    positions.set_initial_capital(1_000_000)
    recorder = EquityRecorder(positions)
    recorder.on_tick(tick("TXFR1", when, price, market="Future"))
    positions.set_positions({"trade_id": "1", "code": "TXFR1", "action": action, "quantity": 1, "price": price,
                             "origin_price": price, "exchange_ts": epoch(when)}, "Future")
    return positions, recorder


class BuyAndHold(Strategy):
    def __init__(self, code: str) -> None:
        self.code, self.placed = code, False

    def on_tick(self, tick, ctx):
        if tick["code"] == self.code and not self.placed:
            ctx.buy(self.code, 1)
            self.placed = True

    def on_finish(self, ctx):
        self.account, self.last_close = ctx.account, float(ctx.last_ticks[self.code]["close"])


@pytest.mark.parametrize("code, market", [("2330", "Stock"), ("TXFR1", "Future")])
def test_buy_and_hold_ends_at_its_equity_and_is_listed_as_open(code, market, tmp_path, monkeypatch):
    from vorn_kest_backtest.brokers import SimulatedBroker

    console = Objects()
    monkeypatch.setattr(utils, "console", console)
    strategy = BuyAndHold(code)
    summary = session.run_backtest(strategy, [{"code": code, "market": market}], "2024-03-04", "2024-03-06",
                                   SimulatedBroker(ticks_per_day=200),
                                   outputs=session.RunOutputs(folder=str(tmp_path), html=False))
    account = strategy.account
    deal = next(r for r in account.trade_records if r["trade_status"] == "Deal")
    cost = account.entry_cost(code, "Buy", deal["price"], 1, market, ignore_tax=True)
    charges = cost["fee"] + cost["fixed_cost"]
    if market == "Stock":
        by_hand = 1_000_000 - cost["price"] * cost["min_qty"] - charges + strategy.last_close * 1000
    else:
        by_hand = 1_000_000 - charges + (strategy.last_close - cost["price"]) * cost["min_qty"]

    assert summary.final_capital == pytest.approx(by_hand, abs=0.01)
    assert summary.total_return == pytest.approx(by_hand / 1_000_000 - 1)
    # Not the principal taken out of Positions.current_capital: a held lot is not lost cash.
    assert summary.final_capital - account.current_capital == pytest.approx(cost["price"] * cost["min_qty"]
                                                                            + (strategy.last_close - cost["price"])
                                                                            * cost["min_qty"], abs=0.01)
    unit = cost["min_qty"]
    expected = [{"code": code, "contract": "", "market": market, "side": "Buy", "quantity": 1,
                 "entry_price": cost["price"], "last_price": strategy.last_close,
                 "unrealised": pytest.approx((strategy.last_close - cost["price"]) * unit)}]
    assert summary.open_positions == expected
    saved = json.loads((tmp_path / "summary.json").read_text(encoding="utf-8"))
    assert saved["open_positions"] == expected
    assert saved["figures"]["final_capital"] == pytest.approx(by_hand, abs=0.01)
    tables = [item for item in console.printed if getattr(item, "title", None) == "未平倉部位"]
    assert len(tables) == 1 and tables[0].row_count == 1


def test_the_open_positions_table_and_the_report_section_show_each_position(data_dir, console):
    from report_fakes import FakeQuoteManager, minute_bars

    from vorn_kest_backtest.reports import generate_standard_report

    positions = Positions()
    positions.set_initial_capital(1_000_000)
    positions.set_positions({"trade_id": "1", "code": "2330", "action": "Sell", "quantity": 2, "price": 600.0,
                             "origin_price": 600.0, "exchange_ts": epoch("2024-01-02 09:01:00")}, "Stock")
    positions.ledger.mark("2330", 590.0, epoch("2024-01-02 13:30:00"))
    quotes = FakeQuoteManager({("2330", "m"): minute_bars("2330", "2024-01-02 09:00:00", 10)})
    path = generate_standard_report(positions, "2330", quotes, open_positions=positions.ledger.open_positions())
    html = Path(path).read_text(encoding="utf-8")
    section = html[html.index("<h2>未平倉部位</h2>"):html.index("<h2>手續費設定</h2>")]
    # Sold at 600 and booked 3 ticks lower (597); bought back at 590 it would gain 7 x 2000.
    assert "<td>2330</td><td>-</td><td>Sell</td><td>2</td>" in section and "14,000.00" in section

    table = open_positions_table(type("S", (), {"open_positions": positions.ledger.open_positions()})())
    assert table.title == "未平倉部位" and table.row_count == 1


def test_a_stock_buy_after_a_futures_long_uses_the_cash_less_the_margin(console):
    ctx = account_context(1_000_000)
    at(ctx, "TXFR1", "2024-03-04 09:00:00", 17_000.0, "Future")
    assert ctx.buy("TXFR1", 1, fill="this_tick").status is OrderStatus.FILLED
    at(ctx, "2330", "2024-03-04 09:01:00", 600.0)
    # Booked 3 ticks up at 17,003 with fee 0.00002 x 200 x 17,003; 322,000 margin (the table's first row);
    # marked at 17,000 the contract is 3 points (600) down.
    fee = 0.00002 * 200 * 17_003
    assert ctx.balance() == pytest.approx(1_000_000 - fee)
    assert ctx.margin_in_use() == 322_000
    assert ctx.equity() == pytest.approx(1_000_000 - fee - 600)
    assert ctx.buying_power("2330") == pytest.approx(1_000_000 - fee - 322_000 - 600)
    assert ctx.buying_power("TXFR1") == pytest.approx(1_000_000 - fee - 600 - 322_000)
    order = ctx.buy("2330", 1, fill="this_tick")
    assert order.status is OrderStatus.FILLED
    assert ctx.balance() == pytest.approx(1_000_000 - fee - 603_000 - 0.001425 * 603_000)
    assert any("TXF" in line and "2024-12-09" in line and line.startswith("[yellow]") for line in console.lines)


def test_a_stock_order_beyond_the_cash_left_after_margin_is_refused(console):
    ctx = account_context(1_000_000)
    at(ctx, "TXFR1", "2024-03-04 09:00:00", 17_000.0, "Future")
    ctx.buy("TXFR1", 2, fill="this_tick")
    at(ctx, "2330", "2024-03-04 09:01:00", 600.0)
    order = ctx.buy("2330", 1, fill="this_tick")
    assert order.status is OrderStatus.CANCELLED
    free = 1_000_000 - 2 * 0.00002 * 200 * 17_003 - 2 * 322_000 - 2 * 600
    assert order.reason == f"資金不足: 需要 {603_000 * 1.001425:,.0f}, 可用資金 {free:,.0f}"


@pytest.mark.parametrize("when, margin, status", [
    ("2025-12-31 10:00:00", 338_000, OrderStatus.FILLED),
    # The night session after 12-31 counts for 2026-01-02 (01-01 is a holiday), whose margin is 356,000.
    ("2025-12-31 15:05:00", 356_000, OrderStatus.CANCELLED),
], ids=["day-session", "night-session"])
def test_the_margin_in_force_follows_the_trading_date(when, margin, status, console):
    ctx = account_context(700_000)
    at(ctx, "TXFR1", "2025-12-31 09:00:00", 23_000.0, "Future")
    ctx.buy("TXFR1", 1, fill="this_tick")
    at(ctx, "TXFR1", when, 23_000.0, "Future")
    assert ctx.margin_in_use() == margin
    assert ctx.account.ledger.initial_margin("TXFR1") == margin
    assert ctx.buy("TXFR1", 1, fill="this_tick").status is status
    assert ctx.margin_in_use() == (2 if status is OrderStatus.FILLED else 1) * margin


def test_a_margin_table_of_ones_own_replaces_the_package_table(console):
    from datetime import date

    ctx = account_context(1_000_000)
    ctx.account.ledger.load_margins([("TXF", date(2024, 1, 1), 500_000.0)])
    at(ctx, "TXFR1", "2024-03-04 09:00:00", 17_000.0, "Future")
    ctx.buy("TXFR1", 1, fill="this_tick")
    assert ctx.margin_in_use() == 500_000
    assert ctx.buy("TXFR1", 1, fill="this_tick").status is OrderStatus.CANCELLED


@pytest.mark.parametrize("last, equity_move", [(210.0, -20_000), (195.0, 10_000)], ids=["rise", "fall"])
def test_a_short_stock_is_owed_at_its_last_price(last, equity_move, console):
    ctx = account_context(1_000_000)
    at(ctx, "2317", "2024-03-04 09:00:00", 200.0)
    ctx.sell("2317", 2, fill="this_tick")
    proceeds = 2 * 1000 * 198.5  # 3 ticks of 0.5 below 200
    fee = 0.001425 * proceeds
    assert ctx.balance() == pytest.approx(1_000_000 + proceeds - fee)
    at(ctx, "2317", "2024-03-04 09:05:00", last)
    assert ctx.equity() == pytest.approx(1_000_000 - fee - (last - 198.5) * 2000)
    assert ctx.equity() - (1_000_000 - fee + (198.5 - 200.0) * 2000) == pytest.approx(equity_move)
    [held] = ctx.account.ledger.open_positions()
    assert (held["side"], held["unrealised"]) == ("Sell", pytest.approx((198.5 - last) * 2000))


@pytest.mark.parametrize("last, accepted", [(17_100.0, False), (16_900.0, True)], ids=["losing", "gaining"])
def test_a_short_future_counts_its_loss_not_its_gain_against_a_stock_buy(last, accepted, console):
    # Short 1 TXF at 17,000 (booked 16,997); 322,000 margin; then a stock buy that needs 603,859.275.
    fee = 0.00002 * 200 * 16_997
    ctx = account_context(int(1_000_000 - 74_000))
    at(ctx, "TXFR1", "2024-03-04 09:00:00", 17_000.0, "Future")
    ctx.sell("TXFR1", 1, fill="this_tick")
    at(ctx, "TXFR1", "2024-03-04 09:01:00", last, "Future")
    at(ctx, "2330", "2024-03-04 09:01:00", 600.0)
    unrealised = (16_997 - last) * 200
    assert ctx.equity() == pytest.approx(926_000 - fee + unrealised)
    assert ctx.buying_power("2330") == pytest.approx(926_000 - fee - 322_000 - max(0.0, -unrealised))
    assert ctx.buying_power("TXFR1") == pytest.approx(926_000 - fee + unrealised - 322_000)
    assert (ctx.buy("2330", 1, fill="this_tick").status is OrderStatus.FILLED) is accepted


def test_a_short_future_entry_needs_equity_that_counts_its_loss(console):
    ctx = account_context(700_000)
    at(ctx, "TXFR1", "2024-03-04 09:00:00", 17_000.0, "Future")
    ctx.sell("TXFR1", 1, fill="this_tick")
    # 300 points against the short (booked 16,997) leave 700,000 - fee - 60,000 - 322,000 free: less than a
    # second contract's 322,000; 200 points for it leave 417,932.
    at(ctx, "TXFR1", "2024-03-04 09:01:00", 17_297.0, "Future")
    refused = ctx.sell("TXFR1", 1, fill="this_tick")
    assert refused.status is OrderStatus.CANCELLED and "保證金不足" in refused.reason
    at(ctx, "TXFR1", "2024-03-04 09:02:00", 16_797.0, "Future")
    assert ctx.sell("TXFR1", 1, fill="this_tick").status is OrderStatus.FILLED


def test_the_equity_curve_marks_a_short_against_its_entry(console):
    positions, recorder = recorded_future("Sell", "2024-03-04 09:00:00", 17_000.0)
    for close, when in ((16_900.0, "2024-03-04 09:01:00"), (17_200.0, "2024-03-04 09:02:00"),
                        (17_200.0, "2024-03-04 09:03:00")):
        recorder.on_tick(tick("TXFR1", when, close, market="Future"))
    samples = recorder.finish()
    fee = 0.00002 * 200 * 16_997
    assert [value for _, value in samples[1:]] == pytest.approx(
        [1_000_000 - fee + (16_997 - 16_900) * 200, 1_000_000 - fee + (16_997 - 17_200) * 200,
         1_000_000 - fee + (16_997 - 17_200) * 200])
    assert recorder.held[-1] is True


def test_buying_power_of_a_code_not_seen_yet_is_refused():
    ctx = account_context(1_000_000)
    with pytest.raises(ValueError, match="尚未收到 2330 的 Tick"):
        ctx.buying_power("2330")


def test_the_peak_margin_counts_a_raise_while_a_position_is_held(console):
    _, recorder = recorded_future("Buy", "2025-12-31 09:00:00", 23_000.0)
    # No fill after the raise: only the samples see the night session's margin of the next trading date.
    for when in ("2025-12-31 09:01:00", "2025-12-31 15:01:00", "2025-12-31 15:02:00"):
        recorder.on_tick(tick("TXFR1", when, 23_000.0, market="Future"))
    recorder.finish()
    assert recorder.peak_margin == 356_000
