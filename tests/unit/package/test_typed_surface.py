"""The public names as a type checker and tab completion see them."""

from __future__ import annotations

import re
import subprocess
import sys

import pytest
from repo_paths import ROOT, TESTS

import vorn_kest_backtest
from vorn_kest_backtest import runner

PROBE = TESTS / "typing_probe" / "probe.py"


@pytest.mark.parametrize("module", [vorn_kest_backtest, runner], ids=lambda module: module.__name__)
def test_every_public_name_is_listed_and_loads(module):
    assert set(module.__all__) <= set(dir(module))
    for name in module.__all__:
        assert getattr(module, name) is not None, name


def test_the_package_root_offers_the_notebook_names():
    assert {"backtest", "BacktestResult", "Strategy", "Context", "Tick", "Bar", "FrameBroker"} <= set(
        vorn_kest_backtest.__all__)


@pytest.mark.slow
@pytest.mark.timeout(300)
def test_mypy_reports_exactly_the_marked_mistakes_of_the_probe():
    marked = {number for number, line in enumerate(PROBE.read_text(encoding="utf-8").splitlines(), 1)
              if line.rstrip().endswith("# mypy: error")}
    done = subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
                           "--no-error-summary", str(PROBE)], capture_output=True, text=True, cwd=ROOT, timeout=280)
    errors = re.findall(rf"{re.escape(PROBE.name)}:(\d+): error: (.*)", done.stdout)
    assert done.returncode == 1, done.stdout + done.stderr
    assert {int(number) for number, _ in errors} == marked, done.stdout
    texts = " ".join(text for _, text in errors)
    assert '"buy" of "Context" has incompatible type "str"; expected "int"' in texts
    assert 'TypedDict "Tick" has no key "closee"' in texts
