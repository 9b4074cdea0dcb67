"""Ctrl-C, SIGTERM and SIGHUP stop a sweep cleanly instead of killing it.

The handlers only note the signal; the sweep looks at the note between two batches of rows, so a
row being written is never cut in half. A second signal while the sweep is still stopping raises
KeyboardInterrupt at once.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


@dataclass
class StopRequest:
    """The first stop signal received, if any."""

    signum: int | None = None

    @property
    def requested(self) -> bool:
        return self.signum is not None

    @property
    def exit_status(self) -> int:
        """128 + the signal number, as a shell reports a process ended by that signal."""
        return 128 + int(self.signum or signal.SIGINT)


@contextmanager
def stop_on_signals() -> Iterator[StopRequest]:
    """在這段期間, SIGINT / SIGTERM / SIGHUP 只記下要停止 (第二次才立即中斷)."""
    request = StopRequest()
    if threading.current_thread() is not threading.main_thread():
        # Only the main thread may set handlers; a sweep called from another thread keeps the process's own.
        yield request
        return

    def note(signum: int, _frame: Any) -> None:
        if request.requested:
            raise KeyboardInterrupt
        request.signum = signum

    previous = {number: signal.signal(number, note) for number in STOP_SIGNALS}
    try:
        yield request
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
