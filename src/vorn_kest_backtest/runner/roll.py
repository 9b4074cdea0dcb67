"""Continuous futures codes over real contracts: a position opened on TXFR1 belongs to the month the data names.

The month comes from the broker, not from the ticks: `contract_months(contract, date)` answers per code and
calendar day [(wall-clock ns from which on, month), ...] (the exchange-file broker from its calendar, the file
broker from an optional `contract` column). The tick cache keeps its eight columns, and a run from the cache
asks the broker the same way. A broker without the method, or a day it names no month for, leaves the code one
contract throughout.

At the first tick of each trading date of a code holding a month (both replay loops call `session_start` there,
before the order book or the strategy sees the tick), a position whose month is no longer the code's is settled
at its last trade on that code, the expiring contract's last trade: an order with reason "到期結算", booked
like any fill with its normal fee and tax but without slippage. The code's working orders went with the expired
contract and are cancelled. With roll "carry" the same size is then opened on the new month at this tick's
trade (reason "轉倉"), with the normal slippage, fee and funding check of a market order.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from datetime import date, timedelta
from typing import Any

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import Action
from vorn_kest_backtest.modules.market.market import exchange_wall_micros, night_opening_day
from vorn_kest_backtest.runner.orders.order import Order

ROLL_MODES = ("settle", "carry")
SETTLE_REASON = "到期結算"
CARRY_REASON = "轉倉"
EXPIRED_ORDER_REASON = "契約到期, 委託取消"
FUTURE = "Future"
_EPOCH = date(1970, 1, 1)
_MICROS_PER_DAY = 86_400_000_000


def checked_roll(mode: object) -> str:
    if mode not in ROLL_MODES:
        raise ValueError(f"roll 必須是 {' 或 '.join(ROLL_MODES)}: {mode!r}")
    return str(mode)


class ContractMonths:
    """The month a futures code trades at a time, asked of the broker per code and calendar day when first
    needed (fills and trading-date changes only)."""

    def __init__(self, api) -> None:
        self._api = api
        self._runs: dict[tuple[str, date], list[tuple[int, str]]] = {}

    def month_at(self, code: str, timestamp: float) -> str | None:
        wall_us = exchange_wall_micros(float(timestamp))
        month = None
        for start_ns, label in self._day_runs(code, _EPOCH + timedelta(days=wall_us // _MICROS_PER_DAY)):
            # Whole microseconds: a tick's timestamp holds no finer time than that.
            if start_ns // 1000 > wall_us:
                break
            month = label
        return month

    def _day_runs(self, code: str, day: date) -> list[tuple[int, str]]:
        key = (code, day)
        if key not in self._runs:
            contract = self._api.Contracts.Futures[code]
            runs = self._api.contract_months(contract=contract, date=day.isoformat())
            self._runs[key] = sorted((int(start), str(label)) for start, label in runs)
        return self._runs[key]


class ContractRoll:
    """Settles (or carries) the positions of a code whose month has expired; see the module's text.

    `held`: the codes that may hold a month (the live mapping the C++ replay loop looks at), code -> month;
    `contract_of`: the order book's way to the month of a fill; `orders`: the orders the roll booked.
    """

    def __init__(self, months: ContractMonths, positions, book, markets: Mapping[str, str], mode: str) -> None:
        self._months = months
        self._positions = positions
        self._book = book
        self._markets = dict(markets)
        self.mode = checked_roll(mode)
        self.held: dict[str, str] = {}
        self.orders: list[Order] = []
        book.contract_of = self.contract_of

    @classmethod
    def for_broker(cls, api, positions, book, markets: Mapping[str, str], mode: str) -> ContractRoll | None:
        """None when the broker names no months (its codes are one contract throughout)."""
        checked_roll(mode)
        if not callable(getattr(api, "contract_months", None)) or FUTURE not in markets.values():
            return None
        return cls(ContractMonths(api), positions, book, markets, mode)

    def contract_of(self, code: str, timestamp: float) -> str | None:
        """The month a fill of `code` at `timestamp` trades, None for stocks and where the data names none;
        the code is watched from then on."""
        if self._markets.get(code) != FUTURE:
            return None
        month = self._months.month_at(code, timestamp)
        if month is not None:
            self.held[code] = month
        return month

    def follow(self, previous: dict[str, Any] | None, tick: dict[str, Any]) -> None:
        """The Python loop's call for every tick of a held code: `session_start` where the C++ loop calls it."""
        if previous is not None and night_opening_day(previous["timestamp"]) != night_opening_day(tick["timestamp"]):
            self.session_start(previous, tick)

    def session_start(self, previous: dict[str, Any], tick: dict[str, Any]) -> None:
        """`tick` may open a new trading date of its code, `previous` is the code's last tick before it."""
        code = tick["code"]
        month = self._months.month_at(code, tick["timestamp"])
        expired = self._expired(code, month)
        if expired:
            self._book.expire_orders(code, EXPIRED_ORDER_REASON, float(previous["timestamp"]))
        for side, (old_month, quantity) in expired.items():
            opening = Action.BUY if side == "buy" else Action.SELL
            closing = Action.SELL if side == "buy" else Action.BUY
            # The exchange settles at its price: the fill's own price is its limit, so no slippage passes it.
            self._book_leg(code, closing, quantity, previous, SETTLE_REASON, old_month, float(previous["close"]))
            if self.mode == "carry":
                self._book_leg(code, opening, quantity, tick, CARRY_REASON, month)
        months = [held for _, held, _ in self._open(code) if held is not None]
        if months:
            self.held[code] = months[0]
        else:
            self.held.pop(code, None)

    def _open(self, code: str) -> Iterator[tuple[str, str | None, int]]:
        """(side, month, contracts) of each open position of the code."""
        sides = self._positions.positions.get(code) or {}
        for side in ("buy", "sell"):
            for position in sides.get(side) or []:
                yield side, position.get("contract"), int(position["quantity"])

    def _expired(self, code: str, month: str | None) -> dict[str, tuple[str, int]]:
        """side -> (its month, contracts) of the open positions whose month the code no longer trades."""
        expired: dict[str, tuple[str, int]] = {}
        if month is None:
            return expired
        for side, held, quantity in self._open(code):
            if held is not None and held != month:
                expired[side] = (held, expired.get(side, (held, 0))[1] + quantity)
        return expired

    def _book_leg(self, code: str, action: Action, quantity: int, tick: dict[str, Any], reason: str,
                  month: str | None, limit: float | None = None) -> None:
        order = self._book.book_at(code, action, quantity, tick, reason, limit)
        self.orders.append(order)
        if order.fill_price is not None:
            utils.console.print(f"[yellow]{reason}: {code} {month} {action.value} {quantity} 口, "
                                f"價格 {order.fill_price}[/yellow]")

