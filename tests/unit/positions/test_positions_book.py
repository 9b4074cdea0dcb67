"""Position keeping: entries, FIFO covers, profit rows, statistics and capital."""

from __future__ import annotations

import copy

import pytest

from vorn_kest_backtest.constant import Action
from vorn_kest_backtest.modules.positions.positions import Positions

ROW_KEYS = [
    "code", "entry_action", "entry_dt", "entry_price", "entry_origin_price", "exit_action", "exit_dt",
    "exit_price", "exit_origin_price", "qty", "min_qty", "trade_cost", "cover_cost", "cover_cost_fee",
    "cover_cost_tax", "cover_cost_fixed", "trade_cost_fee", "trade_cost_tax", "trade_cost_fixed", "profit",
    "profit_ratio", "entry_amount", "exit_amount",
]
RESULT_KEYS = ["entry_total", "exit_total", "origin_profit", "entry_cost_total", "exit_cost_total", "cost",
               "profit", "is_covered", "un_cover_qty"]


def fill(action, quantity, price, code="2330", trade_id="T", ts=1704158100.0):
    return {"trade_id": trade_id, "code": code, "action": action, "quantity": quantity, "price": price,
            "origin_price": price, "exchange_ts": ts}


def account(capital=1_000_000, free=False):
    p = Positions()
    p.set_initial_capital(capital)
    if free:  # no fees, no slippage: amounts are price x shares
        for kind in ("stock", "future"):
            p.update_fee_settings(kind, fee=0.0, tax=0.0)
            for action in ("buy", "sell"):
                p.update_fee_settings(kind, action=action, tick_count=0)
    return p


# Hand computations with the default fees (stock fee 0.001425, tax 0.003 at the cover; futures 0.00002
# each) and 3 ticks of slippage against the trader:
#   long stock: buy 100.0 -> 101.5, fee 144.6375; sell 110.0 -> 108.5, fee 154.6125 + tax 325.5
#   short stock: sell 100.0 -> 99.3, fee 141.5025; buy 90.0 -> 90.3, fee 128.6775 + tax 270.9
#   long TXF (200/pt, tick 1 point): buy 17000 -> 17003, fee 68.012; sell 17100 -> 17097, fee 68.388 + tax 68.388
#   short unlisted future (2000/pt, whole points, 10 per trade after reset): sell 500.0 -> 497.0,
#     fee 19.88 + 10; buy 480.0 -> 483.0, fee 19.32 + tax 19.32 + 10
@pytest.mark.parametrize(
    ("product", "code", "entry", "cover", "capital_after_entry", "capital_after_cover", "profit"),
    [
        ("Stock", "2330", ("Buy", 100.0), ("Sell", 110.0), 898355.3625, 1006375.25, 6375.25),
        ("Stock", "2330", ("Sell", 100.0), ("Buy", 90.0), 900558.4975, 1008458.92, 8458.92),
        ("Future", "TXFR1", ("Buy", 17000.0), ("Sell", 17100.0), -2400668.012, 1018595.212, 18595.212),
        ("Future", "ABCR1", ("Sell", 500.0), ("Buy", 480.0), 5970.12, 1027921.48, 27921.48),
    ],
)
def test_round_trip_moves_capital_to_the_cent(product, code, entry, cover, capital_after_entry,
                                              capital_after_cover, profit):
    p = account()
    if code == "ABCR1":
        p.reset_fee_settings()
    p.set_positions(fill(*entry[:1], 1, entry[1], code=code), product)
    assert p.fetch_account_balance() == pytest.approx(capital_after_entry, abs=0.005)
    p.set_positions(fill(*cover[:1], 1, cover[1], code=code), product)
    assert p.fetch_account_balance() == pytest.approx(capital_after_cover, abs=0.005)
    assert p._profit_report["profit"] == pytest.approx(profit, abs=0.005)
    assert p.fetch_account_balance() - 1_000_000 == pytest.approx(profit, abs=0.005)
    assert p.positions[code] == {"buy": [], "sell": []}
    assert p.product_type_mapper == {code: product}
    stats = p._account_infos[code]
    assert (stats["entry_times"], stats["cover_times"], stats["profit_times"], stats["loss_times"]) == (1, 1, 1, 0)
    assert stats["profit_total"] == stats["profit"] == p._profit_report["profit"]


def test_console_lines_of_a_long_round_trip(console):
    p = account()
    p.set_positions(fill("Buy", 1, 100.0, trade_id="A"), "Stock")
    p.set_positions(fill("Sell", 1, 110.0, trade_id="B"), "Stock")
    assert console.lines[0] == (
        "[bold pink1][做多進場]本金: 898355.3625, 進場價金: 101500.0, 進場成本: 144.63750000000002[/bold pink1]")
    assert console.lines[1].startswith("[green]沖銷部位: {'trade_id': 'B'") and console.lines[1].endswith("[/green]")
    assert console.lines[2].startswith("[yellow]被沖銷部位: {'trade_id': 'A'")
    assert console.lines[3] == (
        "[bold yellow][做多沖銷]本金: 1006375.25, 回收價金: 108500.0, 損益: 6375.25, 出場成本: 480.1125[/bold yellow]"
    )
    assert len(console.lines) == 4


def test_console_lines_of_a_short_round_trip(console):
    p = account(free=True)
    p.set_positions(fill("Sell", 1, 100.0), "Stock")
    p.set_positions(fill("Buy", 1, 90.0), "Stock")
    assert console.lines[0] == "[bold pink1][做空進場]本金: 900000.0, 應付金額: 100000.0, 進場成本: 0.0[/bold pink1]"
    assert console.lines[-1] == (
        "[bold yellow][做空沖銷]本金: 1010000.0, 出場價金: 90000.0, 損益: 10000.0, 出場成本: 0.0[/bold yellow]"
    )


@pytest.mark.parametrize(
    ("book", "cover_qty", "left", "covered", "uncovered", "matched"),
    [
        ([3], 3, [], True, 0, [3]),
        ([3], 1, [2], True, 0, [1]),
        ([3], 5, [], False, 2, [3]),
        ([1, 2, 3], 4, [2], True, 0, [1, 2, 1]),
        ([1, 2], 3, [], True, 0, [1, 2]),
    ],
)
def test_cover_consumes_the_oldest_positions_first(book, cover_qty, left, covered, uncovered, matched):
    p = account(free=True)
    for i, qty in enumerate(book):
        p.set_positions(fill("Buy", qty, 10.0 + i, trade_id=f"L{i}"), "Stock")
    kept = p.positions["2330"]["buy"][-len(left):] if left else []
    result = p._Positions__calculate_profit(fill("Sell", cover_qty, 20.0), "Stock")
    assert list(result) == RESULT_KEYS
    assert [pos["quantity"] for pos in p.positions["2330"]["buy"]] == left
    assert p.positions["2330"]["buy"] == kept
    assert (result["is_covered"], result["un_cover_qty"]) == (covered, uncovered)
    rows = p._profit_report["rows"]
    assert [r["qty"] for r in rows] == matched
    assert all(list(r) == ROW_KEYS for r in rows)
    assert [r["entry_price"] for r in rows] == [10.0 + i for i in range(len(matched))]
    assert result["entry_total"] == sum(r["entry_amount"] for r in rows)
    assert result["profit"] == pytest.approx(sum((20.0 - r["entry_price"]) * r["qty"] * 1000 for r in rows))
    assert result["origin_profit"] == result["exit_total"] - result["entry_total"]


def test_profit_row_splits_the_two_sides_costs():
    p = account()
    p.set_positions(fill("Buy", 2, 100.0, ts=1.0), "Stock")
    p.set_positions(fill("Sell", 2, 110.0, ts=2.0), "Stock")
    (row,) = p._profit_report["rows"]
    assert (row["entry_dt"], row["exit_dt"], row["min_qty"]) == (1.0, 2.0, 2000)
    assert row["trade_cost_fee"] == 0.001425 * 2 * 1000 * 101.5 and row["trade_cost_tax"] == 0
    assert row["cover_cost_fee"] == 0.001425 * 2 * 1000 * 108.5
    assert row["cover_cost_tax"] == 0.003 * 2 * 1000 * 108.5
    assert row["cover_cost"] == row["cover_cost_fee"] + row["cover_cost_tax"] + row["cover_cost_fixed"]
    assert row["profit_ratio"] == row["profit"] / (row["entry_amount"] + row["trade_cost"])


def test_a_pair_with_nothing_at_stake_has_ratio_zero():
    # set_positions refuses a price of 0, so the zero-price long is put in the book by hand.
    p = account(free=True)
    p.positions["2330"] = {"buy": [fill("Buy", 1, 0.0)], "sell": []}
    result = p._Positions__calculate_profit(fill("Sell", 1, 0.0), "Stock")
    assert p._profit_report["rows"][0]["profit_ratio"] == 0.0
    assert (result["profit"], result["is_covered"]) == (0.0, True)


def test_a_profit_of_exactly_zero_counts_as_a_loss():
    p = account(free=True)
    p.set_positions(fill("Sell", 1, 100.0), "Stock")
    p.set_positions(fill("Buy", 1, 100.0), "Stock")
    stats = p._account_infos["2330"]
    assert (stats["profit_times"], stats["loss_times"], stats["profit_total"], stats["loss_total"]) == (0, 1, 0, 0.0)
    assert p.fetch_account_balance() == 1_000_000


def test_losses_accumulate_in_loss_total_and_net_profit_is_before_costs():
    p = account()
    p.set_positions(fill("Buy", 1, 100.0), "Stock")
    p.set_positions(fill("Sell", 1, 100.0), "Stock")  # 101.5 in, 99.3 out
    stats = p._account_infos["2330"]
    assert stats["loss_times"] == 1 and stats["loss_total"] == stats["profit"] < 0
    assert stats["net_profit"] == pytest.approx((99.3 - 101.5) * 1000)
    assert stats["extra_fee"] == pytest.approx(stats["net_profit"] - stats["profit"])


def test_the_callers_trade_is_left_unchanged():
    p = account()
    nested = {"tags": ["x"]}
    buy, sell = fill("Buy", 2, 100.0), fill("Sell", 1, 110.0) | {"extra": nested}
    snapshot = copy.deepcopy((buy, sell))
    p.set_positions(buy, "Stock")
    p.set_positions(sell, "Stock")
    assert (buy, sell) == snapshot
    stored = p.positions["2330"]["buy"][0]
    assert stored == buy | {"quantity": 1} and stored is not buy


def test_a_sell_beyond_the_longs_books_the_remainder_as_a_short_entry(console):
    p = account()
    p.set_positions(fill("Buy", 2, 100.0, trade_id="L"), "Stock")
    p.set_positions(fill("Sell", 3, 110.0, trade_id="S"), "Stock")
    assert p.positions["2330"]["buy"] == []
    assert [(s["trade_id"], s["quantity"]) for s in p.positions["2330"]["sell"]] == [("S", 1)]
    stats = p._account_infos["2330"]
    assert (stats["entry_times"], stats["cover_times"]) == (2, 1)
    # 1e6 - (203000 + 289.275) + (217000 - 960.225) - (108500 + 154.6125)
    assert p.fetch_account_balance() == pytest.approx(904095.8875, abs=0.005)
    assert console.lines[-1] == (
        "[bold pink1][做空進場]本金: 904095.8875, 應付金額: 108500.0, 進場成本: 154.6125[/bold pink1]")
    # Covering the short returns only the principal that actually left the account.
    p.set_positions(fill("Buy", 1, 110.0), "Stock")
    assert p.fetch_account_balance() - 1_000_000 == pytest.approx(p._profit_report["profit"], abs=0.005)


def test_an_unknown_product_type_is_refused_before_anything_changes():
    p = account()
    p.set_positions(fill("Buy", 1, 100.0), "Stock")
    before = (copy.deepcopy(p.positions), copy.deepcopy(p._account_infos), p.fetch_account_balance())
    for trade in (fill("Sell", 1, 110.0), fill("Buy", 1, 50.0, code="2317")):
        with pytest.raises(ValueError, match="^不支援的商品類型: Option$"):
            p.set_positions(trade, "Option")
    assert (p.positions, p._account_infos, p.fetch_account_balance()) == before
    assert p._profit_report == {"profit": 0, "rows": []} and p.product_type_mapper == {"2330": "Stock"}


@pytest.mark.parametrize(
    ("trade", "error"),
    [([], "Argument 'trade' has incorrect type \\(expected dict, got list\\)"),
     (fill("Buy", 1, 10.0, code=2330), "Argument 'code' has incorrect type \\(expected str, got int\\)"),
     (fill("Buy", 1.0, 10.0), "Argument 'quantity' has incorrect type \\(expected int, got float\\)"),
     (fill("Buy", 1, "10"), "must be real number, not str")],
)
def test_a_malformed_trade_is_refused_without_booking(trade, error):
    p = account()
    with pytest.raises(TypeError, match=error):
        p.set_positions(trade, "Stock")
    assert p.fetch_account_balance() == 1_000_000
    assert all(info["entry_times"] == 0 for info in p._account_infos.values())


def test_enum_actions_count_as_their_text():
    p = account(free=True)
    p.set_positions(fill(Action.SELL, 1, 10.0), "Stock")
    p.set_positions(fill(Action.BUY, 1, 10.0), "Stock")
    assert p.positions["2330"] == {"buy": [], "sell": []}
    assert p._account_infos["2330"]["cover_times"] == 1


def test_first_product_type_of_a_code_wins():
    p = account(free=True)
    p.set_positions(fill("Buy", 1, 10.0), "Stock")
    p.set_positions(fill("Buy", 1, 10.0), "Future")
    assert p.product_type_mapper == {"2330": "Stock"}
    assert len(p.positions["2330"]["buy"]) == 2
