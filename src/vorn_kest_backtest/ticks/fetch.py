"""One code's days from the broker or the cache: the broker's answer for a day, the download that fills the cache,
and the per-day read that prefers the cache."""

from __future__ import annotations

import datetime as dt
import os
from typing import Any

import polars as pl

from vorn_kest_backtest import utils
from vorn_kest_backtest._core import ticker as _native
from vorn_kest_backtest._core.ticker import NotLoggedInError
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.modules.market.market import exchange_now
from vorn_kest_backtest.ticks.cache import (
    cache_file_path,
    cache_folder,
    keeps_cache,
    read_tick_csv,
    source_stamp,
    stamp_matches,
    take_read_ahead,
    write_cache_day,
)
from vorn_kest_backtest.ticks.cache_writer import CacheJob, deferring, writer
from vorn_kest_backtest.ticks.console import console_quiet, say
from vorn_kest_backtest.ticks.frames import (
    TickSource,
    empty_frame,
    frame_from_ticks,
    refuse_bad_prices,
    source_rows_of,
    with_code,
)

NOT_LOGGED_IN = "Kestor API 尚未初始化, 請先登入Kestor API"


def _text(value: Any, name: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} 必須是文字: {value!r}")
    return value


def simulated_source(api: Any) -> bool:
    """A broker that makes its ticks up (its `simulated` is true) is named so in every line about them."""
    return bool(getattr(api, "simulated", False))


def generate_save_path(file_name: Any = None, *sub_folder: Any) -> str:
    """The data directory joined with `sub_folder`, created; then `file_name` in it when given."""
    if file_name is not None and not isinstance(file_name, str):
        raise TypeError(f"file_name 必須是文字或 None: {file_name!r}")
    folder = BASIC_INFO.data_dir
    for part in sub_folder:
        folder = os.path.join(folder, part)
    utils.make_dir(folder)
    return str(folder) if file_name is None else os.path.join(folder, file_name)


def _source_name(api: Any, contract: Any, code: str, date: str) -> str:
    """Where one day's ticks came from, for an error about one of its rows: the broker's own name for it (a file
    broker names the file, whose rows the day's rows are), else the broker's type and the day."""
    name_of = getattr(api, "tick_source_name", None)
    if name_of is not None:
        name = name_of(contract, date)
        if not isinstance(name, str):
            raise TypeError(f"tick_source_name 必須回傳文字: {name!r}")
        if name:
            return name
    return f"{type(api).__name__} {code} {date}"


def _day_answer(api: Any, contract: Any, date: str, since_ns: int | None = None) -> Any:
    """The broker's answer for one calendar day: its frame when it serves frames (`tick_frame`), else the SDK's
    ticks query. `since_ns`: only the ticks from that wall-clock time on are wanted."""
    tick_frame = getattr(api, "tick_frame", None)
    if tick_frame is None:
        return api.ticks(contract=contract, date=date)
    if since_ns is not None:
        return tick_frame(contract=contract, date=date, since_ns=since_ns)
    return tick_frame(contract=contract, date=date)


def _day_frame(ticker: Any, answer: Any, contract: Any, code: str, date: str) -> pl.DataFrame:
    source = TickSource(lambda: _source_name(ticker.api, contract, code, date), source_rows_of(answer))
    frame = frame_from_ticks(answer, ticker.tick_df_schema, source)
    refuse_bad_prices(frame, source)
    return frame


def _day_of(text: Any) -> dt.date:
    moment = utils.format_to_dt(text)
    return dt.date(moment.year, moment.month, moment.day)


def fetch_history(ticker: Any, code: Any, product_type: Any, start_from: Any, end_to: Any) -> pl.DataFrame:
    """The ticks of `code` over the days of the range from the broker; each past day is written to the cache."""
    api = ticker.api
    if not api:
        raise NotLoggedInError(NOT_LOGGED_IN)
    code_text = _text(code, "code")
    _native._check_path_component(code_text)
    loud = not console_quiet()
    simulated = simulated_source(api)
    today = exchange_now().date()
    day, last = _day_of(start_from), _day_of(end_to)
    frames = [empty_frame(ticker.tick_df_schema)]
    if day <= last:
        contract = ticker._Ticker__make_kest_contract_object(code, product_type)
        folder = cache_folder(api)
    while day <= last:
        date = day.strftime("%Y-%m-%d")
        # Taken before the data is read: a change during the read leaves a stale stamp, not stale ticks.
        stamp = source_stamp(api, contract, date)
        tick_df = _day_frame(ticker, _day_answer(api, contract, date), contract, code_text, date)
        if tick_df.height > 0:
            frames.append(tick_df)
        if day < today and keeps_cache(api):
            # A cache that cannot be written costs the next run a download, not this run its ticks.
            try:
                path = generate_save_path(ticker._Ticker__tick_filename_formatter(code_text, date), *folder)
                if deferring():
                    writer.submit(CacheJob(tick_df, stamp, path, code_text, date))
                else:
                    write_cache_day(tick_df, path, stamp)
                if loud:
                    say(f"[green]產生模擬 Tick 資料 {code_text} {date} 成功, 儲存於 {path}[/green]" if simulated
                        else f"[green]下載 {code_text} {date} 的 Tick 資料成功, 儲存於 {path}[/green]")
            except Exception as e:
                if loud:
                    say(f"[red]無法寫入 {code_text} {date} 的 Tick 快取, 錯誤訊息: {e}[/red]")
        day += dt.timedelta(days=1)
    return frames[0] if len(frames) == 1 else pl.concat(frames, how="vertical")


def lead_in_ticks(ticker: Any, code: Any, product_type: Any, date: str, since_ns: int) -> pl.DataFrame:
    """The ticks of `date` from `since_ns` on, straight from a broker that serves frames; never cached (the cache
    holds whole days)."""
    api = ticker.api
    if not api:
        raise NotLoggedInError(NOT_LOGGED_IN)
    code_text = _text(code, "code")
    contract = ticker._Ticker__make_kest_contract_object(code, product_type)
    return with_code(_day_frame(ticker, _day_answer(api, contract, date, since_ns), contract, code_text, date), code)


def announce_days(ticker: Any, code: Any, product_type: Any, dates: list[str]) -> None:
    """Tells a broker that answers `prepare_days` which of `dates` are about to be fetched (not cached), so it can
    read them together."""
    prepare = getattr(ticker.api, "prepare_days", None)
    if prepare is None:
        return
    uncached = [date for date in dates if not os.path.exists(cache_file_path(ticker, code, date))]
    if not uncached:
        return
    try:
        prepare(contract=ticker._Ticker__make_kest_contract_object(code, product_type), dates=uncached)
    except Exception:
        # A hint only: the days are still asked one by one, and any error is reported there.
        return


def fetches_natively(ticker_class: type) -> bool:
    """Whether the class's per-day fetch is the compiled Ticker's, which only forwards to `auto_fetch`: callers on a
    reading thread then call `auto_fetch` themselves, so a broker call that interpreter exit ends has no compiled frame
    under it to unwind."""
    from vorn_kest_backtest.modules.ticker.ticker import Ticker  # the Ticker's module imports this one

    return getattr(ticker_class, "_Ticker__auto_fetch_ticks", None) is Ticker._Ticker__auto_fetch_ticks


def auto_fetch(ticker: Any, code: Any, product_type: Any, date: Any) -> pl.DataFrame:
    """One code's day from the cache when its file is there and current, else from the broker (and cached)."""
    api = ticker.api
    path = cache_file_path(ticker, code, date)
    loud = not console_quiet()
    if not keeps_cache(api):
        return with_code(fetch_history(ticker, code, product_type, date, date), code)
    # A day another reader is fetching or an earlier run read is written behind it: its file is complete once that
    # write is done, and this reader takes it from there rather than asking the source again.
    with writer.reading(path):
        present = os.path.exists(path)
        if present and not os.path.isfile(path):
            raise ValueError(f"Tick 快取路徑不是檔案, 請移除後重試: {path}")
        current = present and (not hasattr(api, "tick_source_stamp") or stamp_matches(path, source_stamp(
            api, ticker._Ticker__make_kest_contract_object(code, product_type), _text(date, "date"))))
        if current:
            if loud:
                say(f"[green]檔案 {path} 已存在, 開始讀取檔案...[/green]")
            frame = read_tick_csv(path, ticker.tick_df_schema, take_read_ahead(path))
        else:
            if loud:
                say(f"[red]檔案 {path} 的來源資料已變更, 重新讀取歷史 Tick 資料...[/red]" if present
                    else f"[red]檔案 {path} 不存在, 開始產生模擬 Tick 資料...[/red]" if simulated_source(api)
                    else f"[red]檔案 {path} 不存在, 開始下載歷史 Tick 資料...[/red]")
            frame = fetch_history(ticker, code, product_type, date, date)
        return with_code(frame, code)
