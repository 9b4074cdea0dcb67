"""The error of a run whose worker process died under it, on any engine."""

from __future__ import annotations


class WorkerDied(RuntimeError):
    """The worker process running a call ended before it answered; its text is the row's error."""

    def __init__(self, exitcode: int | None) -> None:
        self.exitcode = exitcode
        super().__init__(worker_death_text(exitcode))


def worker_death_text(exitcode: int | None) -> str:
    """-9 -> "worker died (signal 9)"; an unknown exit -> "worker died"."""
    if exitcode is None:
        return "worker died"
    if exitcode < 0:
        return f"worker died (signal {-exitcode})"
    return f"worker died (exit status {exitcode})"
