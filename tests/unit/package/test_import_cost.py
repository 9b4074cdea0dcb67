"""Importing the runner does not load the report libraries; the first performance report does."""

from __future__ import annotations

import subprocess
import sys

import pytest

pytestmark = pytest.mark.slow


def test_the_runner_loads_without_the_report_libraries():
    probe = "import sys, vorn_kest_backtest.runner; print(sorted({'quantstats_lumi', 'matplotlib'} & set(sys.modules)))"
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"
