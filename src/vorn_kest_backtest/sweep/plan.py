"""The sweep plan: parameter sets times code groups times date ranges, as a list of run jobs.

A run job is a plain dict (picklable, engine-neutral) that one worker hands to the run function:

    {"run": 0, "strategy": ..., "params": {"fast": 5, "slow": 20}, "codes": ["2330"],
     "start": "2024-01-02", "end": "2024-03-29", "data_dir": "/shared/vkb", "options": {...}}

The order is stable: parameter sets outermost (a grid varies its last name fastest), then code
groups, then date ranges; `run` is the position in that order, so a plan rebuilt from the same
inputs numbers its runs the same way on every machine.
"""

from __future__ import annotations

import itertools
from collections.abc import Mapping, Sequence
from datetime import date, datetime
from typing import Any

from vorn_kest_backtest.sweep.columns import FIXED_COLUMNS
from vorn_kest_backtest.sweep.strategy_ref import portable_strategy
from vorn_kest_backtest.utils import format_to_dt

Grid = Mapping[str, Sequence[Any]] | Sequence[Mapping[str, Any]]
DateLike = str | date | datetime
RangeLike = Mapping[str, DateLike] | Sequence[DateLike]


def expand_grid(grid: Grid) -> list[dict[str, Any]]:
    """參數表 (名稱 -> 值清單, 取笛卡兒積) 或參數組清單 -> 參數組清單."""
    if isinstance(grid, Mapping):
        names = list(grid)
        for name, values in grid.items():
            if isinstance(values, (str, bytes)) or not isinstance(values, Sequence):
                raise TypeError(f"參數的值必須是清單: {name}")
            if not values:
                raise ValueError(f"參數的值清單是空的: {name}")
        sets = [dict(zip(names, combo, strict=True)) for combo in itertools.product(*(grid[n] for n in names))]
    else:
        sets = [dict(params) for params in grid]
        if not sets:
            raise ValueError("參數組清單是空的")
    for params in sets:
        for name in params:
            _check_name(name)
    return sets


def _check_name(name: object) -> None:
    if not isinstance(name, str) or not name:
        raise ValueError(f"參數名稱必須是非空字串: {name!r}")
    if name in FIXED_COLUMNS:
        raise ValueError(f"參數名稱與結果欄位重複: {name}")


def code_groups(codes: str | Sequence[str | Sequence[str]] | None) -> list[list[str]]:
    """每個項目是一次回測的商品: 單一代碼或一組代碼; 空清單表示用策略自己的商品."""
    if codes is None or (not isinstance(codes, str) and not codes):
        return [[]]
    if isinstance(codes, str):
        return [[codes]]
    groups = []
    for item in codes:
        group = [item] if isinstance(item, str) else list(item)
        if not group or not all(isinstance(code, str) and code for code in group):
            raise ValueError(f"商品代碼必須是非空字串: {item!r}")
        groups.append(group)
    return groups


def date_ranges(ranges: Sequence[RangeLike] | None) -> list[tuple[str | None, str | None]]:
    """日期區間: (start, end) 或 {"start": ..., "end": ...}; 空清單表示用策略自己的區間."""
    if not ranges:
        return [(None, None)]
    normalised: list[tuple[str | None, str | None]] = []
    for item in ranges:
        start, end = (item["start"], item["end"]) if isinstance(item, Mapping) else item
        first, last = format_to_dt(start), format_to_dt(end)
        if first > last:
            raise ValueError(f"開始日期晚於結束日期: {start} ~ {end}")
        normalised.append((_date_text(first), _date_text(last)))
    return normalised


def _date_text(moment: datetime) -> str:
    if moment == datetime(moment.year, moment.month, moment.day):
        return moment.strftime("%Y-%m-%d")
    return moment.strftime("%Y-%m-%d %H:%M:%S")


def build_plan(
    strategy: Any,
    grid: Grid,
    codes: str | Sequence[str | Sequence[str]] | None = None,
    ranges: Sequence[RangeLike] | None = None,
    *,
    data_dir: str | None = None,
    options: Mapping[str, Any] | None = None,
) -> list[dict[str, Any]]:
    """建立掃描計畫: 每個參數組 x 每組商品 x 每個日期區間一次回測.

    strategy: 策略類別 (以值傳給 worker) 或策略檔案 (轉為絕對路徑); 其他值原樣交給回測函式."""
    strategy = portable_strategy(strategy)
    combos = itertools.product(expand_grid(grid), code_groups(codes), date_ranges(ranges))
    return [
        {
            "run": index,
            "strategy": strategy,
            "params": params,
            "codes": group,
            "start": start,
            "end": end,
            "data_dir": data_dir,
            "options": dict(options or {}),
        }
        for index, (params, group, (start, end)) in enumerate(combos)
    ]
