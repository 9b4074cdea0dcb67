"""Strategy parameters: the public class attributes a strategy adds, set from `name=value` texts."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from vorn_kest_backtest.runner.errors import BacktestInputError
from vorn_kest_backtest.runner.strategy import Strategy

_TRUE, _FALSE = {"true", "1", "yes", "on"}, {"false", "0", "no", "off"}
_PLAIN = (bool, int, float, str)
_RUN_SETTINGS = frozenset({"codes", "start", "end"})  # set by --codes / --start / --end, not by --param


def strategy_parameters(strategy_class: type[Strategy]) -> dict[str, Any]:
    """策略類別 (含父類別, 不含 Strategy 本身) 的公開純量類別屬性與其值."""
    found: dict[str, Any] = {}
    for cls in reversed(strategy_class.__mro__):
        if cls is object or cls is Strategy or not issubclass(cls, Strategy):
            continue
        for name, value in vars(cls).items():
            if name.startswith("_") or name in _RUN_SETTINGS:
                continue
            if value is None or isinstance(value, _PLAIN):
                found[name] = value
    return found


def _typed(name: str, text: str, current: Any) -> Any:
    try:
        if isinstance(current, bool):
            lowered = text.strip().lower()
            if lowered not in _TRUE | _FALSE:
                raise ValueError(text)
            return lowered in _TRUE
        if isinstance(current, int):
            return int(text)
        if isinstance(current, float):
            return float(text)
    except ValueError:
        raise BacktestInputError(f"參數 {name} 應為 {type(current).__name__}: {text!r}") from None
    return text


def parse_param_texts(strategy_class: type[Strategy], texts: Iterable[str]) -> dict[str, Any]:
    """["fast=10", "slow=60"] -> {"fast": 10, "slow": 60}, 依類別屬性的型別轉換; 未知名稱在回測前拒絕."""
    known = strategy_parameters(strategy_class)
    values: dict[str, Any] = {}
    for text in texts:
        name, sep, value = text.partition("=")
        name = name.strip()
        if not sep or not name:
            raise BacktestInputError(f"參數格式錯誤 (應為 名稱=值): {text!r}")
        if name not in known:
            names = ", ".join(sorted(known)) or "無"
            raise BacktestInputError(f"策略沒有參數 {name} (可用的參數: {names}): {text!r}")
        values[name] = _typed(name, value, known[name])
    return values


def configured_class(strategy_class: type[Strategy], params: dict[str, Any]) -> type[Strategy]:
    """A subclass carrying the parameters as class attributes, so the strategy's __init__ sees them."""
    if not params:
        return strategy_class
    return type(strategy_class.__name__, (strategy_class,), dict(params))
