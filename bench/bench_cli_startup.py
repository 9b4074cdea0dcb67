"""Start-up of `vorn-kest-backtest --help` against loading every report library up front.

The straightforward start-up imports the runner, the sweep and both report modules eagerly (what
the package did before its names and its console loaded on first use). Each side runs in a fresh
interpreter.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import time

HELP = "from vorn_kest_backtest.cli import main\ntry:\n    main(['--help'])\nexcept SystemExit:\n    pass"
EAGER = ("import vorn_kest_backtest.reports.performance, vorn_kest_backtest.reports.standard, plotly.graph_objects\n"
         "import vorn_kest_backtest.sweep.api, vorn_kest_backtest.runner.session\n" + HELP)


def seconds(script: str, rounds: int) -> float:
    times = []
    for _ in range(rounds):
        began = time.perf_counter()
        subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, timeout=120)
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rounds", type=int, default=5)
    rounds = parser.parse_args().rounds
    lazy, eager = seconds(HELP, rounds), seconds(EAGER, rounds)
    print(f"--help: {lazy:.3f} s; eager imports: {eager:.3f} s; ratio {eager / lazy:.1f}x (median of {rounds})")


if __name__ == "__main__":
    main()
