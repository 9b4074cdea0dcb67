"""The strategy of a sweep as workers on other interpreters (or machines) can load it.

A class is sent by value (cloudpickle), so one defined in a notebook cell or a script's `__main__` reaches
the workers without a file; a strategy file is sent as its absolute path, since a worker's working folder
is not the caller's.
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from typing import Any

from vorn_kest_backtest.runner.strategy import Strategy


@dataclass(frozen=True)
class StrategyByValue:
    """一個策略類別的 cloudpickle 內容; `name` 為類別名稱."""

    name: str
    payload: bytes

    def load(self) -> type[Strategy]:
        import cloudpickle

        loaded = cloudpickle.loads(self.payload)
        if not (isinstance(loaded, type) and issubclass(loaded, Strategy)):
            raise TypeError(f"傳來的策略不是 Strategy 子類別: {loaded!r}")
        return loaded

    def __str__(self) -> str:
        return self.name


def _by_value(strategy_class: type[Strategy]) -> StrategyByValue:
    import cloudpickle

    module = sys.modules.get(strategy_class.__module__)
    # A class of a module the workers may not import (a test file, a notebook helper) goes with its module's
    # code; the toolkit's own classes and __main__ (always by value) need no registration.
    register = module is not None and module.__name__ != "__main__" and not module.__name__.startswith(
        "vorn_kest_backtest.") and hasattr(module, "__file__")
    if register:
        cloudpickle.register_pickle_by_value(module)
    try:
        return StrategyByValue(strategy_class.__name__, cloudpickle.dumps(strategy_class))
    finally:
        if register:
            cloudpickle.unregister_pickle_by_value(module)


def portable_strategy(strategy: Any) -> Any:
    """Strategy 子類別 -> StrategyByValue; 存在的策略檔案路徑 -> 絕對路徑; 其他 (交給回測函式解讀) 原樣."""
    if isinstance(strategy, type) and issubclass(strategy, Strategy):
        return _by_value(strategy)
    if isinstance(strategy, (str, os.PathLike)) and os.path.isfile(strategy):
        return os.path.abspath(os.fspath(strategy))
    return strategy


def strategy_class_of(strategy: Any) -> type[Strategy]:
    """The class a run job names: sent by value, given as a class, or a strategy file's only class."""
    from vorn_kest_backtest.runner.loader import load_strategy_class

    if isinstance(strategy, StrategyByValue):
        return strategy.load()
    if isinstance(strategy, type) and issubclass(strategy, Strategy):
        return strategy
    return load_strategy_class(os.fspath(strategy))
