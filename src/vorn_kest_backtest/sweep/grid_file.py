"""Sweep grid files (TOML, read with `tomllib`).

Format (every key optional except one of `[params]` / `[[runs]]`):

    codes = ["2330", "2317", ["TXFR1", "MXFR1"]]   # one run per item; an inner list is one basket
    metric = "net_profit"                          # column the table is sorted by
    descending = true

    [params]                                       # grid: Cartesian product, last name varies fastest
    fast = [5, 10]
    slow = [20, 30, 60]

    [[ranges]]                                     # one run per range; TOML dates or "YYYY-MM-DD" text
    start = 2024-01-02
    end = 2024-03-29

    [options]                                      # handed unchanged to every run (e.g. initial capital)
    initial_capital = 1_000_000

Instead of `[params]`, explicit parameter sets may be listed, one table each:

    [[runs]]
    fast = 5
    slow = 20
"""

from __future__ import annotations

import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

_KEYS = frozenset({"params", "runs", "codes", "ranges", "metric", "descending", "options"})


@dataclass(frozen=True)
class GridFile:
    """掃描設定檔的內容."""

    grid: dict[str, list[Any]] | list[dict[str, Any]]
    codes: list[str | list[str]] = field(default_factory=list)
    ranges: list[dict[str, Any]] = field(default_factory=list)
    metric: str = "net_profit"
    descending: bool = True
    options: dict[str, Any] = field(default_factory=dict)


def load_grid_file(path: str | Path) -> GridFile:
    """讀取 TOML 掃描設定檔."""
    with open(path, "rb") as handle:
        data = tomllib.load(handle)
    unknown = sorted(set(data) - _KEYS)
    if unknown:
        raise ValueError(f"掃描設定檔有不認得的欄位: {', '.join(unknown)}")
    if ("params" in data) == ("runs" in data):
        raise ValueError(f"掃描設定檔必須有 [params] 或 [[runs]] 其中之一: {path}")
    grid = data["params"] if "params" in data else data["runs"]
    return GridFile(
        grid=grid,
        codes=data.get("codes", []),
        ranges=data.get("ranges", []),
        metric=data.get("metric", "net_profit"),
        descending=bool(data.get("descending", True)),
        options=data.get("options", {}),
    )
