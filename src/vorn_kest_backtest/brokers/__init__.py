"""Broker stand-ins with the surface the toolkit uses: `Contracts.Stocks[code]`, `Contracts.Futures[code]`
and `ticks(contract=..., date="YYYY-MM-DD")` answering the eight tick columns."""

from vorn_kest_backtest.brokers.contracts import Contract
from vorn_kest_backtest.brokers.files import FileBroker
from vorn_kest_backtest.brokers.simulated import SimulatedBroker
from vorn_kest_backtest.brokers.taifex import TaifexBroker

__all__ = ["Contract", "FileBroker", "SimulatedBroker", "TaifexBroker"]
