"""Loads the strategy class from a user's Python file."""

from __future__ import annotations

import importlib.util
import inspect
import os
import sys

from vorn_kest_backtest.runner.errors import BacktestInputError, StrategyError
from vorn_kest_backtest.runner.strategy import Strategy


def load_strategy_class(path: str) -> type[Strategy]:
    """檔案中唯一定義的 Strategy 子類別."""
    if not os.path.isfile(path):
        raise BacktestInputError(f"找不到策略檔案: {path}")
    module_name = "vorn_user_strategy_" + os.path.splitext(os.path.basename(path))[0].replace("-", "_")
    module_origin = importlib.util.spec_from_file_location(module_name, path)
    if module_origin is None or module_origin.loader is None:
        raise BacktestInputError(f"無法載入策略檔案: {path}")
    module = importlib.util.module_from_spec(module_origin)
    sys.modules[module_name] = module
    try:
        module_origin.loader.exec_module(module)
    except Exception as error:
        raise StrategyError(f"載入 {path}", error) from error
    classes = [
        obj for obj in vars(module).values()
        if inspect.isclass(obj) and issubclass(obj, Strategy) and obj.__module__ == module_name
    ]
    if len(classes) != 1:
        names = ", ".join(cls.__name__ for cls in classes) or "無"
        raise BacktestInputError(f"策略檔案必須恰好定義一個 Strategy 子類別: {path} (找到: {names})")
    return classes[0]
