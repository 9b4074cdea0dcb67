"""A rich progress bar over the runs of a sweep, with the running count of failures."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from rich.console import Console
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn, TimeRemainingColumn


@contextmanager
def run_progress(total: int, *, enabled: bool = True,
                 label: str = "參數掃描") -> Iterator[Callable[[dict[str, Any]], None]]:
    """產生一個每完成一次回測就呼叫的函式, 推進進度條."""
    if not enabled:
        yield lambda _outcome: None
        return
    columns = (
        TextColumn(f"[bold green]{label}[/bold green]"),
        BarColumn(),
        MofNCompleteColumn(),
        TextColumn("失敗 {task.fields[failed]}"),
        TimeElapsedColumn(),
        TimeRemainingColumn(),
    )
    with Progress(*columns, console=Console(stderr=True)) as progress:
        task = progress.add_task("sweep", total=total, failed=0)
        failed = 0

        def advance(outcome: dict[str, Any]) -> None:
            nonlocal failed
            failed += outcome["error"] is not None
            progress.update(task, advance=1, failed=failed)

        yield advance
