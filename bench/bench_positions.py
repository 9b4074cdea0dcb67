"""Fills through Positions.set_positions against a straightforward pure-Python book.

200,000 fills alternate entries and covers over 10 stock codes; the console is a no-op object.
Both sides do the same bookkeeping (deep copy, slippage on the price grid, fee and tax, FIFO
cover, profit rows, statistics, capital, console lines) and must end with the same capital.
"""

from __future__ import annotations

import argparse
import copy
import gc
import math
import time
from typing import Any, cast

from rich.console import Console

from vorn_kest_backtest import utils
from vorn_kest_backtest.modules.positions.positions import Positions


class NullConsole:
    def print(self, *objects, **kwargs) -> None:
        pass


def tick_cents(fund: bool, cents: int) -> int:
    if fund and cents < 100000:
        return 1 if cents < 5000 else 5
    for bound, tick in ((1000, 1), (5000, 5), (10000, 10), (50000, 50), (100000, 100)):
        if cents < bound:
            return tick
    return 500


def slip(code: str, price: float, ticks: int, up: bool) -> float:
    if ticks <= 0:
        return price
    fund = code.startswith("00")
    tick = tick_cents(fund, math.floor(price * 100 + 1e-6))
    cents = math.ceil(round(price * 100 / tick, 9)) * tick
    for i in range(ticks):
        step = tick if i == 0 else tick_cents(fund, cents)
        moved = cents + step if up else cents - step
        t = tick_cents(fund, moved)
        cents = -(-moved // t) * t
    return cents / 100


class PyPositions:
    """The same bookkeeping written plainly in Python (stocks only)."""

    def __init__(self) -> None:
        self.positions: dict = {}
        self.current_capital = 100000
        self.profit_report: dict[str, Any] = {"profit": 0, "rows": []}
        self.account_infos: dict = {}
        self.fees = {"fee": 0.001425, "tax": 0.003, "per_trade_cost": 0,
                     "slippage": {"buy": {"tick_count": 3, "direction": "up"},
                                  "sell": {"tick_count": 3, "direction": "down"}}}

    def cost(self, code, action, price, quantity, ignore_tax):
        s = self.fees["slippage"][action.lower()]
        slipped = slip(code, float(price), s["tick_count"], s["direction"] == "up")
        fee = self.fees["fee"] * quantity * 1000 * slipped
        tax = 0 if ignore_tax else self.fees["tax"] * quantity * 1000 * slipped
        return {"fee": fee, "tax": tax, "fixed_cost": self.fees["per_trade_cost"], "qty": quantity,
                "min_qty": quantity * 1000, "price": slipped, "origin_price": float(price)}

    def calculate_profit(self, cover):
        buy = cover["action"] == "Buy"
        opposite = self.positions[cover["code"]]["sell" if buy else "buy"]
        entry_total = exit_total = entry_cost_total = exit_cost_total = profit = cost = 0
        remaining = cover["quantity"]
        while remaining > 0 and opposite:
            pos = opposite[0]
            qty = min(remaining, pos["quantity"])
            e = self.cost(pos["code"], pos["action"], pos["price"], qty, True)
            x = self.cost(cover["code"], cover["action"], cover["price"], qty, False)
            utils.console.print(f"[green]沖銷部位: {cover}[/green]")
            utils.console.print(f"[yellow]被沖銷部位: {pos}[/yellow]")
            ea, xa = e["price"] * e["min_qty"], x["price"] * x["min_qty"]
            ec, xc = e["fee"] + e["tax"] + e["fixed_cost"], x["fee"] + x["tax"] + x["fixed_cost"]
            entry_cost_total += ec
            exit_cost_total += xc
            entry_total += ea
            exit_total += xa
            if buy:
                pair, divisor = (ea - xa) - (ec + xc), ea - ec
            else:
                pair, divisor = (xa - ea) - (ec + xc), ea + ec
            ratio = pair / divisor if divisor else 0
            profit += pair
            cost += ec + xc
            self.profit_report["rows"].append({
                "code": cover["code"], "entry_action": pos["action"], "entry_dt": pos["exchange_ts"],
                "entry_price": pos["price"], "entry_origin_price": pos["origin_price"],
                "exit_action": cover["action"], "exit_dt": cover["exchange_ts"], "exit_price": cover["price"],
                "exit_origin_price": cover["origin_price"], "qty": qty, "min_qty": x["min_qty"],
                "trade_cost": ec, "cover_cost": xc, "cover_cost_fee": x["fee"], "cover_cost_tax": x["tax"],
                "cover_cost_fixed": x["fixed_cost"], "trade_cost_fee": e["fee"], "trade_cost_tax": e["tax"],
                "trade_cost_fixed": e["fixed_cost"], "profit": pair, "profit_ratio": ratio,
                "entry_amount": ea, "exit_amount": xa})
            remaining -= qty
            pos["quantity"] -= qty
            if pos["quantity"] == 0:
                opposite.pop(0)
        origin = entry_total - exit_total if buy else exit_total - entry_total
        return {"entry_total": entry_total, "exit_total": exit_total, "origin_profit": origin,
                "entry_cost_total": entry_cost_total, "exit_cost_total": exit_cost_total, "cost": cost,
                "profit": profit, "is_covered": remaining == 0, "un_cover_qty": remaining}

    def entry(self, position, stats, buy, qty):
        stats["entry_times"] += 1
        c = self.cost(position["code"], position["action"], position["price"], qty, True)
        self.current_capital -= c["price"] * c["min_qty"] + c["fee"] + c["fixed_cost"]
        head = "[做多進場]本金: " if buy else "[做空進場]本金: "
        label = ", 進場價金: " if buy else ", 應付金額: "
        utils.console.print(f"[bold pink1]{head}{self.current_capital}{label}{c['price'] * c['min_qty']}"
                            f", 進場成本: {c['fee'] + c['fixed_cost']}[/bold pink1]")

    def set_positions(self, trade, product_type):
        if product_type not in ("Stock", "Future"):
            raise ValueError(f"不支援的商品類型: {product_type}")
        code = trade["code"]
        book = self.positions.setdefault(code, {"buy": [], "sell": []})
        stats = self.account_infos.setdefault(code, dict.fromkeys(
            ["entry_times", "cover_times", "entry_amount", "exit_amount", "net_profit", "extra_fee",
             "profit_times", "loss_times", "profit_total", "loss_total", "profit"], 0))
        position = copy.deepcopy(trade)
        buy = trade["action"] == "Buy"
        covered = False
        if book["sell" if buy else "buy"]:
            r = self.calculate_profit(position)
            self.profit_report["profit"] += r["profit"]
            covered = r["is_covered"]
            if not covered:
                position["quantity"] = r["un_cover_qty"]
            stats["entry_amount"] += r["entry_total"]
            stats["exit_amount"] += r["exit_total"]
            stats["extra_fee"] += r["cost"]
            stats["profit"] += r["profit"]
            stats["net_profit"] += r["origin_profit"]
            stats["cover_times"] += 1
            if r["profit"] > 0:
                stats["profit_times"] += 1
                stats["profit_total"] += r["profit"]
            else:
                stats["loss_times"] += 1
                stats["loss_total"] += r["profit"]
            if buy:
                self.current_capital += r["entry_total"] + (r["entry_total"] - r["exit_total"] - r["exit_cost_total"])
                head, label = "[做空沖銷]本金: ", ", 出場價金: "
            else:
                self.current_capital += r["exit_total"] - r["exit_cost_total"]
                head, label = "[做多沖銷]本金: ", ", 回收價金: "
            utils.console.print(f"[bold yellow]{head}{self.current_capital}{label}{r['exit_total']}, 損益: "
                                f"{r['profit']}, 出場成本: {r['exit_cost_total']}[/bold yellow]")
            if r["un_cover_qty"] > 0:
                self.entry(position, stats, buy, r["un_cover_qty"])
        else:
            self.entry(position, stats, buy, position["quantity"])
        if not covered:
            book["buy" if buy else "sell"].append(position)


def make_fills(n: int) -> list[dict]:
    codes = [str(2300 + i) for i in range(10)]
    fills = []
    for i in range(n):
        code = codes[(i // 2) % 10]
        entry = i % 2 == 0
        price = 20.0 + (i % 37) * 0.35 + (0.0 if entry else 1.25)
        fills.append({"trade_id": f"T{i}", "code": code, "action": "Buy" if entry else "Sell", "quantity": 1 + i % 3,
                      "price": round(price, 2), "origin_price": round(price, 2), "exchange_ts": 1704158100.0 + i})
    return fills


def run(book, fills) -> float:
    start = time.perf_counter()
    for f in fills:
        book.set_positions(f, "Stock")
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--fills", type=int, default=200_000)
    n = parser.parse_args().fills
    utils.console = cast(Console, NullConsole())
    fills = make_fills(n)
    cpp = Positions()
    cpp_s = run(cpp, fills)
    cpp_capital, cpp_rows = cpp.current_capital, len(cpp._profit_report["rows"])
    del cpp  # the second run should not scan the first run's rows in its garbage collections
    gc.collect()
    py = PyPositions()
    py_s = run(py, fills)
    assert math.isclose(cpp_capital, py.current_capital, rel_tol=1e-12), (cpp_capital, py.current_capital)
    assert cpp_rows == len(py.profit_report["rows"])
    print(f"fills: {n}, codes: 10, profit rows: {len(py.profit_report['rows'])}")
    print(f"Positions (C++):  {cpp_s:8.3f} s  {n / cpp_s:12,.0f} fills/s")
    print(f"pure Python:      {py_s:8.3f} s  {n / py_s:12,.0f} fills/s")
    print(f"ratio (Python time / C++ time): {py_s / cpp_s:.2f}x")


if __name__ == "__main__":
    main()
