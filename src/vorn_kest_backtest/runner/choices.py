"""The fixed choices of the strategy API as types, so a type checker catches a misspelt one before a run."""

from __future__ import annotations

from typing import Literal

Market = Literal["Stock", "Future"]
# K-bar units: minutes, hours, days, weeks, months, quarters, years.
Unit = Literal["m", "h", "d", "w", "mo", "q", "y"]
IndicatorKind = Literal[
    "sma", "ema", "rsi", "atr", "bollinger_upper", "bollinger_lower", "highest", "lowest", "vwap",
]
FillMode = Literal["next_trade", "this_tick"]
FillModel = Literal["trade", "quote"]
LimitRule = Literal["through", "touch"]
RollMode = Literal["settle", "carry"]
FeeProfile = Literal["tw_broker", "table"]
BrokerName = Literal["simulated", "files", "taifex"]
# Raw ticks held per code: the current trading date, every tick, or the last N trading dates.
TickWindow = Literal["day", "all"] | int

__all__ = [
    "BrokerName", "FeeProfile", "FillMode", "FillModel", "IndicatorKind", "LimitRule", "Market", "RollMode",
    "TickWindow", "Unit",
]
