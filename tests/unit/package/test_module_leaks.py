"""The extension modules leave nothing behind at interpreter exit (nanobind reports leaked objects)."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest
from repo_paths import TESTS

pytestmark = pytest.mark.slow

SCRIPT = textwrap.dedent("""
    import datetime
    from fake_sdk import FakeSdk
    from vorn_kest_backtest.modules.market import market
    from vorn_kest_backtest.modules.positions.positions import Positions, QuoteManager
    from vorn_kest_backtest.modules.ticker.ticker import Ticker

    ticker = Ticker(FakeSdk())
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], "2024-01-02", "2024-01-02")
    first = ticker.pop_tick()
    positions, quotes = Positions(), QuoteManager()
    quotes.add_tick(first)
    calendar = market.TradingCalendar()
    sessions = calendar.sessions_touching("Future", datetime.date(2024, 1, 5))
    grid = market.price_grid_for("TXFR1", "Future")
    # Module globals in a reference cycle: the shape a strategy script leaves at exit.
    kept = [ticker, positions, quotes, calendar, sessions, grid]
    kept.append(kept)
""")


# Under the sanitizer run the child needs its runtime preloaded and its reports kept, as the parent's are.
SANITIZER_ENV = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def test_no_extension_object_leaks_at_exit(tmp_path):
    env = {"VORN_KEST_DATA_DIR": str(tmp_path), "PATH": ""}
    env |= {name: os.environ[name] for name in SANITIZER_ENV if name in os.environ}
    done = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=60,
                          cwd=TESTS, env=env)
    assert done.returncode == 0, done.stderr
    assert "leaked" not in done.stderr, done.stderr
