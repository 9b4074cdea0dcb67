"""Constants shared by the extension modules and strategy scripts."""

from __future__ import annotations

import os
from enum import Enum
from pathlib import Path


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
    """Run-time settings read by the extension modules at every call.

    `data_dir`: folder for tick caches, logs and reports.
    `utc_offset_hours`: the exchange clock (Asia/Taipei, no daylight saving);
    every "local date-time" of the toolkit is this clock, whatever the machine's zone.
    """

    def __init__(self) -> None:
        self.data_dir: str = _default_data_dir()
        self.utc_offset_hours: int = 8

    def __repr__(self) -> str:
        return f"BASIC_INFO(data_dir={self.data_dir!r}, utc_offset_hours={self.utc_offset_hours})"


BASIC_INFO = _BasicInfo()


def _index_futures() -> dict[str, int]:
    # Continuous (R1 = near month, R2 = next month) codes of the Taiwan index futures families,
    # in currency per index point.
    families = {
        "TXF": 200,  # 臺股期貨
        "MXF": 50,  # 小型臺指
        "TMF": 10,  # 微型臺指
        "EXF": 4000,  # 電子期貨
        "FXF": 1000,  # 金融期貨
        "ZEF": 500,  # 小型電子期貨
        "ZFF": 250,  # 小型金融期貨
        "XIF": 100,  # 非金電期貨
        "GTF": 4000,  # 櫃買期貨
        "G2F": 50,  # 富櫃200期貨
        "E4F": 100,  # 臺灣永續期貨
    }
    return {f"{family}{series}": value for family, value in families.items() for series in ("R1", "R2")}


FutureIndexContractValue: dict[str, int] = _index_futures()

__all__ = ["Action", "BASIC_INFO", "FLAG", "FutureIndexContractValue", "OrderCond"]
