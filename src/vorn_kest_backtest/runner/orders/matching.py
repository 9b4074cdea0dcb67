"""How one trade print meets a working order: stop triggers and limit fills."""

from __future__ import annotations

from vorn_kest_backtest.runner.orders.order import Order, OrderType


def stop_reached(is_buy: bool, stop: float, price: float) -> bool:
    """A buy stop triggers on a trade at or above it, a sell stop at or below it."""
    return price >= stop if is_buy else price <= stop


def limit_reached(is_buy: bool, limit: float, price: float) -> bool:
    """A buy limit is reached by a trade at or below it, a sell limit at or above it."""
    return price <= limit if is_buy else price >= limit


def limit_fill_price(is_buy: bool, limit: float, price: float, rested: bool) -> float | None:
    """The price a limit order fills at on this trade; None when the trade does not reach it.

    The first trade an order meets tells where the market stood when it arrived: reached, the order was
    marketable and trades at that price. An order that has rested is first in line at its own price, so a
    trade at or through it fills it at its limit.
    """
    if not limit_reached(is_buy, limit, price):
        return None
    return limit if rested else price


def works_as(order: Order) -> OrderType:
    """What the order is on this trade: a triggered stop is a market order, a triggered stop-limit a limit."""
    if order.order_type is OrderType.STOP:
        return OrderType.MARKET if order.triggered else OrderType.STOP
    if order.order_type is OrderType.STOP_LIMIT:
        return OrderType.LIMIT if order.triggered else OrderType.STOP
    return order.order_type
