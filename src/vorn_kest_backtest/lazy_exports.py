"""A package's names that load on first use, so importing the package stays light."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from importlib import import_module
from typing import Any


def lazy_exports(package: str, homes: Mapping[str, str], names: list[str],
                 package_globals: dict[str, Any]) -> tuple[Callable[[str], Any], Callable[[], list[str]]]:
    """The package's module `__getattr__` (each name from its home module) and `__dir__` (its names too)."""

    def __getattr__(name: str) -> Any:
        home = homes.get(name)
        if home is None:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        return getattr(import_module(home), name)

    def __dir__() -> list[str]:
        return sorted(set(package_globals) | set(names))

    return __getattr__, __dir__
