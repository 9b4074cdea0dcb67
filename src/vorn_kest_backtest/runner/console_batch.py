"""The replay's console lines written in batches: one print of many lines rather than a print per line.

A loud run prints a few lines for every fill (the entry, the cover and the position it covers). Rich renders and
writes each print on its own, and with the progress bar showing it redraws the bar each time; over a long run
that is a large share of the time. While the replay runs, this batch sits in front of the console: a print of a
single string is held, and the held lines go out as one print when enough have gathered, when the previous
batch went out a while ago, before any other print (a table, the progress bar's last refresh) and at the end.
Each line is parsed on its own as before, so its text and colours stay what a print of its own gives.
"""

from __future__ import annotations

import threading
import time
from typing import Any

from rich.console import Console
from rich.text import Text

from vorn_kest_backtest import utils

BATCH_LINES = 500
# Lines arriving further apart than this go out at once: only a burst is held back.
FLUSH_INTERVAL = 0.2


class ConsoleBatch:
    """Installed on the console of the moment (`install`), flushed and removed with `uninstall`."""

    def __init__(self) -> None:
        self._console: Console | None = None
        self._print: Any = None
        self._own_print = False
        self._held: list[str] = []
        self._last_flush = 0.0
        self._thread = 0

    def install(self) -> ConsoleBatch:
        console = utils.console
        # A stand-in console (a test's recorder) keeps every print; a quiet one prints nothing to batch.
        if not isinstance(console, Console) or console.quiet:
            return self
        self._console = console
        self._print = console.print
        # Shadowed on this instance only, as the refusal tally does: the console stays the same object.
        self._own_print = "print" in vars(console)
        console.print = self._batch_print  # type: ignore[method-assign]
        self._last_flush = float("-inf")
        self._thread = threading.get_ident()
        return self

    def uninstall(self) -> None:
        console = self._console
        if console is None:
            return
        self.flush()
        if self._own_print:
            console.print = self._print  # type: ignore[method-assign]
        else:
            del console.print
        self._console = None

    def _batch_print(self, *objects: Any, **kwargs: Any) -> None:
        # Only the replay's own thread holds lines or flushes them, so they keep their order; another thread's
        # print (the progress bar redrawing itself) goes straight through.
        if threading.get_ident() != self._thread:
            self._print(*objects, **kwargs)
            return
        if len(objects) == 1 and not kwargs and isinstance(objects[0], str):
            self._held.append(objects[0])
            if len(self._held) >= BATCH_LINES or time.monotonic() - self._last_flush >= FLUSH_INTERVAL:
                self.flush()
            return
        self.flush()
        self._print(*objects, **kwargs)

    def flush(self) -> None:
        console, held = self._console, self._held
        self._held = []
        self._last_flush = time.monotonic()
        if not held or console is None:
            return
        # Without colours the highlighter's styles are thrown away: skip it, the text is the same.
        highlight = None if console.color_system else False
        self._print(Text("\n").join(console.render_str(line, highlight=highlight) for line in held))
