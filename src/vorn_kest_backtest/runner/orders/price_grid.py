"""Order prices on the exchange grid of their code, as the bound market rules define it."""

from __future__ import annotations

from vorn_kest_backtest.modules.market.market import grid_neighbours, on_grid, price_grid_for


def price_text(price: float) -> str:
    """A price as the exchange writes it: hundredths at most, no trailing zeros."""
    return f"{price:.2f}".rstrip("0").rstrip(".")


class OrderGrids:
    """The price grid of each code an order is placed on (a stock's bands, a futures family's tick)."""

    def __init__(self) -> None:
        self._grids: dict[str, object] = {}

    def _grid(self, code: str, market: str) -> object:
        grid = self._grids.get(code)
        if grid is None:
            grid = self._grids[code] = price_grid_for(code, market)
        return grid

    def futures_tick(self, code: str, market: str) -> float | None:
        """The family's fixed tick of a futures code; None for a stock (its bands follow the price)."""
        return self._grid(code, market).fixed_tick  # type: ignore[attr-defined]

    def off_grid(self, code: str, market: str, name: str, price: float) -> str:
        """Why `price` cannot be an order price of `code`, or "" when it lies on the grid."""
        grid = self._grid(code, market)
        if on_grid(price, grid):
            return ""
        below, above = grid_neighbours(price, grid)
        return (f"{name} {price_text(price)} 不在 {code} 的價格跳動格上, "
                f"最接近的有效價格為 {price_text(below)} 與 {price_text(above)}")
