"""Several codes' ticks over a date range in time order, as one frame or one day at a time; failed days logged,
kept in the Ticker's failed days and skipped."""

from __future__ import annotations

import datetime as dt
import json
import time
import traceback
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from functools import partial
from typing import Any

import polars as pl

from vorn_kest_backtest import utils
from vorn_kest_backtest._core.ticker import NotLoggedInError
from vorn_kest_backtest.modules.market import market
from vorn_kest_backtest.ticks.cache import forget_read_ahead, read_ahead
from vorn_kest_backtest.ticks.cache_writer import deferred_writes, writer
from vorn_kest_backtest.ticks.console import console_quiet, say
from vorn_kest_backtest.ticks.fetch import (
    announce_days,
    auto_fetch,
    fetches_natively,
    lead_in_ticks,
    simulated_source,
)
from vorn_kest_backtest.ticks.frames import empty_coded_frame, in_order
from vorn_kest_backtest.ticks.replay_columns import TickColumns, columns_of


class ReplayCancelled(Exception):
    """Raised between days when the replay that asked for the data is no longer current."""


# Whether the replay that asked for the data is still current; none when the data is only read.
IsCurrent = Callable[[], bool] | None


@dataclass
class DayPlan:
    """Calendar days to fetch for one code and, for futures, the part of each that belongs to the range."""

    code: str
    market: str
    dates: list[str]
    windows: list[list[tuple[int, int]]] | None = None  # futures only: per date, the wall-clock parts kept
    # Futures only: the first date is the day before the first trading date, wanted from its night session (this
    # wall-clock time) on.
    lead_in_since: int | None = None
    login_reported: bool = False  # the code's missing login was said
    index: dict[str, int] = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.index = {date: i for i, date in enumerate(self.dates)}


def _wall_clock(text: Any) -> dt.datetime:
    """format_to_dt(text) read on the wall clock: days are stepped from the start's time of day."""
    return utils.format_to_dt(text).replace(tzinfo=None)


def plan_of(code: str, market_type: str, start: dt.datetime, end: dt.datetime) -> DayPlan:
    # Anything but "Stock" is a future, as for the contract family.
    if market_type == "Stock":
        dates = []
        current = start
        while current <= end:
            dates.append(current.strftime("%Y-%m-%d"))
            current += dt.timedelta(days=1)
        return DayPlan(code, market_type, dates)
    # Futures dates are trading dates: a night session counts for the trading date it opens.
    days, windows, lead_in_since = market.futures_range_days(market.listed_holidays(), start.date(), end.date())
    return DayPlan(code, market_type, [day.strftime("%Y-%m-%d") for day in days], windows, lead_in_since)


def _kept_part(frame: pl.DataFrame, windows: list[tuple[int, int]]) -> pl.DataFrame:
    keep = pl.lit(False)
    for since, until in windows:
        keep = keep | pl.col("ts").is_between(since, until, closed="left")
    return frame.filter(keep)


def code_markets(codes: Sequence[Any]) -> list[tuple[str, str]]:
    """(code, market) of each {"code", "market"} entry; both must be text."""
    pairs = []
    for entry in codes:
        code, market_type = entry["code"], entry["market"]
        for value, name in ((code, "code"), (market_type, "market")):
            if not isinstance(value, str):
                raise TypeError(f"{name} 必須是文字: {value!r}")
        pairs.append((code, market_type))
    return pairs


class DayLoader:
    """Ticks of one code and calendar day; a failed day is logged, reported and kept in the Ticker's failed days."""

    def __init__(self, ticker: Any) -> None:
        self.ticker = ticker
        # Through the Ticker's method, which a subclass may wrap (a progress bar counts the days).
        self.auto_fetch = (partial(auto_fetch, ticker) if fetches_natively(type(ticker))
                           else ticker._Ticker__auto_fetch_ticks)
        self.loud = not console_quiet()

    def __call__(self, plan: DayPlan, i: int) -> pl.DataFrame | None:
        date = plan.dates[i]
        if self.loud:
            say(f"[yellow]正在取得 {plan.code} {date} 的 Tick 資料...[/yellow]")
        try:
            try:
                frame = self.auto_fetch(plan.code, plan.market, date)
            except Exception:
                # Only the evening of the lead-in day is replayed: a broker serving part of a day may have it when
                # the whole day fails (its earlier file is missing or bad).
                if i != 0 or plan.lead_in_since is None or not hasattr(self.ticker.api, "tick_frame"):
                    raise
                frame = lead_in_ticks(self.ticker, plan.code, plan.market, date, plan.lead_in_since)
            return frame if plan.windows is None else _kept_part(frame, plan.windows[i])
        except Exception as e:
            self._fail(plan, date, e)
            return None

    def _fail(self, plan: DayPlan, date: str, e: Exception) -> None:
        # A failure without a message still says what it was.
        error = str(e) or type(e).__name__
        utils.logger.error(json.dumps({
            "error": error, "traceback": "".join(traceback.format_exception(e)),
            "data": {"code": plan.code, "timestamp": time.time(), "date": date}}))
        self.ticker._failed_days.append({"code": plan.code, "date": date, "reason": error})
        login_missing = isinstance(e, NotLoggedInError)
        # Without a login every uncached day fails the same way: say it once per code.
        if login_missing and plan.login_reported:
            return
        plan.login_reported = plan.login_reported or login_missing
        if self.loud:
            say((f"[red]產生模擬 Tick 資料 {plan.code} {date} 失敗" if simulated_source(self.ticker.api)
                 else f"[red]下載 {plan.code} {date} 的 Tick 資料失敗") + f", 錯誤訊息: {error}[/red]")


@contextmanager
def _reading_ahead() -> Iterator[None]:
    try:
        yield
    finally:
        forget_read_ahead()


def combine(ticker: Any, codes: Sequence[tuple[str, str]], start_from: Any, end_to: Any,
            is_current: IsCurrent = None) -> pl.DataFrame:
    """Every code's days of the range stacked in (ts, code) order. A replay's days (`is_current` given) are cached
    behind it; a direct call returns with its days written."""
    start, end = _wall_clock(start_from), _wall_clock(end_to)
    load = DayLoader(ticker)
    frames: list[pl.DataFrame] = []
    with deferred_writes() if is_current else _no_deferral(), _reading_ahead():
        for code, market_type in codes:
            ticker.code_market_map[code] = market_type
            plan = plan_of(code, market_type, start, end)
            read_ahead(ticker, code, market_type, plan.dates)
            announce_days(ticker, code, market_type, plan.dates)
            for i in range(len(plan.dates)):
                if is_current is not None and not is_current():
                    raise ReplayCancelled
                frame = load(plan, i)
                if frame is not None and frame.height > 0:
                    frames.append(frame)
    return in_order(frames) if frames else empty_coded_frame(ticker.tick_df_schema)


@contextmanager
def _no_deferral() -> Iterator[None]:
    yield


class DayStream:
    """The dates of a range over all its codes, read in turn: every code's ticks of the next date in (ts, code)
    order."""

    def __init__(self, ticker: Any, codes: Sequence[tuple[str, str]], start_from: Any, end_to: Any) -> None:
        start, end = _wall_clock(start_from), _wall_clock(end_to)
        self.plans: list[DayPlan] = []
        for code, market_type in codes:
            ticker.code_market_map[code] = market_type
            plan = plan_of(code, market_type, start, end)
            announce_days(ticker, code, market_type, plan.dates)
            self.plans.append(plan)
        # Dates as YYYY-MM-DD sort in time.
        self.dates = sorted({date for plan in self.plans for date in plan.dates})
        self.next = 0

    def __len__(self) -> int:
        return len(self.dates)

    def next_day(self, ticker: Any, is_current: IsCurrent = None) -> TickColumns | bool | None:
        """The next date's columns for the replay (`is_current` given; None when it has no ticks, or when only
        read); False once every date is done, the failed days then listed code by code. The stream keeps no
        Ticker: a replay its owner dropped ends with the Ticker, and its reader with it."""
        if self.next >= len(self.dates):
            # A reader that outlived its replay must not touch the next replay's list.
            if is_current is None or is_current():
                ticker._failed_days = self._by_code(ticker._failed_days)
            return False
        date = self.dates[self.next]
        self.next += 1
        load = DayLoader(ticker)
        frames = []
        # The day's files are written once it is read, while the replay goes on.
        with deferred_writes():
            for plan in self.plans:
                i = plan.index.get(date)
                if i is None:
                    continue
                if is_current is not None and not is_current():
                    raise ReplayCancelled
                frame = load(plan, i)
                if frame is not None and frame.height > 0:
                    frames.append(frame)
        if is_current is None or not frames:
            return None
        # Days follow each other in time, so ordering each day orders the range.
        return columns_of(in_order(frames), ticker.code_market_map)

    def _by_code(self, failed: list[dict[str, Any]]) -> list[dict[str, Any]]:
        """The failures, read date by date, listed code by code as a whole-range combine lists them."""
        ordered: list[dict[str, Any]] = []
        seen: set[str] = set()
        for plan in self.plans:
            if plan.code in seen:
                continue
            seen.add(plan.code)
            ordered.extend(day for day in failed if day["code"] == plan.code)
        return ordered


def cache_days(ticker: Any, codes: Sequence[Any], start_from: Any, end_to: Any) -> None:
    """Reads (or fetches and caches) every code's days of the range without combining or replaying them."""
    ticker._failed_days = []
    stream = DayStream(ticker, code_markets(codes), start_from, end_to)
    while stream.next_day(ticker) is not False:
        pass
    writer.wait_for("")


def read_days(ticker_ref: Callable[[], Any], stream: DayStream, steps: dict[str, Callable[..., Any]]) -> None:
    """A replay's days after the first, each read once the one before is being replayed (the body of the Ticker's
    day-reading thread). `steps` are the replay's own: wait_for_room, is_current, append, finish, fail, ended. The
    Ticker is held only while a day is read."""
    try:
        while steps["wait_for_room"]():
            ticker = ticker_ref()
            if ticker is None:
                return
            day = stream.next_day(ticker, steps["is_current"])
            del ticker
            if day is False:
                steps["finish"]()
                return
            if day is not None:
                steps["append"](day)
    except ReplayCancelled:
        pass
    except BaseException as e:
        # Any end of the reading, an interrupt raised in a broker call too, reaches the consumer at the run's end.
        steps["fail"](e)
    finally:
        steps["ended"]()


def run_backfill(ticker: Any, codes: Sequence[tuple[str, str]], start_from: Any, end_to: Any,
                 steps: dict[str, Callable[..., Any]]) -> None:
    """One backfilling pass (the body of the Ticker's backfilling thread). `steps` are the Ticker's own: begin,
    is_current, start, failed, ended. A download that fails is reported and ends the pass; one a stop or a new
    replay cut short ends it silently."""
    try:
        steps["begin"]()
        try:
            frame = combine(ticker, codes, start_from, end_to, steps["is_current"])
        except ReplayCancelled:
            raise
        except BaseException as e:
            # Whatever ended the download ends the pass, reported: the replay goes on without it.
            steps["failed"](str(e))
            return
        steps["start"](frame)
    except ReplayCancelled:
        pass
    finally:
        steps["ended"]()
