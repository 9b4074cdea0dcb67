"""Parses and checks the codes and dates of a run."""

from __future__ import annotations

from datetime import datetime

from vorn_kest_backtest.runner.errors import BacktestInputError
from vorn_kest_backtest.utils import format_to_dt

MARKETS = {"stock": "Stock", "future": "Future"}


def parse_codes(text: str) -> list[dict[str, str]]:
    """"2330:Stock,TXFR1:Future" -> [{"code": "2330", "market": "Stock"}, ...]."""
    codes = []
    for item in filter(None, (part.strip() for part in text.split(","))):
        code, _, market = item.partition(":")
        market_name = MARKETS.get(market.strip().lower())
        if not code.strip() or market_name is None:
            raise BacktestInputError(f"代碼格式錯誤 (應為 代碼:Stock 或 代碼:Future): {item}")
        codes.append({"code": code.strip(), "market": market_name})
    if not codes:
        raise BacktestInputError(f"沒有指定任何代碼: {text!r}")
    return codes


def check_codes_known(api, codes: list[dict[str, str]]) -> None:
    """Asks the broker's contract tables for every code, so a typo fails before the replay starts."""
    for item in codes:
        family = "Stocks" if item["market"] == "Stock" else "Futures"
        try:
            contract = getattr(api.Contracts, family)[item["code"]]
        except (KeyError, LookupError, AttributeError, TypeError):
            contract = None
        if contract is None:
            raise BacktestInputError(f"未知的商品代碼: {item['code']} ({item['market']})")


def parse_date_range(start: str | None, end: str | None) -> tuple[str, str]:
    if not start or not end:
        raise BacktestInputError("必須指定開始與結束日期 (--start, --end)")
    dates: list[datetime] = []
    for name, value in (("開始", start), ("結束", end)):
        try:
            dates.append(format_to_dt(value))
        except ValueError:
            raise BacktestInputError(f"{name}日期格式錯誤 (應為 %Y-%m-%d): {value}") from None
    if dates[1] < dates[0]:
        raise BacktestInputError(f"結束日期 {end} 早於開始日期 {start}")
    return dates[0].strftime("%Y-%m-%d"), dates[1].strftime("%Y-%m-%d")
