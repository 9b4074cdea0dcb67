"""What the sweep adds on a Dask cluster so that a run that kills its worker fails alone.

Dask reschedules the calls of a worker that died, and after three deaths marks every call that
was on it `KilledWorker`, innocent ones included. Here each call notes on the scheduler that it
has begun and that it has returned (`guarded_call`); when Dask hands a call that had begun but
never returned to a new worker, the first worker died while running it: the call is not run again
but fails with "worker died (signal N)". Calls that were only waiting on that worker had not begun,
and calls whose results died with it had returned: both simply run elsewhere.

The signal comes from the worker's nanny, the only process that sees how it ended:
`WorkerExitLog` logs every worker exit as an event on the scheduler.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Any

from distributed import get_client, get_worker
from distributed.core import Status
from distributed.diagnostics.plugin import NannyPlugin

from vorn_kest_backtest.sweep.worker_death import WorkerDied

METADATA_ROOT = "vorn-kest-sweep"
EXIT_TOPIC = "vorn-kest-worker-exit"
_RETURNED = "returned"
_EXIT_WAIT = 5.0  # seconds to wait for the nanny's report of how the worker ended


def guarded_call(namespace: str, fn: Callable[..., Any], *args: Any) -> Any:
    """Runs `fn(*args)`; a second attempt of a call whose first one never returned fails with that worker's death.

    A call that returned but whose result was lost with its worker (Dask computes it again) runs again.
    """
    worker = get_worker()
    client = get_client()
    mark = [METADATA_ROOT, namespace, str(worker.get_current_task())]
    earlier = client.get_metadata(mark, None)
    if earlier is not None and earlier != _RETURNED:
        raise WorkerDied(_exit_code(client, earlier))
    client.set_metadata(mark, worker.address)
    result = fn(*args)
    client.set_metadata(mark, _RETURNED)
    return result


def started_keys(client: Any, namespace: str) -> set[str]:
    """The keys of the calls of this sweep that have begun on some worker."""
    return set(client.get_metadata([METADATA_ROOT, namespace], None) or {})


def forget(client: Any, namespace: str) -> None:
    client.set_metadata([METADATA_ROOT, namespace], None)


def _exit_code(client: Any, address: str) -> int | None:
    deadline = time.monotonic() + _EXIT_WAIT
    while True:
        for _stamp, event in client.get_events(EXIT_TOPIC):
            if isinstance(event, dict) and event.get("worker") == address:
                return event.get("exitcode")
        if time.monotonic() >= deadline:
            return None
        time.sleep(0.1)


class WorkerExitLog(NannyPlugin):
    """Logs {"worker": address, "exitcode": code} on the scheduler whenever the nanny's worker ends."""

    name = EXIT_TOPIC
    idempotent = True

    def setup(self, nanny: Any) -> None:
        report_exit = nanny._on_worker_exit_sync

        def logged(exitcode: int) -> None:
            # A nanny that is closing stopped its worker itself, and the scheduler may be gone already.
            if nanny.status == Status.running:
                nanny.log_event(EXIT_TOPIC, {"worker": nanny.worker_address, "exitcode": exitcode})
            report_exit(exitcode)

        # The running worker process holds the nanny's callback already; later ones take it from the nanny.
        nanny._on_worker_exit_sync = logged
        if nanny.process is not None:
            nanny.process.on_exit = logged
