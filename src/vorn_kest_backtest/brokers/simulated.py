"""A broker stand-in that makes up realistic, reproducible history ticks, so the toolkit runs without an account."""

from __future__ import annotations

import zlib
from collections.abc import Iterable, Mapping
from datetime import date
from typing import cast

import numpy as np

from vorn_kest_backtest.brokers.columns import TICK_COLUMNS, parse_day
from vorn_kest_backtest.brokers.contracts import FUTURE, STOCK, Contract, Contracts
from vorn_kest_backtest.brokers.tick_generator import STOCK_CLOSING_CALL_NS, generate_session
from vorn_kest_backtest.modules.market.market import NS_PER_DAY, TradingCalendar, midnight_ns, price_grid_for, snap

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

# Contracts on one index share its price path, so the large, mini and micro futures quote alike.
UNDERLYING = {"TXFR1": "TAIEX", "MXFR1": "TAIEX", "TMFR1": "TAIEX"}
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
    `holidays`: 休市日 (預設讀取套件內的休市日表).
    `tick_source_id`: 預設設定時為 None (Tick 快取放在 kest/ticks); 其他設定產生不同的 Tick, 以此代號分開快取.
    """

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
        contracts = [Contract(code, STOCK, price, name) for code, (price, name) in DEFAULT_STOCKS.items()]
        contracts += [Contract(code, FUTURE, price, name) for code, (price, name) in DEFAULT_FUTURES.items()]
        contracts += _extra(extra_stocks, STOCK) + _extra(extra_futures, FUTURE)
        by_code = {c.code: c for c in contracts}
        self.Contracts = Contracts(list(by_code.values()))
        self.tick_source_id = _source_id(seed, ticks_per_day, contracts[len(DEFAULT_STOCKS) + len(DEFAULT_FUTURES):],
                                         holidays)

    def __bool__(self) -> bool:
        return self.logged_in

    def __repr__(self) -> str:
        return f"SimulatedBroker(seed={self.seed}, ticks_per_day={self.ticks_per_day}, logged_in={self.logged_in})"

    def ticks(self, contract: Contract, date: str) -> dict[str, list]:
        """回傳該商品在該日 (日曆日) 的 Tick, 八個欄位各為一個 list; 非交易時段回傳空 list."""
        self.Contracts.table_of(contract)
        day = parse_day(date)
        if not self.logged_in:
            raise RuntimeError("尚未登入, 無法查詢歷史 Tick")
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

    def _session_ticks(self, contract: Contract, session, bands) -> dict[str, np.ndarray]:
        day_kind = f"{session.start_day.isoformat()}|{session.kind}"
        underlying = UNDERLYING.get(contract.code, contract.code)
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
