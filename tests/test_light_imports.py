from __future__ import annotations

import json
import subprocess
import sys

import pytest

HEAVY = ("quantstats", "quantstats_lumi", "matplotlib", "plotly")

PROBE = """
import json, sys
{body}
print(json.dumps(sorted(name for name in sys.modules if name.split(".")[0] in {heavy!r})))
"""


def loaded_heavy_modules(body: str) -> list[str]:
    script = PROBE.format(body=body, heavy=set(HEAVY))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("body", [
    "import vorn_kest_backtest.runner",
    "import vorn_kest_backtest.cli",
    "from vorn_kest_backtest.sweep.worker import execute_run\nfrom vorn_kest_backtest.runner import run_sweep_job",
    "from vorn_kest_backtest.cli import main\ntry:\n    main(['--help'])\nexcept SystemExit:\n    pass",
], ids=["runner", "cli", "sweep-worker", "help"])
def test_no_report_library_is_loaded_until_a_report_is_written(body):
    assert loaded_heavy_modules(body) == []
