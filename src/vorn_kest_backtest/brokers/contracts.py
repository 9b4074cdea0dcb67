"""Contract objects and the `Contracts.Stocks` / `Contracts.Futures` tables the toolkit looks codes up in."""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from dataclasses import dataclass

STOCK = "Stock"
FUTURE = "Future"


@dataclass(frozen=True)
class Contract:
    """一檔商品: 代碼, 市場 ("Stock" 或 "Future"), 參考價 (未知時為 None)."""

    code: str
    market: str
    reference: float | None = None
    name: str = ""


class ContractTable(Mapping[str, Contract]):
    """代碼 -> 商品的查詢表; 查不到的代碼丟出 KeyError 並帶出該代碼."""

    def __init__(self, family: str, contracts: Mapping[str, Contract]) -> None:
        self.family = family
        self._contracts = dict(contracts)

    def __getitem__(self, code: str) -> Contract:
        try:
            return self._contracts[code]
        except KeyError:
            raise KeyError(f"{self.family} 查無商品代碼: {code}") from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._contracts)

    def __len__(self) -> int:
        return len(self._contracts)

    def __repr__(self) -> str:
        return f"ContractTable({self.family}, {sorted(self._contracts)})"


class Contracts:
    """The two families the toolkit picks by name: `Stocks` and `Futures`."""

    def __init__(self, contracts: list[Contract]) -> None:
        self.Stocks = ContractTable("Stocks", {c.code: c for c in contracts if c.market == STOCK})
        self.Futures = ContractTable("Futures", {c.code: c for c in contracts if c.market == FUTURE})

    def table_of(self, contract: object) -> ContractTable:
        """The table `contract` belongs to; refuses objects that are not one of this broker's contracts."""
        if not isinstance(contract, Contract):
            raise TypeError(f"contract 必須是 Contract 物件: {contract!r}")
        table = self.Stocks if contract.market == STOCK else self.Futures
        if table.get(contract.code) != contract:
            raise KeyError(f"{table.family} 查無商品代碼: {contract.code}")
        return table
