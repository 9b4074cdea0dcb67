"""The per-day tick cache: where a day's file lies, whether it is current (its source stamp), reading it back
and writing it whole."""

from __future__ import annotations

import itertools
import os
import re
import socket
import threading
from collections.abc import Iterable
from typing import Any

import polars as pl

from vorn_kest_backtest._core import ticker as _native
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.ticks.frames import QUOTE_COLUMNS, TRADE_PRICE_RULE, first_bad_price, first_bad_row

_temp_counter = itertools.count()
# Cache files read ahead by the combine running on this thread, by path.
_read_ahead = threading.local()


def cache_folder(api: Any) -> tuple[str, ...]:
    """Cache folder of the broker's ticks below the data directory. The default broker and an SDK object without
    `tick_source_id` keep kest/ticks; any other source gets a folder of its own."""
    source_id = getattr(api, "tick_source_id", None)
    if source_id is None:
        return ("kest", "ticks")
    if not isinstance(source_id, str):
        raise TypeError(f"tick_source_id 必須是文字或 None: {source_id!r}")
    return ("kest", "sources", _native._tick_source_folder(source_id))


def keeps_cache(api: Any) -> bool:
    """A broker whose `tick_cache` is false (ticks the caller already holds in memory) is read every time and
    leaves nothing in the data folder."""
    return bool(getattr(api, "tick_cache", True))


def cache_file_path(ticker: Any, code: Any, date: Any) -> str:
    name = ticker._Ticker__tick_filename_formatter(code, date)
    # Joined, not created: a read-only data folder must not fail a day that is only read or downloaded.
    return os.path.join(BASIC_INFO.data_dir, *cache_folder(ticker.api), name)


def source_stamp(api: Any, contract: Any, date: str) -> str | None:
    """The broker's text for the present state of one day's source data; none when it keeps none."""
    stamp_of = getattr(api, "tick_source_stamp", None)
    if stamp_of is None:
        return None
    stamp = stamp_of(contract, date)
    if not isinstance(stamp, str):
        raise TypeError(f"tick_source_stamp 必須回傳文字: {stamp!r}")
    return stamp


def stamp_path(cache_path: str) -> str:
    """Beside each cache file of a stamped source: the stamp of the data it was made from."""
    return cache_path + ".source"


def stamp_matches(cache_path: str, stamp: str | None) -> bool:
    if stamp is None:
        return True
    try:
        with open(stamp_path(cache_path), "rb") as kept:
            return kept.read() == stamp.encode()
    except OSError:
        return False


def is_whole_cache_file(path: str) -> bool:
    """Every file the cache writes ends its last line; anything else was cut off while written."""
    with open(path, "rb") as f:
        size = f.seek(0, os.SEEK_END)
        if size == 0:
            return False
        f.seek(size - 1)
        return f.read(1) == b"\n"


def read_tick_csv(path: str, schema: pl.Schema, frame: pl.DataFrame | None = None) -> pl.DataFrame:
    """A cache file read back (or checked, when `frame` holds it already read); an empty, truncated or blank-field
    file, or one with a bad close (left by an older version), raises ValueError naming the file and line."""
    if not is_whole_cache_file(path):
        raise ValueError(f"Tick 快取檔損毀 (最後一行不完整): {path}")
    if frame is None:
        try:
            frame = pl.read_csv(path, schema=schema)
        except Exception as e:
            raise ValueError(f"Tick 快取檔無法讀取: {path}: {e}") from e
    for name in schema.names():
        if name in QUOTE_COLUMNS:
            continue
        row = first_bad_row(frame[name])
        if row is not None:
            raise ValueError(f"Tick 快取檔損毀: {path} 第 {row + 2} 行, 欄位 {name} 空白或無法解析")
    bad = first_bad_price(frame)
    if bad is not None:
        raise ValueError(f"Tick 快取檔 {path} 第 {bad[0] + 2} 行: {TRADE_PRICE_RULE}, 實際為 {bad[1]!r}"
                         " (舊版留下的快取, 請刪除此檔後重新下載)")
    return frame


def read_ahead(ticker: Any, code: Any, product_type: Any, dates: Iterable[str]) -> None:
    """Reads the current cache files of `dates` together (polars reads them side by side) for this thread's
    combine, which takes them from `take_read_ahead`."""
    api = ticker.api
    # A source that keeps no cache has no files to read ahead.
    if not keeps_cache(api):
        return
    paths: list[str] = []
    scans = []
    try:
        stamped = hasattr(api, "tick_source_stamp")
        contract = None
        for date in dates:
            path = cache_file_path(ticker, code, date)
            if not os.path.isfile(path) or not is_whole_cache_file(path):
                continue
            if stamped:
                if contract is None:
                    contract = ticker._Ticker__make_kest_contract_object(code, product_type)
                if not stamp_matches(path, source_stamp(api, contract, date)):
                    continue
            scans.append(pl.scan_csv(path, schema=ticker.tick_df_schema))
            paths.append(path)
        if len(paths) < 2:
            return
        _read_ahead_days().update(zip(paths, pl.collect_all(scans), strict=True))
    except Exception:
        # Reading ahead only saves time: each day is then read alone, and a bad file names itself there.
        return


def _read_ahead_days() -> dict[str, pl.DataFrame]:
    days = getattr(_read_ahead, "days", None)
    if days is None:
        days = _read_ahead.days = {}
    return days


def take_read_ahead(path: str) -> pl.DataFrame | None:
    return _read_ahead_days().pop(path, None)


def forget_read_ahead() -> None:
    _read_ahead_days().clear()


def temp_path_beside(path: str) -> str:
    """A temporary name beside `path`, unique to this host, process and call: workers on several machines sharing
    one cache folder never write into the same temporary file."""
    host = re.sub(r"[^A-Za-z0-9-]", "_", socket.gethostname())
    return f"{path}.tmp-{host}-{os.getpid()}-{next(_temp_counter)}"


def _replace_atomically(path: str, write: Any) -> None:
    """Temporary file in the same folder, then rename: a crash never leaves a truncated file behind, and of two
    workers filling the same day the later rename wins with a whole file."""
    temp = temp_path_beside(path)
    try:
        write(temp)
        os.replace(temp, path)
    except BaseException:
        try:
            os.remove(temp)
        except OSError:
            pass
        raise


def _write_text(path: str, text: str) -> None:
    with open(path, "wb") as out:
        out.write(text.encode())


def write_cache_day(frame: pl.DataFrame, path: str, stamp: str | None) -> None:
    """The day's CSV, then its stamp (none: the source keeps none): a crash in between leaves an old stamp, so the
    day is read again."""
    _replace_atomically(path, frame.write_csv)
    if stamp is not None:
        _replace_atomically(stamp_path(path), lambda temp: _write_text(temp, stamp))
