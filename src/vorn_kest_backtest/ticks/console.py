"""The package console as the tick data path uses it, looked up at each use so a caller can swap it."""

from __future__ import annotations

from vorn_kest_backtest import utils


def console_quiet() -> bool:
    """A console that prints nothing (a rich Console with quiet=True, or any console whose `quiet` attribute is
    true): callers then skip building their lines."""
    return bool(getattr(utils.console, "quiet", False))


def say(line: str) -> None:
    utils.console.print(line)


def replay_days_started(days: int) -> None:
    """A replay of a date range, its days read one by one."""
    if not console_quiet():
        say(f"[green]開始傳送 Tick 資料, 逐日讀取 {days} 天. ...[/green]")


def replay_started(ticks: int) -> None:
    """A replay of a frame given whole."""
    if not console_quiet():
        say(f"[green]開始傳送 Tick 資料, Tick 數 {ticks}. ...[/green]")


def backfill_started(ticks: int) -> None:
    if not console_quiet():
        say(f"[green]開始回補 Tick 資料, Tick 數 {ticks}. ...[/green]")


def backfill_failed(message: str) -> None:
    say(f"[red]回補 Tick 資料失敗, 錯誤訊息: {message}[/red]")
