"""Refused orders on the console: the first of each reason as it happens, then one line per reason with a count.

A strategy that keeps sending an order the account cannot carry is refused on every tick; tens of thousands of
identical red lines hide everything else. The order book prints each refusal; this tally sits in front of the
console for the replay, lets the first of each reason through and counts the rest.
"""

from __future__ import annotations

import re
from collections import Counter
from typing import Any

from vorn_kest_backtest import utils

REFUSAL_PREFIX = "[red]委託被拒絕: "
_NUMBER = re.compile(r"-?\d+(?:,\d{3})*(?:\.\d+)?")


def reason_kind(reason: str) -> str:
    """The reason without its amounts, so refusals for the same cause at other prices count as one."""
    return _NUMBER.sub("…", reason)


class RefusalTally:
    """Installed on the console of the moment (`install`), removed with `uninstall`."""

    def __init__(self) -> None:
        self.counts: Counter[str] = Counter()
        self._console: Any = None
        self._print: Any = None
        self._own_print = False

    @property
    def total(self) -> int:
        return sum(self.counts.values())

    def install(self) -> RefusalTally:
        self._console = utils.console
        self._print = self._console.print
        # The console's own print, shadowed on this instance only: the console stays the same object (the replay
        # progress bar and the extension module look at its type and its `quiet`).
        self._own_print = "print" in vars(self._console)
        self._console.print = self._tally_print
        return self

    def uninstall(self) -> None:
        if self._console is None:
            return
        if self._own_print:
            self._console.print = self._print
        else:
            del self._console.print
        self._console = None

    def _tally_print(self, *objects: Any, **kwargs: Any) -> None:
        text = objects[0] if len(objects) == 1 else None
        if isinstance(text, str) and text.startswith(REFUSAL_PREFIX):
            reason = text.removesuffix("[/red]").partition("): ")[2] or text[len(REFUSAL_PREFIX):]
            kind = reason_kind(reason)
            self.counts[kind] += 1
            if self.counts[kind] > 1:
                return
        self._print(*objects, **kwargs)

    def report(self) -> None:
        """One line per reason refused more than once, with the count."""
        for kind, count in self.counts.items():
            if count > 1:
                utils.console.print(f"[red]委託被拒絕 {count:,} 次: {kind}[/red]")
