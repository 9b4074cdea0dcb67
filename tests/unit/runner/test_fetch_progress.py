"""A quiet run shows one progress bar over the days it fetches instead of the Ticker's line per day."""

from __future__ import annotations

import io

from rich.console import Console

from vorn_kest_backtest import utils
from vorn_kest_backtest.brokers import SimulatedBroker
from vorn_kest_backtest.cli import main
from vorn_kest_backtest.modules.ticker.ticker import Ticker
from vorn_kest_backtest.runner.fetch_progress import counting_ticker

CODES = [{"code": "2330", "market": "Stock"}, {"code": "0050", "market": "Stock"}]


def test_the_counting_ticker_counts_every_code_day_and_returns_the_same_ticks(console):
    days = []
    counting = counting_ticker(Ticker, lambda: days.append(1))(SimulatedBroker(ticks_per_day=50))
    counted = counting._Ticker__process_and_combine_ticks(CODES, "2024-03-04", "2024-03-06")
    plain = Ticker(SimulatedBroker(ticks_per_day=50))._Ticker__process_and_combine_ticks(
        CODES, "2024-03-04", "2024-03-06")
    assert len(days) == 2 * 3
    assert counted.equals(plain)


def test_a_quiet_run_prints_no_line_per_day(monkeypatch, tmp_path, capsys):
    screen = Console(record=True, width=250, file=io.StringIO())
    monkeypatch.setattr(utils, "console", screen)
    strategy = tmp_path / "idle.py"
    strategy.write_text("from vorn_kest_backtest.runner import Strategy\n\nclass Idle(Strategy):\n    pass\n")
    argv = ["run", str(strategy), "--codes", "2330:Stock", "--start", "2024-03-04", "--end", "2024-03-05", "--quiet",
            "--no-report"]
    assert main(argv) == 0
    text = screen.export_text() + capsys.readouterr().out
    assert "交易次數" in text and "2024-03-04" not in text
