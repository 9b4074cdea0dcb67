"""Constants shared by the extension module and strategy scripts."""

from __future__ import annotations

import os
from dataclasses import dataclass
from enum import Enum
from pathlib import Path

from vorn_kest_backtest.modules.market.market import (
    DEFAULT_FUTURES_TICK,
    EXCHANGE_UTC_OFFSET_HOURS,
    futures_contracts,
    futures_family_of,
)


class Action(str, Enum):
    """買賣方向."""

    BUY = "Buy"
    SELL = "Sell"


class OrderCond(str, Enum):
    """委託條件: 現股, 融資, 融券."""

    CASH = "Cash"
    MARGIN_TRADING = "MarginTrading"
    SHORT_SELLING = "ShortSelling"


class FLAG(str, Enum):
    """回放狀態旗標 (status record values)."""

    exit_send_tick = "vorn_exit_send_tick"
    finish_backfilling = "vorn_finish_backfilling"


def _default_data_dir() -> str:
    env = os.environ.get("VORN_KEST_DATA_DIR")
    return env if env else str(Path.home() / ".vorn_kest_backtest")


class _BasicInfo:
    """Run-time settings read by the extension module at every call.

    `data_dir`: folder for tick caches, logs and reports.
    `utc_offset_hours`: the exchange clock (Asia/Taipei, no daylight saving);
    every "local date-time" of the toolkit is this clock, whatever the machine's zone.
    """

    def __init__(self) -> None:
        self.data_dir: str = _default_data_dir()
        self.utc_offset_hours: int = EXCHANGE_UTC_OFFSET_HOURS

    def __repr__(self) -> str:
        return f"BASIC_INFO(data_dir={self.data_dir!r}, utc_offset_hours={self.utc_offset_hours})"


BASIC_INFO = _BasicInfo()


@dataclass(frozen=True)
class FuturesFamily:
    """一個期貨商品族的契約規格: 每點價值, 最小跳動點 (點). 原始保證金見 static/futures_margins.csv."""

    point_value: int
    tick_size: float


# The core's contract table (cpp/core/data/futures_contracts.csv), one entry per family.
FUTURES_FAMILIES: dict[str, FuturesFamily] = {
    family: FuturesFamily(point_value, tick_size) for family, point_value, tick_size, _ in futures_contracts()
}


def futures_family(code: str) -> FuturesFamily | None:
    """代碼所屬期貨商品族的規格 (代碼前三碼, 例如 "TXFR1" -> "TXF"); 不在表中時為 None."""
    return FUTURES_FAMILIES.get(futures_family_of(code))


# Continuous (R1 = near month, R2 = next month) codes of the index futures families, in currency
# per index point.
FutureIndexContractValue: dict[str, int] = {
    f"{family}{series}": terms.point_value for family, terms in FUTURES_FAMILIES.items() for series in ("R1", "R2")
}

__all__ = [
    "Action",
    "BASIC_INFO",
    "DEFAULT_FUTURES_TICK",
    "FLAG",
    "FUTURES_FAMILIES",
    "FutureIndexContractValue",
    "FuturesFamily",
    "OrderCond",
    "futures_family",
]
