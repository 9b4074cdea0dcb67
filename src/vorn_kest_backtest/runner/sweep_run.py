"""One backtest of a parameter sweep: the strategy with its parameters, consoles muted, figures back."""

from __future__ import annotations

import threading
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

from rich.console import Console

from vorn_kest_backtest import utils
from vorn_kest_backtest.runner.codes import MARKETS, check_codes_known, parse_date_range
from vorn_kest_backtest.runner.errors import BacktestInputError
from vorn_kest_backtest.runner.session import run_backtest
from vorn_kest_backtest.runner.tick_window import DEFAULT_TICK_WINDOW
from vorn_kest_backtest.sweep.strategy_ref import strategy_class_of

FEE_PROFILES = ("tw_broker", "table")


# Runs of one sweep may mute at once in threads (Dask with processes=False): the first in keeps the
# loud console, the last out puts it back, whatever order they end in.
_mute_lock = threading.Lock()
_muted_by = 0
_loud: Any = None


@contextmanager
def muted_console() -> Iterator[None]:
    """A sweep prints one progress bar over runs, not every entry and cover of every run."""
    global _muted_by, _loud
    with _mute_lock:
        if _muted_by == 0:
            _loud = utils.console
            utils.console = Console(quiet=True)
        _muted_by += 1
    try:
        yield
    finally:
        with _mute_lock:
            _muted_by -= 1
            if _muted_by == 0:
                utils.console, _loud = _loud, None


def _code_entry(text: str, defaults: Mapping[str, str]) -> dict[str, str]:
    code, _, market = str(text).partition(":")
    code = code.strip()
    if market:
        name = MARKETS.get(market.strip().lower())
        if name is None:
            raise BacktestInputError(f"代碼格式錯誤 (應為 代碼:Stock 或 代碼:Future): {text}")
    else:
        name = defaults.get(code) or ("Stock" if code[:1].isdigit() else "Future")
    return {"code": code, "market": name}


def _broker(options: Mapping[str, Any]):
    from vorn_kest_backtest.brokers import FileBroker, SimulatedBroker

    if options.get("broker", "simulated") == "files":
        return FileBroker(options["data"])
    return SimulatedBroker()


@dataclass(frozen=True)
class _JobSetup:
    strategy_class: type
    params: dict[str, Any]
    codes: list[dict[str, str]]
    start: str
    end: str
    api: Any
    options: dict[str, Any]


def _setup(job: Mapping[str, Any]) -> _JobSetup:
    strategy_class = strategy_class_of(job["strategy"])
    params = dict(job.get("params") or {})
    unknown = [name for name in params if not hasattr(strategy_class, name)]
    if unknown:
        raise BacktestInputError(f"策略沒有這些參數: {', '.join(unknown)}")
    options = dict(job.get("options") or {})
    defaults = dict(strategy_class.codes)
    codes = [_code_entry(text, defaults) for text in job.get("codes") or []] or [
        {"code": code, "market": market} for code, market in strategy_class.codes]
    start, end = parse_date_range(job.get("start") or strategy_class.start, job.get("end") or strategy_class.end)
    api = _broker(options)
    check_codes_known(api, codes)
    return _JobSetup(strategy_class, params, codes, start, end, api, options)


def run_sweep_job(job: Mapping[str, Any]) -> dict[str, Any]:
    """以 job 的參數回測一次, 回傳結果數字 (Summary.figures: trades, win_rate, net_profit, max_drawdown, sharpe ...).

    job["codes"]: "2330" or "2330:Stock" texts (empty: the strategy's own codes); job["params"]
    become class attributes of a subclass, so the strategy's __init__ sees them; job["options"]:
    "broker" ("simulated" or "files" with "data"), "initial_capital", "slippage_ticks", "fees" ("tw_broker",
    the default, or "table"), "reports" (write files and HTML into a run folder; without it nothing is written and
    no report library is loaded), "daily_equity" (add the equity at each day's close under "daily_equity"),
    "tick_window" ("day", the default, "all" or a number of trading days).
    """
    setup = _setup(job)
    options, params = setup.options, setup.params
    fees = options.get("fees", "tw_broker")
    if fees not in FEE_PROFILES:
        raise BacktestInputError(f"不支援的手續費方案 (可用 {', '.join(FEE_PROFILES)}): {fees}")
    if "initial_capital" in options:
        params["initial_capital"] = int(options["initial_capital"])
    configured = type(setup.strategy_class.__name__, (setup.strategy_class,), params)
    slippage = options.get("slippage_ticks")
    with muted_console():
        summary = run_backtest(configured(), setup.codes, setup.start, setup.end, setup.api,
                               reports_wanted=bool(options.get("reports", False)),
                               slippage_ticks=None if slippage is None else int(slippage),
                               fees=fees, tick_window=options.get("tick_window", DEFAULT_TICK_WINDOW))
    figures = summary.figures()
    if options.get("daily_equity"):
        figures["daily_equity"] = list(summary.daily_closes)
    return figures


def prefetch_sweep_job(job: Mapping[str, Any]) -> dict[str, Any]:
    """把 job 的商品與日期區間的 Tick 讀進快取 (已在快取中的日子只讀取), 不回放."""
    from vorn_kest_backtest.modules.ticker.ticker import Ticker

    setup = _setup(job)
    ticker = Ticker(setup.api)
    with muted_console():
        ticker.cache_days(setup.codes, setup.start, setup.end)
    if ticker.failed_days:
        named = ", ".join(f"{day['code']} {day['date']}" for day in ticker.failed_days[:3])
        raise RuntimeError(f"{len(ticker.failed_days)} 天的 Tick 資料無法載入: {named}")
    return {}
