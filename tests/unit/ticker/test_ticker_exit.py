"""Interpreter exit while a replay runs: no crash, no hang, exit status 0."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest
from repo_paths import TESTS

# Starts child interpreters: skipped by the quick local run (-m "not slow").
pytestmark = pytest.mark.slow

PRELUDE = """
import sys, threading
sys.path.insert(0, {tests!r})
from fake_sdk import FakeSdk
from vorn_kest_backtest.constant import BASIC_INFO
BASIC_INFO.data_dir = {data!r}
from vorn_kest_backtest import utils
utils.console.print = lambda *a, **k: None
from vorn_kest_backtest.modules.ticker.ticker import Ticker
t = Ticker(FakeSdk(ticks_per_day=500))
codes = [{{"code": "2330", "market": "Stock"}}, {{"code": "TXFR1", "market": "Future"}}]
"""

SCRIPTS = {
    "mid-replay": """
t.send_ticks(codes, "2024-01-02", "2024-01-04", "2024-01-01", "2024-01-01")
for _ in range(50):
    t.pop_tick(); t.allow_next_tick()
""",
    "waiting-for-a-permit": """
t.send_ticks(codes, "2024-01-02", "2024-01-04")
t.pop_tick()
""",
    "backfilling-in-progress": """
t.send_ticks(codes, "2024-01-02", "2024-01-02", "2023-12-01", "2023-12-31")
""",
    "consumer-thread-blocked": """
t.send_ticks(codes, "2024-01-02", "2024-01-02")
t.pop_tick()
threading.Thread(target=t.pop_tick, daemon=True).start()
""",
}


@pytest.mark.parametrize("name", sorted(SCRIPTS))
def test_exit_during_replay_is_clean(name, tmp_path):
    script = PRELUDE.format(tests=str(TESTS), data=str(tmp_path)) + textwrap.dedent(SCRIPTS[name])
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "Fatal" not in done.stderr and "terminate" not in done.stderr
