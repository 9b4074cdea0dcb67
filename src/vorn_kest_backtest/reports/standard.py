"""基本回測報告: K 線 (長期間改用較粗的 K 棒, 每個交易日的 1 分 K 另存於報告旁的資料夾), 進出場點, 權益曲線,
損益明細, 手續費設定與帳戶資訊."""

from __future__ import annotations

import os
import shutil
from datetime import datetime
from importlib.util import find_spec
from pathlib import Path
from typing import Any

import numpy as np
import polars as pl

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.modules.market.market import BROKER_FEE_RATES, exchange_datetime
from vorn_kest_backtest.reports.exchange_time import DT_FORMAT, format_exchange_dt
from vorn_kest_backtest.reports.minute_days import minute_folder, remove_minute_days, write_minute_days
from vorn_kest_backtest.reports.profit_rows import format_profit_rows, trade_points
from vorn_kest_backtest.reports.save_path import output_path
from vorn_kest_backtest.reports.templating import script_safe, template_env, to_script_json

REPORT_FOLDER = "report"
SHARED_FOLDER = "static"


def percent_text(rate: float) -> str:
    """0.0125 -> "1.25%": a rate as the broker's price list writes it."""
    return f"{rate * 100:.6f}".rstrip("0").rstrip(".") + "%"

def plotly_js() -> Path:
    # Located without importing plotly, which is slow to load and not needed to copy one file.
    found = find_spec("plotly")
    if found is None or found.origin is None:
        raise FileNotFoundError("找不到 plotly 套件, 無法產生回測報告")
    return Path(found.origin).resolve().parent / "package_data" / "plotly.min.js"


# Up to this many 1-minute bars (a few weeks of a futures code's day and night sessions) the chart draws them all;
# beyond, the first coarser bar that keeps the candles under MAX_CANDLES (one a calendar day when none does), so a
# long run's page stays small and fluid.
MAX_MINUTE_BARS = 20_000
MAX_CANDLES = 6_000
COARSER_MINUTES = (5, 15, 60)
DAY_MINUTES = 1440
OHLCV = ("Open", "High", "Low", "Close", "Volume")
DAY_FORMAT = "%Y-%m-%d"


def report_file(code: str) -> str:
    return code + "-report.html"


def _bar_rows(bars: pl.DataFrame) -> str:
    """Bars as JSON rows, `dt` as text under the name `time`."""
    if bars.height == 0:
        return "[]"
    # polars writes the rows natively; a Python loop over tens of thousands of dicts is the slow part otherwise.
    return script_safe(bars.with_columns(pl.col("dt").dt.strftime(DT_FORMAT)).rename({"dt": "time"}).write_json())


def minute_kbars(quote_manager, code: str) -> pl.DataFrame:
    return quote_manager.get_kbar(code, unit="m", freq=1).sort("dt")


def chart_bars(minute: pl.DataFrame) -> tuple[pl.DataFrame, int]:
    """The bars the chart draws and their length in minutes (DAY_MINUTES: one per calendar day)."""
    if minute.height <= MAX_MINUTE_BARS:
        return minute, 1
    for minutes in (*COARSER_MINUTES, DAY_MINUTES):
        every = "1d" if minutes == DAY_MINUTES else f"{minutes}m"
        bars = minute.group_by_dynamic("dt", every=every).agg(
            pl.col("code").first(), pl.col("Open").first(), pl.col("High").max(), pl.col("Low").min(),
            pl.col("Close").last(), pl.col("Volume").sum())
        if bars.height <= MAX_CANDLES:
            break
    return bars.select(["dt", "code", *OHLCV]), minutes


def kbar_json(quote_manager, code: str) -> str:
    """The chart's bars as JSON rows (1-minute ones for a short range)."""
    return _bar_rows(chart_bars(minute_kbars(quote_manager, code))[0])


def day_list(minute: pl.DataFrame) -> list[str]:
    """The calendar days with 1-minute bars, in date order."""
    return minute["dt"].dt.strftime(DAY_FORMAT).unique(maintain_order=True).to_list()


def thinned_samples(samples, bars: pl.DataFrame, minutes: int) -> list:
    """The last (epoch, equity) sample within each drawn bar: the chart's step line is unchanged at its scale."""
    if minutes == 1 or not len(samples) or bars.height == 0:
        return list(samples)
    # Exchange wall clock in microseconds, as the bars are stamped; the offset is the market module's clock.
    offset = (exchange_datetime(0.0) - datetime(1970, 1, 1)).total_seconds()
    stamps = np.asarray(samples, dtype=np.float64).reshape(-1, 2)[:, 0]
    walls = ((stamps + offset) * 1e6).astype("datetime64[us]")
    starts = bars["dt"].cast(pl.Datetime("us")).to_numpy()
    slot = np.searchsorted(starts, walls, side="right")
    keep = np.sort(len(slot) - 1 - np.unique(slot[::-1], return_index=True)[1])
    return [samples[int(i)] for i in keep]


def equity_json(samples) -> str:
    """(epoch seconds, equity) samples as JSON rows {"time": exchange text, "equity": value}."""
    return to_script_json([{"time": format_exchange_dt(stamp), "equity": value} for stamp, value in samples])


def build_standard_context(positions, code: str, quote_manager, folder: str | None = None,
                           equity=None, realised=None, figures=None, open_positions=None,
                           data_label: str = "", minute: pl.DataFrame | None = None) -> dict[str, Any]:
    """minute: the code's 1-minute bars when the caller has them already (else asked of quote_manager);
    equity: the run's marked-to-market samples; realised: its closed-trade curve (both (epoch, equity));
    figures: the run's summary as shown on the console (rows with `label`, `text`, `sign`);
    open_positions: the ledger's positions still open at the end (this code's are shown; None: no such section);
    data_label: "模擬資料" when the replayed ticks were made up, shown in the title and a banner."""
    rows = format_profit_rows(positions.get_profit_rows_by_code(code))
    points = trade_points(rows)
    if minute is None:
        minute = minute_kbars(quote_manager, code)
    bars, bar_minutes = chart_bars(minute)
    return {
        "code": code,
        "data_label": data_label,
        "kbar_df": _bar_rows(bars),
        "bar_minutes": bar_minutes,
        # A long run's days, each with a file of its 1-minute bars in the folder beside the page.
        "minute_days": [] if bar_minutes == 1 else day_list(minute),
        "minute_folder": os.path.basename(minute_folder(report_file(code))),
        "profit_rows": rows,
        "profit_rows_json": to_script_json(rows),
        "trade_points": points,
        "trade_points_json": to_script_json(points),
        "include_profit_rows": True,
        "figures": list(figures or []),
        "equity_json": equity_json(thinned_samples(equity or [], bars, bar_minutes)),
        "realised_json": equity_json(realised or []),
        "open_positions": None if open_positions is None else [p for p in open_positions if p["code"] == code],
        "fee_settings": positions.fee_settings(),
        "fee_profile": positions.fee_profile,
        "fee_rates": {name: percent_text(rate) for name, rate in BROKER_FEE_RATES.items()},
        "account_info": positions.account_info(code),
        "initial_capital": positions.initial_capital,
        "current_capital": positions.current_capital,
        "qs_report_path": output_path(positions, code + "-profit_report.html", folder, REPORT_FOLDER),
    }


def shared_plotly_js() -> str:
    """plotly 的程式檔, 每個資料目錄一份 (<資料目錄>/static/plotly.min.js); 回傳路徑."""
    source = plotly_js()
    target = os.path.join(utils.make_dir(os.path.join(BASIC_INFO.data_dir, SHARED_FOLDER)), source.name)
    if not os.path.exists(target) or os.path.getsize(target) != source.stat().st_size:
        shutil.copyfile(source, target)
    return target


def plotly_src(report_folder: str) -> str:
    """The page loads plotly from the data directory's one copy, by a relative path, so it opens offline."""
    return Path(os.path.relpath(shared_plotly_js(), report_folder)).as_posix()


def generate_standard_report(positions, code: str, quote_manager, folder: str | None = None,
                             equity=None, realised=None, figures=None, open_positions=None,
                             data_label: str = "") -> str:
    """產生基本回測報告 (HTML); 回傳檔案路徑. folder 為這次回測的資料夾 (未給時為資料目錄下的 report).

    figures: 回測摘要的數字 (與終端機的回測結果相同), 顯示在報告的「回測結果」區.
    open_positions: 回放結束時仍未平倉的部位, 顯示在報告的「未平倉部位」區.
    data_label: "模擬資料" 時, 標題與頁首橫幅標明價格為模擬.
    期間較長 (K 線改用較粗的 K 棒) 時, 每個交易日的 1 分 K 另寫入報告旁的 <代碼>-report_minutes 資料夾, 一天一個檔案.
    """
    utils.console.print("[bold green]產生 " + code + " 的回測報告...[/bold green]")
    path = output_path(positions, report_file(code), folder, REPORT_FOLDER)
    minute = minute_kbars(quote_manager, code)
    context = build_standard_context(positions, code, quote_manager, folder, equity, realised, figures,
                                     open_positions, data_label, minute)
    if context["minute_days"]:
        write_minute_days(path, minute, equity or [])
    else:
        remove_minute_days(path)
    context["plotly_src"] = plotly_src(os.path.dirname(path))
    html = template_env.get_template("profit_report.html").render(**context)
    with open(path, "w+", encoding="utf-8") as file:
        file.write(html)
    utils.console.print("[bold green]回測基本報告已產生: " + path + "[/bold green]")
    return path
