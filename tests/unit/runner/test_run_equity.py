from __future__ import annotations

import pandas as pd
import polars as pl
import pytest
from report_fakes import FakePositions, FakeQuoteManager, epoch, profit_row

from vorn_kest_backtest.modules.positions.positions import Positions
from vorn_kest_backtest.reports import export_trade_records, generate_qs_profit_report
from vorn_kest_backtest.reports.performance import drop_unearned_periods, equity_series, to_exchange_datetimes
from vorn_kest_backtest.runner.equity import EquityRecorder, realised_samples
from vorn_kest_backtest.runner.trading_days import daily_closes


def fill(trade_id: str, action: str, price: float, when: str, qty: int = 1) -> dict:
    return {"trade_id": trade_id, "code": "2330", "action": action, "quantity": qty, "price": price,
            "origin_price": price, "exchange_ts": epoch(when)}


def tick(close: float, when: str) -> dict:
    return {"market_type": "Stock", "timestamp": epoch(when), "code": "2330", "close": close, "qty": 1,
            "tick_type": 1, "is_simulate": False, "is_backfilling": False}


def booked_round_trip(positions) -> None:
    for trade_id, action, price, when in (("1", "Buy", 587.0, "2024-01-02 09:01:00"),
                                          ("2", "Sell", 593.0, "2024-01-02 10:01:00")):
        record = fill(trade_id, action, price, when)
        positions.add_trade_record(trade_id, "2330", action, 1, price, record["exchange_ts"], "Deal")
        positions.set_positions(record, "Stock")


def test_profit_csv_row_is_recomputable_from_its_shown_prices_and_costs(console):
    positions = Positions()
    positions.set_initial_capital(1_000_000)
    booked_round_trip(positions)
    generate_qs_profit_report(positions, FakeQuoteManager(), "2330")

    row = pd.read_csv(positions._Positions__generate_save_path("2330-profit_report.csv", "report"),
                      encoding="utf-8-sig").iloc[0]
    assert (row.entry_price, row.exit_price) == (587.0, 593.0)
    assert row.entry_booked_price > 587.0 and row.exit_booked_price < 593.0
    by_hand = (row.exit_booked_price - row.entry_booked_price) * row.min_qty - row.trade_cost - row.cover_cost
    assert by_hand == pytest.approx(row.profit, abs=0.01)


def test_deal_rows_show_the_booked_price_beside_the_quoted_one(console):
    positions = Positions()
    positions.set_initial_capital(1_000_000)
    booked_round_trip(positions)
    frame = pl.read_csv(export_trade_records(positions, {"2330": "Stock"}))
    row = positions._profit_report["rows"][0]
    assert frame["price"].to_list() == [587.0, 593.0]
    assert frame["booked_price"].to_list() == [row["entry_amount"] / row["min_qty"],
                                               row["exit_amount"] / row["min_qty"]]


def test_an_overnight_position_moves_the_marked_curve_not_the_realised_one(console):
    positions = Positions()
    positions.set_initial_capital(1_000_000)
    recorder = EquityRecorder(positions)
    recorder.on_tick(tick(100.0, "2024-01-02 09:00:00"))
    positions.set_positions(fill("1", "Buy", 100.0, "2024-01-02 09:00:00"), "Stock")
    for close, when in ((100.0, "2024-01-02 13:29:00"), (110.0, "2024-01-03 09:00:00"), (90.0, "2024-01-04 09:00:00")):
        recorder.on_tick(tick(close, when))
    samples = recorder.finish()

    closes = dict(daily_closes(samples))
    assert closes["2024-01-03"] - closes["2024-01-02"] == pytest.approx(10 * 1000)
    assert closes["2024-01-04"] - closes["2024-01-03"] == pytest.approx(-20 * 1000)
    assert recorder.held[-1] is True
    assert realised_samples(positions._profit_report["rows"], 1_000_000) == []


def test_a_trade_held_across_days_steps_the_realised_equity_on_its_exit_day():
    rows = [profit_row("2330", "2024-01-01 09:05:00", "2024-01-03 10:00:00", 500.0)]
    frame = pd.DataFrame(rows)
    frame["entry_dt"] = to_exchange_datetimes(frame["entry_dt"])
    frame["exit_dt"] = to_exchange_datetimes(frame["exit_dt"])
    equity = equity_series(frame, 1000.0)
    assert equity.to_dict() == {pd.Timestamp("2024-01-02"): 1000.0, pd.Timestamp("2024-01-03"): 1500.0}


@pytest.mark.parametrize("closes, reason", [
    ([("2024-01-02", 500_000.0), ("2024-01-03", -200_000.0)], "權益曾降至 0 或以下"),
    ([("2024-01-02", 1_000_000.0), ("2024-01-03", 1_000_000.0)], "報酬率全為 0"),
], ids=["lost-more-than-capital", "flat"])
def test_a_run_the_library_cannot_chart_is_skipped_with_a_yellow_line(closes, reason, console):
    rows = [profit_row("2330", "2024-01-02 09:05:00", "2024-01-03 10:00:00", -1_200_000.0)]
    assert generate_qs_profit_report(FakePositions(rows), FakeQuoteManager(), "2330", daily_closes=closes) is None
    assert any(line.startswith("[yellow]" + reason) for line in console.lines)
    assert console.lines[-1].startswith("[bold green]損益報告 CSV 已產生")


def test_long_period_rows_are_dropped_for_a_short_range():
    page = ("<tr><td>1Y</td><td>1%</td></tr><tr><td>3Y (ann.)</td><td>2%</td></tr>"
            "<tr><td>10Y (ann.) %</td><td>3</td></tr>")
    assert drop_unearned_periods(page, 0.5) == "<tr><td>1Y</td><td>1%</td></tr>"
    assert drop_unearned_periods(page, 4) == "<tr><td>1Y</td><td>1%</td></tr><tr><td>3Y (ann.)</td><td>2%</td></tr>"


@pytest.mark.parametrize("ticks, booked", [(0, 587.0), (1, 588.0)])
def test_slippage_ticks_set_every_buy_and_sell(ticks, booked, console):
    from vorn_kest_backtest.runner.session import set_slippage_ticks

    positions = Positions()
    set_slippage_ticks(positions, ticks)
    buy = positions._Positions__calculate_trade_cost("2330", "Buy", 587.0, 1, "Stock", need_reverse_direction=False)
    sell = positions._Positions__calculate_trade_cost("2330", "Sell", 587.0, 1, "Stock", need_reverse_direction=False)
    assert buy["price"] == booked and sell["price"] == 587.0 - (booked - 587.0)
    with pytest.raises(ValueError, match="滑價跳動數必須是非負整數: -1"):
        set_slippage_ticks(positions, -1)
