"""The exchange price grid and its slippage walk, step by step in exact decimals."""

from __future__ import annotations

from decimal import ROUND_CEILING, Decimal

# Exchange-traded funds: 0.01 below 50, 0.05 from 50 up (no wider band above 1000).
FUND_BANDS = [(Decimal(50), Decimal("0.01"))]
STOCK_BANDS = [(Decimal(10), Decimal("0.01")), (Decimal(50), Decimal("0.05")), (Decimal(100), Decimal("0.1")),
               (Decimal(500), Decimal("0.5")), (Decimal(1000), Decimal(1))]
LOWEST = Decimal("0.01")


def decimal_snap(code: str, price: Decimal) -> tuple[Decimal, Decimal]:
    fund = code.startswith("00")
    bands = FUND_BANDS if fund else STOCK_BANDS
    tick = next((t for bound, t in bands if price < bound), Decimal("0.05") if fund else Decimal(5))
    return (price / tick).to_integral_value(ROUND_CEILING) * tick, tick


def decimal_walk(code: str, price: Decimal, ticks: int, up: bool) -> Decimal:
    for _ in range(ticks):
        price, step = decimal_snap(code, price)
        if not up and price <= LOWEST:
            break
        price = max(LOWEST, decimal_snap(code, price + step if up else price - step)[0])
    return price
