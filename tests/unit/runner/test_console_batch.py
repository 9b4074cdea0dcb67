"""A loud run writes its fill lines in batches, and the console shows exactly what a print per line showed."""

from __future__ import annotations

import io
import re

import pytest
from rich.console import Console

import vorn_kest_backtest as vkb
from vorn_kest_backtest import utils
from vorn_kest_backtest.runner import console_batch
from vorn_kest_backtest.runner.console_batch import ConsoleBatch


class InAndOut(vkb.Strategy):
    """Enters and leaves a lot on alternate ticks of the morning: a few hundred fills."""

    codes = [("2330", "Stock")]
    start = "2024-03-04"
    end = "2024-03-04"

    def on_tick(self, tick, ctx):
        if ctx.now.hour >= 10 or ctx.orders("2330"):
            return
        if ctx.positions("2330"):
            ctx.sell("2330", 1)
        else:
            ctx.buy("2330", 1)


CURSOR_MOVES = re.compile(r"\x1b\[[0-9;?]*[A-Za-ln-z]")


class CountedWrites(io.StringIO):
    def __init__(self) -> None:
        super().__init__()
        self.writes = 0

    def write(self, text: str) -> int:
        self.writes += 1
        return super().write(text)


def loud_run(monkeypatch, settings: dict, batched: bool) -> CountedWrites:
    out = CountedWrites()
    monkeypatch.setattr(utils, "console", Console(file=out, **settings))
    if not batched:
        monkeypatch.setattr(ConsoleBatch, "install", lambda self: self)
    vkb.backtest(InAndOut, quiet=False, capital=100_000_000)
    return out


def steady_lines(out: CountedWrites) -> list[str]:
    """From the start of the replay on, colours kept, less what changes from run to run: how long it took, and the
    progress bar with the cursor moves that redraw it."""
    lines = CURSOR_MOVES.sub("\n", out.getvalue()).replace("\r", "\n").splitlines()
    start = next(i for i, line in enumerate(lines) if "開始傳送 Tick 資料" in line)
    return [line for line in lines[start:] if line and "ticks/s" not in line and "耗時" not in line]


@pytest.mark.parametrize("settings", [
    {"width": utils.PIPE_WIDTH, "soft_wrap": True},
    {"width": 100, "force_terminal": True, "color_system": "truecolor"},
], ids=["pipe", "colour terminal"])
def test_batched_fill_lines_read_exactly_as_a_print_per_line(monkeypatch, settings):
    batched = loud_run(monkeypatch, settings, batched=True)
    each = loud_run(monkeypatch, settings, batched=False)
    assert each.getvalue().count("被沖銷部位: ") > 100
    assert steady_lines(batched) == steady_lines(each)
    assert batched.writes < each.writes / 10


def test_other_prints_flush_the_held_lines_first_and_keep_their_place(monkeypatch):
    out = io.StringIO()
    console = Console(file=out, width=200)
    monkeypatch.setattr(utils, "console", console)
    monkeypatch.setattr(console_batch, "FLUSH_INTERVAL", 3600.0)
    batch = ConsoleBatch().install()
    console.print("[green]first[/green]")  # the first after a long quiet spell goes out at once
    console.print("[red]held, [bold]unclosed")
    console.print("plain")
    assert out.getvalue() == "first\n"
    console.print("styled", style="bold")
    console.print("last")
    batch.uninstall()
    assert out.getvalue().splitlines() == ["first", "held, unclosed", "plain", "styled", "last"]
    assert "print" not in vars(console)


def test_a_batch_goes_out_when_full(monkeypatch):
    out = io.StringIO()
    monkeypatch.setattr(utils, "console", Console(file=out, width=200))
    monkeypatch.setattr(console_batch, "FLUSH_INTERVAL", 3600.0)
    batch = ConsoleBatch().install()
    # The first goes out at once, the next BATCH_LINES together, the last is held.
    lines = [f"line {i}" for i in range(console_batch.BATCH_LINES + 2)]
    for line in lines:
        utils.console.print(line)
    assert out.getvalue().splitlines() == lines[:-1]
    batch.uninstall()
    assert out.getvalue().splitlines() == lines


@pytest.mark.parametrize("console", [Console(quiet=True), None], ids=["quiet console", "stand-in console"])
def test_a_quiet_or_stand_in_console_is_left_alone(monkeypatch, console):
    stand_in = console or type("Recorder", (), {"print": lambda self, *objects: None})()
    monkeypatch.setattr(utils, "console", stand_in)
    batch = ConsoleBatch().install()
    assert "print" not in vars(stand_in)
    batch.uninstall()
