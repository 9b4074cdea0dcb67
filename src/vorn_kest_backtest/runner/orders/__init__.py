"""委託簿: 市價, 限價, 停損, 停損限價與括號單, 依回放的成交價撮合, 並檢查資金與保證金."""

from vorn_kest_backtest.runner.orders.book import OrderBook
from vorn_kest_backtest.runner.orders.order import Fill, Order, OrderStatus, OrderType

__all__ = ["Fill", "Order", "OrderBook", "OrderStatus", "OrderType"]
