"""Whether the account can pay for an order: cash for stocks, initial margin against equity for futures.

The account itself books every entry by taking its full principal out of current capital; these checks sit in
front of it and refuse what a broker would refuse, without changing its arithmetic.
"""

from __future__ import annotations

from typing import Any

from vorn_kest_backtest.constant import futures_family


def _cost(positions, code: str, action: str, price: float, quantity: int, product_type: str) -> dict[str, Any]:
    # The entry side as the account prices it: slippage in the order's own direction, no tax.
    return positions.entry_cost(code, action, float(price), int(quantity), product_type, ignore_tax=True)


def opening_quantity(positions, code: str, action: str, quantity: int) -> int:
    """The part of an order that opens a position; the rest covers the opposite side first."""
    sides = positions.positions.get(code) or {}
    opposite = sides.get("sell" if action == "Buy" else "buy") or []
    return max(0, quantity - sum(p["quantity"] for p in opposite))


def stock_cash_needed(positions, code: str, action: str, price: float, quantity: int) -> float:
    """Price x shares plus fee and fixed cost: what the account takes out for the entry."""
    cost = _cost(positions, code, action, price, quantity, "Stock")
    return cost["price"] * cost["min_qty"] + cost["fee"] + cost["fixed_cost"]


def initial_margin(code: str) -> int:
    """每口原始保證金; 不在期貨商品族表中的代碼為 0 (不檢查)."""
    family = futures_family(code)
    return family.initial_margin if family is not None else 0


def margin_in_use(positions) -> float:
    """Initial margin of every open futures contract."""
    total = 0.0
    for code, sides in positions.positions.items():
        if positions.product_type_mapper.get(code) != "Future":
            continue
        contracts = sum(p["quantity"] for side in ("buy", "sell") for p in sides[side])
        total += contracts * initial_margin(code)
    return total


def equity(positions, last_ticks: dict[str, dict[str, Any]]) -> float:
    """Current capital plus what the open positions are worth at their last trade.

    The account took each entry's principal out of capital, so a long is worth its shares at the last price and
    a short its principal plus the price difference.
    """
    total = float(positions.current_capital)
    for code, sides in positions.positions.items():
        product_type = positions.product_type_mapper.get(code, "Stock")
        tick = last_ticks.get(code)
        for side in ("buy", "sell"):
            for position in sides[side]:
                cost = _cost(positions, code, position["action"], position["price"], position["quantity"],
                             product_type)
                entry = cost["price"]
                last = float(tick["close"]) if tick is not None else entry
                total += (last if side == "buy" else 2 * entry - last) * cost["min_qty"]
    return total


def shortfall(positions, last_ticks, code: str, action: str, price: float, quantity: int,
              product_type: str) -> str:
    """Why the account cannot pay for the order, or "" when it can; covers are never refused."""
    opening = opening_quantity(positions, code, action, quantity)
    if opening == 0:
        return ""
    if product_type == "Stock":
        needed = stock_cash_needed(positions, code, action, price, opening)
        cash = float(positions.current_capital)
        if needed > cash:
            return f"資金不足: 需要 {needed:,.0f}, 可用現金 {cash:,.0f}"
        return ""
    needed = opening * initial_margin(code)
    free = equity(positions, last_ticks) - margin_in_use(positions)
    if needed > free:
        return f"保證金不足: 需要原始保證金 {needed:,.0f} ({opening} 口), 可用權益 {free:,.0f}"
    return ""
