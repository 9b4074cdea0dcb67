"""Where the shared test helpers and the repository's files are, wherever a test file sits below tests/."""

from __future__ import annotations

from pathlib import Path

TESTS = Path(__file__).resolve().parent
ROOT = TESTS.parent
EXAMPLES = ROOT / "examples"
