"""A broker stand-in that makes up realistic, reproducible history ticks, so the toolkit runs without an account.

Every price it gives is made up: its `simulated` is true, and the Ticker and the run's reports say so.
"""

from __future__ import annotations

import re
import zlib
from collections.abc import Iterable, Mapping
from datetime import date
from typing import cast

import numpy as np

from vorn_kest_backtest import utils
from vorn_kest_backtest.brokers.columns import TICK_COLUMNS, parse_day
from vorn_kest_backtest.brokers.contracts import FUTURE, STOCK, Contract, Contracts, ContractTable
from vorn_kest_backtest.brokers.tick_generator import STOCK_CLOSING_CALL_NS, generate_session
from vorn_kest_backtest.constant import FUTURES_FAMILIES
from vorn_kest_backtest.modules.market.market import (
    NS_PER_DAY,
    TradingCalendar,
    exchange_now,
    futures_family_of,
    midnight_ns,
    price_grid_for,
    snap,
)

DEFAULT_STOCKS = {
    "2330": (580.0, "台積電"),
    "2317": (105.0, "鴻海"),
    "2454": (900.0, "聯發科"),
    "0050": (150.0, "元大台灣50"),
    "00878": (22.0, "國泰永續高股息"),
}
DEFAULT_FUTURES = {
    "TXFR1": (17500.0, "臺股期貨近月"),
    "MXFR1": (17500.0, "小型臺指近月"),
    "TMFR1": (17500.0, "微型臺指近月"),
}
# A listed stock code: four digits, then up to two digits or capital letters (00878, 00632R, 2881A).
STOCK_CODE = re.compile(r"^\d{4}[0-9A-Z]{0,2}$")
# Continuous codes of the futures families: near ("R1") and next ("R2") month.
FUTURES_SERIES = ("R1", "R2")

# Contracts on one index share its price path, so the large, mini and micro futures quote alike.
INDEX_OF_FAMILY = {"TXF": "TAIEX", "MXF": "TAIEX", "TMF": "TAIEX", "EXF": "TE", "ZEF": "TE", "FXF": "TF", "ZFF": "TF"}
# Made-up reference prices of codes outside the tables: log-uniform in these ranges, fixed by the code.
MADE_UP_STOCK_RANGE = (10.0, 1000.0)
MADE_UP_INDEX_RANGE = (500.0, 20000.0)
# Night sessions are quieter: fewer ticks and a smaller move than the day session.
NIGHT_TICK_SHARE = 0.5
SESSION_VOL = {"day": 0.012, "night": 0.008}
_EPOCH_DAY = date(2000, 1, 1)


class SimulatedBroker:
    """模擬券商: 依代碼與日期固定種子產生逼真的歷史 Tick.

    同一 seed, 同一代碼與日期永遠得到相同的 Tick; 不需登入.
    `ticks_per_day`: 每個日盤的 Tick 數 (期貨夜盤為其一半); 交易時段與休市規則見 market 模組的 TradingCalendar.
    `logged_in=False` 的物件為假值 (bool 為 False), 供登入檢查使用, 其 `ticks` 查詢會失敗.
    `extra_stocks` / `extra_futures`: 額外商品, 代碼 -> 起始價.
    `holidays`: 休市日 (預設讀取套件內的休市日表); 早於休市日表第一天或晚於今天 (交易所時間) 的日子不產生 Tick.
    `tick_source_id`: 預設設定時為 None (Tick 快取放在 kest/ticks); 其他設定產生不同的 Tick, 以此代號分開快取.
    商品: 內建的股票與期貨, 任何格式正確的股票代碼 (四碼數字, 其後最多兩個數字或大寫字母) 與 constant 模組
    各期貨商品族的連續月代碼 (例如 EXFR1, MXFR2); 不在內建表中的代碼以固定的虛構參考價產生, 並印出一行說明,
    `made_up_codes` 列出這些代碼. `simulated` 為 True: 所有價格都是模擬的.
    """

    simulated = True

    def __init__(
        self,
        seed: int = 0,
        ticks_per_day: int = 3000,
        logged_in: bool = True,
        extra_stocks: Mapping[str, float] | None = None,
        extra_futures: Mapping[str, float] | None = None,
        holidays: Iterable[date] | None = None,
    ) -> None:
        if not isinstance(seed, int) or seed < 0:
            raise ValueError(f"seed 必須是非負整數: {seed!r}")
        if not isinstance(ticks_per_day, int) or ticks_per_day < 1:
            raise ValueError(f"ticks_per_day 必須是正整數: {ticks_per_day!r}")
        self.seed = seed
        self.ticks_per_day = ticks_per_day
        self.logged_in = bool(logged_in)
        self.calendar = TradingCalendar(holidays)
        holiday_days = self.calendar.holidays
        self.first_day = min(holiday_days) if holiday_days else None
        contracts = [Contract(code, STOCK, price, name) for code, (price, name) in DEFAULT_STOCKS.items()]
        contracts += [Contract(code, FUTURE, price, name) for code, (price, name) in DEFAULT_FUTURES.items()]
        contracts += _extra(extra_stocks, STOCK) + _extra(extra_futures, FUTURE)
        by_code = {c.code: c for c in contracts}
        self.made_up_codes: list[str] = []
        self.Contracts = Contracts(list(by_code.values()))
        self.Contracts.Stocks = MadeUpTable(self.Contracts.Stocks, STOCK, self.made_up_codes)
        self.Contracts.Futures = MadeUpTable(self.Contracts.Futures, FUTURE, self.made_up_codes)
        self.tick_source_id = _source_id(seed, ticks_per_day, contracts[len(DEFAULT_STOCKS) + len(DEFAULT_FUTURES):],
                                         holidays)

    def __bool__(self) -> bool:
        return self.logged_in

    def __repr__(self) -> str:
        return f"SimulatedBroker(seed={self.seed}, ticks_per_day={self.ticks_per_day}, logged_in={self.logged_in})"

    def ticks(self, contract: Contract, date: str) -> dict[str, list]:
        """回傳該商品在該日 (日曆日) 的 Tick, 八個欄位各為一個 list; 非交易時段回傳空 list.

        早於休市日表第一天或晚於今天 (交易所時間) 的日子丟出 ValueError.
        """
        self.Contracts.table_of(contract)
        day = parse_day(date)
        if not self.logged_in:
            raise RuntimeError("尚未登入, 無法查詢歷史 Tick")
        self._check_day(day)
        start, end = midnight_ns(day), midnight_ns(day) + NS_PER_DAY
        bands = price_grid_for(contract.code, contract.market)
        parts = []
        for session in self.calendar.sessions_touching(contract.market, day):
            columns = self._session_ticks(contract, session, bands)
            keep = (columns["ts"] >= start) & (columns["ts"] < end)
            parts.append({name: values[keep] for name, values in columns.items()})
        return {
            name: (np.concatenate([p[name] for p in parts]).tolist() if parts else []) for name in TICK_COLUMNS
        }

    def _check_day(self, day: date) -> None:
        """Made-up history stays within the days the calendar knows and never runs ahead of today."""
        today = exchange_now().date()
        if day > today:
            raise ValueError(f"模擬券商不產生未來的 Tick 資料: {day} 晚於今天 {today} (交易所時間)")
        if self.first_day is not None and day < self.first_day:
            raise ValueError(f"模擬券商不產生 {day} 的 Tick 資料: 早於休市日表的第一天 {self.first_day}")

    def _session_ticks(self, contract: Contract, session, bands) -> dict[str, np.ndarray]:
        day_kind = f"{session.start_day.isoformat()}|{session.kind}"
        underlying = underlying_of(contract)
        price_rng = self._rng(f"{underlying}|{day_kind}|price")
        rng = self._rng(f"{contract.code}|{day_kind}")
        count = self.ticks_per_day if session.kind == "day" else max(1, int(self.ticks_per_day * NIGHT_TICK_SHARE))
        # Every contract of this broker is made with its reference price.
        open_price = self._open_price(cast(float, contract.reference), underlying, session, price_rng, bands)
        closing_call = STOCK_CLOSING_CALL_NS if contract.market == STOCK else 0
        return generate_session(price_rng, rng, session, open_price, bands, count, SESSION_VOL[session.kind],
                                closing_call)

    def _rng(self, key: str) -> np.random.Generator:
        # crc32, not hash(): the stream must be the same in every interpreter run.
        return np.random.default_rng([self.seed, zlib.crc32(key.encode("utf-8"))])

    def _open_price(self, reference: float, underlying: str, session, rng: np.random.Generator, bands) -> float:
        # A slow swing of a few percent over weeks, the same for every session of the underlying, so consecutive
        # days open near each other; plus a small overnight gap of the session's own.
        phase = zlib.crc32(f"{underlying}|{self.seed}".encode()) / 2**32 * 2 * np.pi
        t = (session.start_day - _EPOCH_DAY).days + (0.6 if session.kind == "night" else 0.0)
        swing = 0.05 * np.sin(2 * np.pi * t / 97 + phase) + 0.03 * np.sin(2 * np.pi * t / 23 + 3 * phase)
        gap = 0.004 * rng.standard_normal()
        return float(snap(reference * np.exp(swing + gap), bands))


class MadeUpTable(ContractTable):
    """A family's table that also serves well-formed codes outside it, each with a fixed made-up reference
    price; the first lookup of such a code prints a line saying so and lists it in `made_up`."""

    def __init__(self, table: ContractTable, market: str, made_up: list[str]) -> None:
        super().__init__(table.family, dict(table))
        self.market = market
        self._made_up = made_up

    def __getitem__(self, code: str) -> Contract:
        if isinstance(code, str) and code not in self._contracts and (contract := made_up_contract(code, self.market)):
            self._contracts[code] = contract
            self._made_up.append(code)
            utils.console.print(f"[yellow]模擬券商沒有 {code} 的資料, 以虛構的參考價 {contract.reference:g} "
                                "產生模擬 Tick[/yellow]")
        return super().__getitem__(code)

    def __contains__(self, code: object) -> bool:
        return isinstance(code, str) and (code in self._contracts or made_up_contract(code, self.market) is not None)


def made_up_contract(code: str, market: str) -> Contract | None:
    """A well-formed code outside the tables with its made-up reference price, None for any other code."""
    if market == STOCK:
        if not STOCK_CODE.match(code):
            return None
        return Contract(code, STOCK, _made_up_price(code, MADE_UP_STOCK_RANGE), code)
    family = futures_family_of(code)
    series = code[len(family):]
    if family not in FUTURES_FAMILIES or series not in FUTURES_SERIES:
        return None
    # An index keeps the one price of its listed contracts (TXFR2 quotes with TXFR1), else a made-up one.
    index = INDEX_OF_FAMILY.get(family, family)
    listed = [price for listed, (price, _) in DEFAULT_FUTURES.items()
              if INDEX_OF_FAMILY.get(futures_family_of(listed)) == index]
    return Contract(code, FUTURE, listed[0] if listed else _made_up_price(index, MADE_UP_INDEX_RANGE), code)


def underlying_of(contract: Contract) -> str:
    """The price path a contract follows: its index for the futures families, its own code otherwise."""
    family = futures_family_of(contract.code)
    if contract.market == FUTURE and contract.code[len(family):] in FUTURES_SERIES and family in FUTURES_FAMILIES:
        return INDEX_OF_FAMILY.get(family, family)
    return contract.code


def _made_up_price(key: str, bounds: tuple[float, float]) -> float:
    # crc32, not hash(): the same price in every interpreter run.
    share = zlib.crc32(f"reference|{key}".encode()) / 2**32
    low, high = bounds
    return float(round(low * (high / low) ** share, 1))


def _source_id(seed: int, ticks_per_day: int, extras: list[Contract], holidays: Iterable[date] | None) -> str | None:
    """None for the default settings; otherwise text naming every setting that changes the ticks."""
    if (seed, ticks_per_day, extras, holidays) == (0, 3000, [], None):
        return None
    listed = "default" if holidays is None else ",".join(sorted(day.isoformat() for day in holidays))
    extra = ",".join(f"{c.code}:{c.market}:{c.reference!r}" for c in extras)
    return f"simulated seed={seed} ticks_per_day={ticks_per_day} extra={extra} holidays={listed}"


def _extra(prices: Mapping[str, float] | None, market: str) -> list[Contract]:
    contracts = []
    for code, price in (prices or {}).items():
        if not isinstance(code, str) or not code or any(ch in code for ch in "/\\\0") or ".." in code:
            raise ValueError(f"商品代碼不合法: {code!r}")
        if not isinstance(price, (int, float)) or not price > 0:
            raise ValueError(f"起始價必須是正數: {code} {price!r}")
        contracts.append(Contract(code, market, float(price), code))
    return contracts


__all__ = ["SimulatedBroker"]
