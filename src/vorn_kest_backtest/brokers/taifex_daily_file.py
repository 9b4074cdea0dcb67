"""One daily futures tick file of the exchange ("Daily_YYYY_MM_DD.zip", or the CSV / .rpt it holds), as a frame.

The file of trading day s holds the night session that opened on the evening of the previous trading day and the day
session of s, every row dated with its calendar date. Parsed rows keep only outright trades (calendar spreads,
whose expiry holds a "/", are not prints of either leg) in these columns:

- `date` Date: the row's calendar date (成交日期);
- `ts` Int64: exchange wall clock written as if it were UTC, in nanoseconds (as the toolkit's ticks carry it);
- `product` String (商品代號), `expiry` String (到期月份(週別), "YYYYMM" or "YYYYMMW<n>");
- `price` Float64; `volume` Int64: contracts traded, half of 成交數量(B+S), which counts both sides;
- `auction` Boolean: the opening-auction print (開盤集合競價 "*").
"""

from __future__ import annotations

import io
import re
import zipfile
import zlib
from datetime import date

import polars as pl

from vorn_kest_backtest.modules.market.market import FUTURES_DAY_SESSION_SECONDS

ENCODING = "cp950"
HEADER = (
    "成交日期", "商品代號", "到期月份(週別)", "成交時間", "成交價格", "成交數量(B+S)",
    "近月價格", "遠月價格", "開盤集合競價",
)
# Older years have no opening-auction column.
HEADERS = (HEADER, HEADER[:-1])
RAW_COLUMNS = ("date", "product", "expiry", "time", "price", "volume", "near_price", "far_price", "auction")
DAILY_NAME = re.compile(r"^Daily_(?P<y>\d{4})_(?P<m>\d{2})_(?P<d>\d{2})\.(?P<ext>zip|csv|rpt)$", re.IGNORECASE)
ROW_SCHEMA = {
    "date": pl.Date,
    "ts": pl.Int64,
    "product": pl.String,
    "expiry": pl.String,
    "price": pl.Float64,
    "volume": pl.Int64,
    "auction": pl.Boolean,
}
NS_PER_SECOND = 1_000_000_000
_EPOCH = date(1970, 1, 1)


def trading_day_of(name: str) -> date | None:
    """The trading day a daily file's name stands for, None for other names."""
    match = DAILY_NAME.match(name)
    if match is None:
        return None
    try:
        return date(int(match["y"]), int(match["m"]), int(match["d"]))
    except ValueError:
        return None


def read_daily_file(path: str) -> pl.DataFrame:
    """The outright trades of one daily file; ValueError naming the file and what is wrong with it."""
    raw = _csv_bytes(path)
    if _looks_like_html(raw):
        raise ValueError(f"期交所每日行情檔 {path} 是 HTML 網頁, 不是行情資料 (該日可能沒有交易或下載失敗)")
    header_line, _, body = raw.partition(b"\n")
    try:
        header = tuple(field.strip() for field in header_line.decode(ENCODING).strip("\r\ufeff").split(","))
    except UnicodeDecodeError as error:
        raise ValueError(f"期交所每日行情檔 {path} 的標題列不是 CP950 編碼: {error}") from None
    if header not in HEADERS:
        raise ValueError(f"期交所每日行情檔 {path} 的標題列不符: {','.join(header)!r}")
    # Rows are plain ASCII in a sound file; checking that is far cheaper than decoding them.
    if not body.isascii():
        try:
            body = body.decode(ENCODING).encode("utf-8")
        except UnicodeDecodeError as error:
            raise ValueError(f"期交所每日行情檔 {path} 含有無法以 CP950 解碼的資料: {error}") from None
    return _parse_rows(path, body, len(header))


def _csv_bytes(path: str) -> bytes:
    try:
        with open(path, "rb") as stream:
            raw = stream.read()
    except OSError as error:
        raise ValueError(f"無法讀取期交所每日行情檔 {path}: {error}") from None
    if not path.lower().endswith(".zip") or _looks_like_html(raw):
        return raw
    try:
        with zipfile.ZipFile(io.BytesIO(raw)) as archive:
            members = [info for info in archive.infolist() if not info.is_dir()]
            if len(members) != 1:
                names = [info.filename for info in members]
                raise ValueError(f"期交所每日行情壓縮檔 {path} 應只含一個 CSV 檔, 實際內容: {names!r}")
            return archive.read(members[0])
    except (zipfile.BadZipFile, zlib.error, EOFError) as error:
        raise ValueError(f"期交所每日行情壓縮檔 {path} 已損毀或不完整: {error}") from None


def _looks_like_html(raw: bytes) -> bool:
    head = raw[:512].lstrip().lower()
    return head.startswith(b"<") or b"<html" in head


def _parse_rows(path: str, body: bytes, width: int) -> pl.DataFrame:
    if not body.strip():
        return pl.DataFrame(schema=ROW_SCHEMA)
    try:
        frame = pl.read_csv(
            body,
            has_header=False,
            new_columns=list(RAW_COLUMNS[:width]),
            schema_overrides=dict.fromkeys(RAW_COLUMNS[:width], pl.String),
        )
    except Exception as error:
        raise ValueError(f"期交所每日行情檔 {path} 的資料列無法解析: {error}") from None
    # Line numbers of the file (its header is line 1), for naming a bad row.
    frame = (
        frame.with_row_index("line", offset=2)
        .with_columns(pl.col("product", "expiry", "time").str.strip_chars())
        .filter(~pl.col("expiry").str.contains("/", literal=True))
    )
    if width < len(RAW_COLUMNS):
        frame = frame.with_columns(pl.lit("").alias("auction"))
    time = pl.col("time")
    clock = time.str.slice(0, 6).cast(pl.Int64, strict=False)
    typed = frame.select(
        pl.col("date").str.strip_chars().str.to_date("%Y%m%d", strict=False),
        (clock // 10_000).alias("h"),
        (clock // 100 % 100).alias("m"),
        (clock % 100).alias("s"),
        # Newer files carry a fraction of a second after HHMMSS; its digits are read as a decimal fraction.
        time.str.slice(6, 9).str.pad_end(9, "0").cast(pl.Int64, strict=False).alias("fraction_ns"),
        time.str.len_bytes().alias("time_width"),
        pl.col("product"),
        pl.col("expiry"),
        pl.col("price").str.strip_chars().cast(pl.Float64, strict=False),
        pl.col("volume").str.strip_chars().cast(pl.Int64, strict=False).alias("sides"),
        (pl.col("auction").str.strip_chars() == "*").fill_null(False).alias("auction"),
        pl.col("line"),
    )
    _refuse_bad_values(path, frame, typed)
    return typed.select(
        "date",
        (
            (pl.col("date").cast(pl.Int64) * 86_400 + pl.col("h") * 3600 + pl.col("m") * 60 + pl.col("s"))
            * NS_PER_SECOND
            + pl.col("fraction_ns")
        ).alias("ts"),
        "product",
        "expiry",
        "price",
        (pl.col("sides") // 2).alias("volume"),
        "auction",
    )


BAD_VALUE_CHECKS = {
    "date": pl.col("date").is_null(),
    "time": (
        pl.col("h").is_null()
        | pl.col("fraction_ns").is_null()
        | ~pl.col("time_width").is_between(6, 15)
        | (pl.col("h") > 23)
        | (pl.col("m") > 59)
        | (pl.col("s") > 59)
    ),
    "product": pl.col("product").is_null() | (pl.col("product") == ""),
    "price": pl.col("price").is_null() | ~pl.col("price").is_finite() | (pl.col("price") <= 0),
    "volume": pl.col("sides").is_null() | (pl.col("sides") <= 0) | (pl.col("sides") % 2 != 0),
}
LABELS = {
    "date": "成交日期",
    "time": "成交時間",
    "product": "商品代號",
    "expiry": "到期月份(週別)",
    "price": "成交價格",
    "volume": "成交數量(B+S)",
}
EXPIRY = re.compile(r"^\d{6}(W\d)?$")


def _refuse_bad_values(path: str, raw: pl.DataFrame, typed: pl.DataFrame) -> None:
    flags = typed.select(**{name: check.any() for name, check in BAD_VALUE_CHECKS.items()}).row(0, named=True)
    bad_expiries = [value for value in typed["expiry"].unique().to_list() if not EXPIRY.match(value or "")]
    for name in LABELS:
        if name == "expiry" and bad_expiries:
            raise ValueError(f"期交所每日行情檔 {path} 欄位 {LABELS[name]} 的值無法解析: {bad_expiries[0]!r}")
        if flags.get(name):
            row = int(typed.select(BAD_VALUE_CHECKS[name].arg_max()).item())
            where = f"期交所每日行情檔 {path} 第 {typed['line'][row]} 行"
            raise ValueError(f"{where} 欄位 {LABELS[name]} 的值無法解析: {raw[name][row]!r}")


def day_session_present(frame: pl.DataFrame, trading_day: date) -> bool:
    """Whether the file of `trading_day` holds its day session: a file fetched earlier holds only the night."""
    start = ((trading_day - _EPOCH).days * 86_400 + FUTURES_DAY_SESSION_SECONDS[0]) * NS_PER_SECOND
    return frame.height > 0 and bool((frame["ts"] >= start).any())
