"""Broker stand-ins with the surface the toolkit uses: `Contracts.Stocks[code]`, `Contracts.Futures[code]`
and `ticks(contract=..., date="YYYY-MM-DD")` answering the eight tick columns.

Beside it the Ticker uses, where a broker has them: `tick_frame(contract, date, since_ns=None)` (the same ticks
as a polars frame, optionally with a `source_row` column naming each tick's row in its source),
`prepare_days(contract, dates)` (the days about to be asked), `tick_source_id`, `tick_source_stamp` and
`tick_source_name` (the cache and error messages), `contract_months` (the roll) and `simulated` (made-up
prices, said so in every line and report).
"""

from vorn_kest_backtest.brokers.contracts import Contract
from vorn_kest_backtest.brokers.files import FileBroker
from vorn_kest_backtest.brokers.simulated import SimulatedBroker
from vorn_kest_backtest.brokers.taifex import TaifexBroker

__all__ = ["Contract", "FileBroker", "SimulatedBroker", "TaifexBroker"]
