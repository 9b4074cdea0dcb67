"""How one trade print meets a working order: stop triggers and limit fills."""

from __future__ import annotations

from vorn_kest_backtest.runner.orders.order import Order, OrderType


def stop_reached(is_buy: bool, stop: float, price: float) -> bool:
    """A buy stop triggers on a trade at or above it, a sell stop at or below it."""
    return price >= stop if is_buy else price <= stop


def limit_reached(is_buy: bool, limit: float, price: float) -> bool:
    """A buy limit is reached by a trade at or below it, a sell limit at or above it."""
    return price <= limit if is_buy else price >= limit


def works_as(order: Order) -> OrderType:
    """What the order is on this trade: a triggered stop is a market order, a triggered stop-limit a limit."""
    if order.order_type is OrderType.STOP:
        return OrderType.MARKET if order.triggered else OrderType.STOP
    if order.order_type is OrderType.STOP_LIMIT:
        return OrderType.LIMIT if order.triggered else OrderType.STOP
    return order.order_type
