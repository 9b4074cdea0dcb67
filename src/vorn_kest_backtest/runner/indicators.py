"""策略的指標: C++ 在每根訂閱的 K 棒收盤時更新一次."""

from __future__ import annotations

import numpy as np


class Indicator:
    """`ctx.indicator(...)` 的回傳值. `value` 為最新值, `values` 為每根已收盤 K 棒的值 (唯讀 numpy 檢視,
    不複製; 保留的檢視一直有效, 值不變); 暖機期間 (K 棒數不足) 為 NaN.

    kind: "sma", "ema", "rsi" (Wilder), "atr" (Wilder), "bollinger_upper", "bollinger_lower" (length 根,
    width 倍母體標準差), "highest" (最高價), "lowest" (最低價), "vwap" (當日交易時段的成交量加權典型價, 不需 length).
    """

    __slots__ = ("_quotes", "_handle", "kind")

    def __init__(self, quotes, handle: int, kind: str) -> None:
        self._quotes = quotes
        self._handle = handle
        self.kind = kind

    @property
    def value(self) -> float:
        return self._quotes.indicator_value(self._handle)

    @property
    def values(self) -> np.ndarray:
        return self._quotes.indicator_values(self._handle)
