"""Mapping views of an account's book, read from the compiled book on every access.

``positions``, ``_profit_report`` and ``_account_infos`` of ``Positions`` are these views. The
records they hand out are the account's own (a position's record is its fill, its "quantity"
kept in step with the book; a row or a code's statistics is one dict over time), but the book
is changed only through the account: by its trading methods, or by giving a code's whole
{"buy": [...], "sell": [...]} to ``positions[code] = ...`` (or deleting it).
"""

from __future__ import annotations

import copy
from collections.abc import Iterator, Mapping, MutableMapping
from typing import Any


class _View:
    __slots__ = ("_account",)

    def __init__(self, account: Any) -> None:
        self._account = account

    def __repr__(self) -> str:
        return repr(dict(self))  # type: ignore[call-overload]

    def __copy__(self) -> dict:
        return dict(self)  # type: ignore[call-overload]

    def __deepcopy__(self, memo: dict[int, Any]) -> dict:
        return copy.deepcopy(dict(self), memo)  # type: ignore[call-overload]


class BookView(_View, MutableMapping[str, dict[str, list[dict]]]):
    """code -> {"buy": open longs, "sell": open shorts}, oldest first."""

    __slots__ = ()

    def __getitem__(self, code: str) -> dict[str, list[dict]]:
        return self._account._book_sides(code)

    def __setitem__(self, code: str, sides: Mapping[str, list[dict]]) -> None:
        self._account._book_replace(code, sides)

    def __delitem__(self, code: str) -> None:
        self._account._book_remove(code)

    def __iter__(self) -> Iterator[str]:
        return iter(self._account._book_codes())

    def __len__(self) -> int:
        return len(self._account._book_codes())


class ProfitReportView(_View, Mapping[str, Any]):
    """"profit": the sum of the covers booked, "rows": the profit row of every matched pair."""

    __slots__ = ()
    _KEYS = ("profit", "rows")

    def __getitem__(self, key: str) -> Any:
        if key == "profit":
            return self._account._report_profit()
        if key == "rows":
            return self._account._report_rows()
        raise KeyError(key)

    def __iter__(self) -> Iterator[str]:
        return iter(self._KEYS)

    def __len__(self) -> int:
        return len(self._KEYS)


class AccountInfosView(_View, Mapping[str, dict]):
    """code -> its statistics record."""

    __slots__ = ()

    def __getitem__(self, code: str) -> dict:
        return self._account._account_record(code)

    def __iter__(self) -> Iterator[str]:
        return iter(self._account._account_codes())

    def __len__(self) -> int:
        return len(self._account._account_codes())
