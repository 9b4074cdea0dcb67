"""Runs every benchmark in this folder (bench_*.py, bench_scale.py among them), one after another, each in its own
interpreter."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path


def main() -> int:
    failures = 0
    for script in sorted(Path(__file__).parent.glob("bench_*.py")):
        print(f"\n=== {script.name} ===", flush=True)
        failures += subprocess.run([sys.executable, str(script), *sys.argv[1:]]).returncode != 0
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
