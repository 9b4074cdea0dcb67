"""Console, logger and small helpers shared by the extension module."""

from __future__ import annotations

import logging
import os
import sys
import time
from datetime import date, datetime
from typing import TYPE_CHECKING

from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.modules.market.market import wall_ns_to_epoch_seconds as format_nano_ts_to_second_ts

if TYPE_CHECKING:
    from rich.console import Console

# Made on first use (see __getattr__): loading rich was the largest part of the start-up of a
# command that never prints through it, such as `--help`. Once made, or replaced, it is a plain
# module attribute.
console: Console


# Output to a file or a pipe has no screen width: lines there are never wrapped, so a path stays one piece
# that can be copied or searched; tables take the width their cells need, up to this many columns.
PIPE_WIDTH = 1000


def _console_settings() -> dict[str, object]:
    stream = sys.stdout
    if "COLUMNS" in os.environ or (stream is not None and stream.isatty()):
        return {}
    return {"width": PIPE_WIDTH, "soft_wrap": True}


def _console() -> Console:
    made = globals().get("console")
    if made is None:
        from rich.console import Console

        made = globals()["console"] = Console(**_console_settings())  # type: ignore[arg-type]
    return made


def __getattr__(name: str) -> object:
    if name == "console":
        return _console()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


_DT_FORMATS = ("%Y-%m-%d %H:%M:%S.%f", "%Y-%m-%d %H:%M:%S", "%Y-%m-%d")


def make_dir(path: str | os.PathLike[str]) -> str:
    """建立資料夾 (含上層), 已存在時不報錯; 回傳路徑."""
    os.makedirs(path, exist_ok=True)
    return str(path)


class _RaisingFileHandler(logging.FileHandler):
    """Leaves a failed write to the handler around it, which reports it once."""

    def handleError(self, record: logging.LogRecord) -> None:
        raise


class _DataDirFileHandler(logging.Handler):
    """Writes to <data_dir>/logs/vorn_kest_backtest.log, following BASIC_INFO.data_dir changes."""

    def __init__(self) -> None:
        super().__init__()
        self._path: str | None = None
        self._inner: _RaisingFileHandler | None = None
        self._failed_path: str | None = None

    def emit(self, record: logging.LogRecord) -> None:
        path = os.path.join(BASIC_INFO.data_dir, "logs", "vorn_kest_backtest.log")
        try:
            if path != self._path:
                if self._inner is not None:
                    self._inner.close()
                make_dir(os.path.dirname(path))
                self._inner = _RaisingFileHandler(path, encoding="utf-8", delay=True)
                self._inner.setFormatter(self.formatter)
                self._path = path
            if self._inner is not None:
                self._inner.emit(record)
        except Exception as error:
            # One line per log file that cannot be written, not a traceback per record.
            if path != self._failed_path:
                self._failed_path = path
                _console().print(f"[red]無法寫入記錄檔 {path}, 錯誤訊息: {error}[/red]")

    def close(self) -> None:
        if self._inner is not None:
            self._inner.close()
        super().close()


def _exchange_clock(seconds: float | None) -> time.struct_time:
    """Log times on the exchange's clock, the one run folders and trade records are named by."""
    return time.gmtime((time.time() if seconds is None else seconds) + BASIC_INFO.utc_offset_hours * 3600)


def _make_logger() -> logging.Logger:
    log = logging.getLogger("vorn_kest_backtest")
    log.setLevel(logging.INFO)
    log.propagate = False
    if not log.handlers:
        handler = _DataDirFileHandler()
        formatter = logging.Formatter("%(asctime)s %(levelname)s %(message)s")
        formatter.converter = _exchange_clock
        handler.setFormatter(formatter)
        log.addHandler(handler)
    return log


logger = _make_logger()


def format_to_dt(value: str | date | datetime) -> datetime:
    """將文字或日期轉為 datetime.

    >>> format_to_dt("2024-01-02")
    datetime.datetime(2024, 1, 2, 0, 0)
    """
    if isinstance(value, datetime):
        return value
    if isinstance(value, date):
        return datetime(value.year, value.month, value.day)
    if isinstance(value, str):
        for fmt in _DT_FORMATS:
            try:
                return datetime.strptime(value, fmt)
            except ValueError:
                continue
    raise ValueError(f"無法解析的日期時間: {value!r}")


__all__ = ["console", "logger", "make_dir", "format_to_dt", "format_nano_ts_to_second_ts"]
