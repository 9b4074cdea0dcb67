"""Shared fixtures: every test gets its own data directory and a console recorder."""

from __future__ import annotations

import pytest

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import BASIC_INFO


class ConsoleRecorder:
    """Stands in for utils.console; keeps the raw markup text of every print."""

    def __init__(self) -> None:
        self.lines: list[str] = []

    def print(self, *objects, **_kwargs) -> None:
        self.lines.append(" ".join(str(o) for o in objects))


@pytest.fixture(autouse=True)
def data_dir(tmp_path, monkeypatch):
    folder = tmp_path / "data"
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(folder))
    return folder


@pytest.fixture
def console(monkeypatch) -> ConsoleRecorder:
    recorder = ConsoleRecorder()
    monkeypatch.setattr(utils, "console", recorder)
    return recorder
