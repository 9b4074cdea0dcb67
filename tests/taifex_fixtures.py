"""Builds folders of the futures exchange's daily tick files, byte for byte in the published format."""

from __future__ import annotations

import io
import zipfile
from datetime import date, timedelta
from pathlib import Path

HEADER = "成交日期,商品代號,到期月份(週別),成交時間,成交價格,成交數量(B+S),近月價格,遠月價格,開盤集合競價"


def row(day: str, product: str, expiry: str, time: str, price, sides: int, near="-", far="-", auction="") -> str:
    """One line as the exchange pads it: `20251231,TX     ,202601     ,084530,23150,2,-,-,`."""
    return f"{day},{product:<7},{expiry:<11},{time},{price},{sides},{near},{far},{auction}"


def daily_text(rows: list[str], header: str = HEADER) -> bytes:
    return ("\r\n".join([header, *rows]) + "\r\n").encode("cp950")


def write_daily(folder: Path, trading_day: date, rows: list[str], kind: str = "zip", header: str = HEADER) -> Path:
    """Writes "Daily_YYYY_MM_DD.zip" (one CSV inside) or the bare ".csv"."""
    stem = f"Daily_{trading_day:%Y_%m_%d}"
    data = daily_text(rows, header)
    if kind == "csv":
        path = folder / f"{stem}.csv"
        path.write_bytes(data)
        return path
    path = folder / f"{stem}.zip"
    path.write_bytes(zipped(f"{stem}.csv", data))
    return path


def zipped(name: str, data: bytes) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(name, data)
    return buffer.getvalue()


def ymd(day: date) -> str:
    return f"{day:%Y%m%d}"


def session_rows(trading_day: date, previous: date, months: list[str], base: float) -> list[str]:
    """A file of `trading_day`: the night session opened on `previous`, then its own day session.

    Each monthly contract gets distinct prices (base + 100 * its rank) so a test can tell which one was served;
    weekly contracts and calendar spreads trade beside them.
    """
    after_midnight = ymd(previous + timedelta(days=1))
    lines = []
    for rank, month in enumerate(months):
        price = base + 100 * rank
        lines += [
            row(ymd(previous), "TX", month, "150000", price, 4, auction="*"),
            row(ymd(previous), "TX", month, "235959", price + 1, 2),
            row(after_midnight, "TX", month, "000001", price + 2, 6),
            row(after_midnight, "TX", month, "045959", price + 3, 2),
            row(ymd(trading_day), "TX", month, "084500", price + 4, 10, auction="*"),
            row(ymd(trading_day), "TX", month, "0930001234", price + 5, 8),
            row(ymd(trading_day), "TX", month, "134500", price + 6, 2),
            row(ymd(trading_day), "MTX", month, "090000", price + 7, 2),
        ]
    lines += [
        row(ymd(trading_day), "TX", f"{months[0][:6]}W4", "090000", base - 50, 2),
        row(ymd(trading_day), "TX", f"{months[0]}/{months[1]}", "090000", 30, 4, base, base + 30),
        row(ymd(previous), "TX", f"{months[0]}/{months[1]}", "160000", 31, 2, base, base + 31),
    ]
    return lines


# Trading days around the roll of the January 2026 contract (last trading day Wednesday 2026-01-21).
ROLL_FILES = {
    date(2026, 1, 20): (date(2026, 1, 19), ["202601", "202602", "202603"], 23000.0),
    date(2026, 1, 21): (date(2026, 1, 20), ["202601", "202602", "202603"], 23100.0),
    date(2026, 1, 22): (date(2026, 1, 21), ["202602", "202603"], 23200.0),
    date(2026, 1, 23): (date(2026, 1, 22), ["202602", "202603"], 23300.0),
    date(2026, 1, 26): (date(2026, 1, 23), ["202602", "202603"], 23400.0),
}


def roll_folder(folder: Path, kinds: dict[date, str] | None = None) -> Path:
    """The five files of ROLL_FILES, zipped unless `kinds` says "csv" for a day."""
    folder.mkdir(parents=True, exist_ok=True)
    for trading_day, (previous, months, base) in ROLL_FILES.items():
        write_daily(folder, trading_day, session_rows(trading_day, previous, months, base),
                    (kinds or {}).get(trading_day, "zip"))
    return folder


def stock_day(folder: Path, code: str, day: date, times: list[str], price: float = 1000.0) -> Path:
    """A file-broker stock day beside the daily files, `times` as "HH:MM:SS"."""
    target = folder / code / f"{day.isoformat()}.csv"
    target.parent.mkdir(parents=True, exist_ok=True)
    lines = ["ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type"]
    lines += [f"{day.isoformat()} {t},{price},1,{price - 1},1,{price},1,1" for t in times]
    target.write_text("\n".join(lines) + "\n")
    return target
