"""Display copies of profit rows and the trade points marked on the chart."""

from __future__ import annotations

from typing import Any

from vorn_kest_backtest.constant import Action
from vorn_kest_backtest.reports.exchange_time import format_exchange_dt


def booked_price(amount: float, min_qty: int) -> float:
    """The fill price the account booked: amount / min_qty (after slippage, per share or index point)."""
    return float(amount) / min_qty if min_qty else 0.0


def with_booked_prices(row: dict[str, Any]) -> dict[str, Any]:
    """A copy with "entry_booked_price" / "exit_booked_price", the prices the row's profit is computed from."""
    copy = dict(row)
    copy["entry_booked_price"] = booked_price(row["entry_amount"], row["min_qty"])
    copy["exit_booked_price"] = booked_price(row["exit_amount"], row["min_qty"])
    return copy


def format_profit_rows(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Copies with entry_dt / exit_dt as exchange date-time text and the booked prices; the shared rows stay
    untouched."""
    formatted = []
    for row in rows:
        copy = with_booked_prices(row)
        copy["entry_dt"] = format_exchange_dt(row["entry_dt"])
        copy["exit_dt"] = format_exchange_dt(row["exit_dt"])
        formatted.append(copy)
    return formatted


def trade_points(formatted_rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """One entry and one exit point per profit row; `side` is the direction of the position held."""
    points = []
    for row in formatted_rows:
        side = "long" if row["entry_action"] == Action.BUY.value else "short"
        for kind in ("entry", "exit"):
            points.append(
                {
                    "code": row["code"],
                    "dt": row[f"{kind}_dt"],
                    "qty": row["qty"],
                    "price": row[f"{kind}_booked_price"],
                    "quoted_price": row[f"{kind}_price"],
                    "origin_price": row[f"{kind}_origin_price"],
                    "action": row[f"{kind}_action"],
                    "kind": kind,
                    "side": side,
                }
            )
    return points
