from __future__ import annotations

import json
import subprocess
import sys

import pytest

REPORTS = ("quantstats", "quantstats_lumi", "matplotlib", "plotly")
# `--help` and the bare package stay clear of the console and data-frame libraries too.
START_UP = (*REPORTS, "rich", "polars", "numpy")

PROBE = """
import json, sys
{body}
print(json.dumps(sorted(name for name in sys.modules if name.split(".")[0] in {heavy!r})))
"""
SWEEP_WORKER = ("from vorn_kest_backtest.sweep.worker import execute_run\n"
                "from vorn_kest_backtest.runner import run_sweep_job")
HELP = "from vorn_kest_backtest.cli import main\ntry:\n    main(['--help'])\nexcept SystemExit:\n    pass"


def loaded_heavy_modules(body: str, heavy: tuple[str, ...]) -> list[str]:
    script = PROBE.format(body=body, heavy=set(heavy))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize(("body", "heavy"), [
    ("import vorn_kest_backtest", START_UP),
    ("import vorn_kest_backtest.cli", START_UP),
    (HELP, START_UP),
    ("import vorn_kest_backtest.runner", REPORTS),
    (SWEEP_WORKER, REPORTS),
], ids=["package", "cli", "help", "runner", "sweep-worker"])
def test_heavy_libraries_wait_until_they_are_used(body, heavy):
    assert loaded_heavy_modules(body, heavy) == []
