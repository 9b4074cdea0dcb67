"""Whether the account can pay for an order, read from the account's ledger: a stock entry against the cash
left after the futures margin and losses, a futures entry's initial margin (dated table) against equity less
the margin in use. Covers are never refused."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any


def opening_quantity(positions, code: str, action: str, quantity: int) -> int:
    """The part of an order that opens a position; the rest covers the opposite side first."""
    sides = positions.positions.get(code) or {}
    opposite = sides.get("sell" if action == "Buy" else "buy") or []
    return max(0, quantity - sum(p["quantity"] for p in opposite))


def stock_cash_needed(positions, code: str, action: str, price: float, quantity: int) -> float:
    """Price x shares plus fee and fixed cost, as the account prices the entry (its slippage, no tax)."""
    cost = positions.entry_cost(code, action, float(price), int(quantity), "Stock", ignore_tax=True)
    return cost["price"] * cost["min_qty"] + cost["fee"] + cost["fixed_cost"]


def mark_ledger(ledger, last_ticks: Mapping[str, Mapping[str, Any]]) -> None:
    """Marks every code at its latest trade (and moves the ledger's clock to the latest of them)."""
    for code, tick in last_ticks.items():
        ledger.mark(code, float(tick["close"]), float(tick["timestamp"]))


def shortfall(positions, last_ticks, code: str, action: str, price: float, quantity: int,
              product_type: str) -> str:
    """Why the account cannot pay for the order, or "" when it can; covers are never refused."""
    opening = opening_quantity(positions, code, action, quantity)
    if opening == 0:
        return ""
    ledger = positions.ledger
    mark_ledger(ledger, last_ticks)
    free = ledger.buying_power(product_type)
    if product_type == "Stock":
        needed = stock_cash_needed(positions, code, action, price, opening)
        if needed > free:
            return f"資金不足: 需要 {needed:,.0f}, 可用資金 {free:,.0f}"
        return ""
    needed = opening * ledger.initial_margin(code)
    if needed > free:
        return f"保證金不足: 需要原始保證金 {needed:,.0f} ({opening} 口), 可用權益 {free:,.0f}"
    return ""
