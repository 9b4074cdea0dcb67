"""The type stubs built with the extension module match the reviewed ones kept with the tests."""

from __future__ import annotations

import importlib
from pathlib import Path

import pytest
from repo_paths import TESTS

import vorn_kest_backtest

REFERENCE = TESTS / "stubs"


@pytest.mark.parametrize("module", ["market", "ticker", "positions"])
def test_the_generated_stub_matches_the_reference(module):
    # The stub package of the compiled core sits beside it, one stub per submodule.
    built = Path(importlib.import_module("vorn_kest_backtest._core").__file__).parent / "_core"
    generated = (built / f"{module}.pyi").read_text(encoding="utf-8")
    assert generated == (REFERENCE / f"{module}.pyi").read_text(encoding="utf-8"), (
        f"stub of {module} changed: review it and copy {built / module}.pyi to tests/stubs/")


def test_the_package_declares_its_types():
    assert (Path(vorn_kest_backtest.__file__).parent / "py.typed").exists()
