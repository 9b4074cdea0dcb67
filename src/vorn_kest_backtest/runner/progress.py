"""Replay progress bar with the tick rate."""

from __future__ import annotations

from rich.console import Console
from rich.progress import BarColumn, Progress, ProgressColumn, SpinnerColumn, TextColumn, TimeElapsedColumn
from rich.text import Text

from vorn_kest_backtest import utils


class TickRateColumn(ProgressColumn):
    def render(self, task) -> Text:
        if task.finished and task.finished_time:
            speed = task.completed / task.finished_time
        else:
            speed = task.speed
        return Text(f"{speed:,.0f} ticks/s" if speed else "- ticks/s", style="cyan")


def replay_progress() -> Progress:
    console = utils.console
    return Progress(
        SpinnerColumn(),
        TextColumn("{task.description}"),
        BarColumn(),
        TextColumn("{task.completed:,} ticks"),
        TickRateColumn(),
        TimeElapsedColumn(),
        console=console if isinstance(console, Console) else None,
        # The engine pushes the count now and then; the bar redraws itself at most ten times a second.
        disable=not isinstance(console, Console) or console.quiet,
        refresh_per_second=10,
        transient=False,
    )
