"""Futures codes served from the exchange's daily files: continuous near/next codes and single contracts.

- Continuous codes: a root from `CONTINUOUS_PRODUCTS` plus "R1" (nearest monthly contract) or "R2" (the next
  month), e.g. "TXFR1". The near contract's last trading day is the third Wednesday of its month (the next
  trading day when that is a holiday); from the next session on (the night session of that day belongs to the
  next trading day) R1 is the next month.
- Single contracts: the exchange's product code followed by its expiry as the file writes it, e.g. "TX202601"
  (monthly) or "TX202601W1" (weekly). Weekly contracts are never R1/R2.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from datetime import date, timedelta

from vorn_kest_backtest.brokers.contracts import FUTURE, Contract, ContractTable

# Continuous root -> the exchange's product code (商品代號) in the daily files; extend it, or pass `products`.
CONTINUOUS_PRODUCTS: dict[str, str] = {"TXF": "TX", "MXF": "MTX", "EXF": "TE", "FXF": "TF"}
CONTINUOUS_CODE = re.compile(r"^(?P<root>.+)R(?P<rank>[12])$")
SINGLE_CODE = re.compile(r"^(?P<product>[A-Z0-9]+?)(?P<expiry>\d{6}(?:W\d)?)$")
THIRD_WEDNESDAY_DAY = 15  # the third Wednesday falls on day 15..21


@dataclass(frozen=True)
class Selection:
    """What a code asks for: a product and either a fixed expiry or a rank among its monthly contracts."""

    product: str
    expiry: str | None = None
    rank: int | None = None

    def expiry_on(self, trading_day: date, is_trading_day: Callable[[date], bool]) -> str:
        if self.expiry is not None:
            return self.expiry
        month = near_month(trading_day, is_trading_day)
        return _month_text(_add_months(month, (self.rank or 1) - 1))


def checked_products(products: Mapping[str, str] | None) -> dict[str, str]:
    table = dict(CONTINUOUS_PRODUCTS)
    for root, product in (products or {}).items():
        if not isinstance(root, str) or not re.fullmatch(r"[A-Z0-9]+", root or ""):
            raise ValueError(f"連續月代碼字首不合法: {root!r}")
        if not isinstance(product, str) or not re.fullmatch(r"[A-Z0-9]+", product or ""):
            raise ValueError(f"期交所商品代號不合法: {root} {product!r}")
        table[root] = product
    return table


def selection_of(code: str, products: Mapping[str, str]) -> Selection | None:
    if (match := CONTINUOUS_CODE.match(code)) and match["root"] in products:
        return Selection(products[match["root"]], rank=int(match["rank"]))
    if match := SINGLE_CODE.match(code):
        return Selection(match["product"], expiry=match["expiry"])
    return None


class TaifexFutures(ContractTable):
    """Futures table: the continuous codes are listed; any single contract code is looked up on demand."""

    def __init__(self, products: Mapping[str, str]) -> None:
        self.products = dict(products)
        listed = {
            f"{root}R{rank}": Contract(f"{root}R{rank}", FUTURE, None, f"{product} {'近月' if rank == 1 else '次月'}")
            for root, product in self.products.items()
            for rank in (1, 2)
        }
        super().__init__("Futures", listed)

    def __getitem__(self, code: str) -> Contract:
        if isinstance(code, str) and code not in self._contracts and selection_of(code, self.products):
            return Contract(code, FUTURE, None, code)
        return super().__getitem__(code)

    def __contains__(self, code: object) -> bool:
        return isinstance(code, str) and (code in self._contracts or selection_of(code, self.products) is not None)


def last_trading_day(year: int, month: int, is_trading_day: Callable[[date], bool]) -> date:
    day = date(year, month, THIRD_WEDNESDAY_DAY)
    day += timedelta(days=(2 - day.weekday()) % 7)
    while not is_trading_day(day):
        day += timedelta(days=1)
    return day


def near_month(trading_day: date, is_trading_day: Callable[[date], bool]) -> date:
    """First day of the month of the nearest monthly contract trading on `trading_day`."""
    month = trading_day.replace(day=1)
    if trading_day > last_trading_day(month.year, month.month, is_trading_day):
        month = _add_months(month, 1)
    return month


def _add_months(month: date, count: int) -> date:
    index = month.year * 12 + month.month - 1 + count
    return date(index // 12, index % 12 + 1, 1)


def _month_text(month: date) -> str:
    return f"{month.year:04d}{month.month:02d}"
