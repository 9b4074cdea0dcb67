"""The package console as the tick data path uses it, looked up at each use so a caller can swap it."""

from __future__ import annotations

from vorn_kest_backtest import utils


def console_quiet() -> bool:
    """A console that prints nothing (a rich Console with quiet=True, or any console whose `quiet` attribute is
    true): callers then skip building their lines."""
    return bool(getattr(utils.console, "quiet", False))


def say(line: str) -> None:
    utils.console.print(line)
