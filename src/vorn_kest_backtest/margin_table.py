"""期貨原始保證金表: CSV 檔 (欄位 family, effective_date, initial_margin) 讀成帳本使用的列.

每列自生效日 (交易日, "%Y-%m-%d") 起適用, 直到同一商品族的下一列. 套件內的表在
static/futures_margins.csv; 使用者可用相同欄位的檔案換掉它 (`run_backtest(..., margins=PATH)`,
命令列 `--margins FILE`, 或 `positions.ledger.load_margins(read_margin_table(PATH))`).
"""

from __future__ import annotations

import csv
import math
from datetime import date, datetime
from functools import cache
from pathlib import Path

from vorn_kest_backtest import utils

MarginRow = tuple[str, date, float]

COLUMNS = ("family", "effective_date", "initial_margin")
PACKAGE_MARGINS = Path(__file__).resolve().parent / "static" / "futures_margins.csv"


def _row_error(path: str | Path, line: int, what: str, value: str) -> ValueError:
    return ValueError(f"保證金表 {path} 第 {line} 列{what}: {value!r}")


def read_margin_table(path: str | Path) -> list[MarginRow]:
    """讀取保證金表並檢查每一列; 缺欄位, 日期無法解讀, 保證金不是 0 以上的數字時引發 ValueError
    (指出檔案, 列號與該值). 列號為檔案中的行號 (標題為第 1 列)."""
    with open(path, encoding="utf-8-sig", newline="") as file:
        reader = csv.DictReader(file)
        missing = [name for name in COLUMNS if name not in (reader.fieldnames or ())]
        if missing:
            raise ValueError(f"保證金表 {path} 缺少欄位: {', '.join(missing)}")
        rows: list[MarginRow] = []
        for line, record in enumerate(reader, start=2):
            family = (record["family"] or "").strip()
            if not family:
                raise _row_error(path, line, "的商品族是空的", record["family"] or "")
            text = (record["effective_date"] or "").strip()
            try:
                effective = datetime.strptime(text, "%Y-%m-%d").date()
            except ValueError:
                raise _row_error(path, line, "的生效日不是 %Y-%m-%d 日期", text) from None
            amount = (record["initial_margin"] or "").strip()
            try:
                margin = float(amount)
            except ValueError:
                raise _row_error(path, line, "的保證金不是數字", amount) from None
            if not math.isfinite(margin) or margin < 0:
                raise _row_error(path, line, "的保證金必須是 0 以上的有限數字", amount)
            rows.append((family, effective, margin))
    return rows


@cache
def package_margin_rows() -> tuple[MarginRow, ...]:
    """套件內保證金表的列 (讀一次)."""
    return tuple(read_margin_table(PACKAGE_MARGINS))


def announce_early_dates(notices: list[tuple[str, date]]) -> None:
    """帳本以商品族最早的一列計算更早交易日的保證金時, 每個商品族提示一次 (商品族, 該列生效日)."""
    for family, first in notices:
        utils.console.print(f"[yellow]保證金表中 {family} 最早的一列生效於 {first.isoformat()}, "
                            "更早的交易日以該列的原始保證金計算[/yellow]")
