"""進階績效報告: 每日權益對 0050 基準的 quantstats 報告, 以及損益明細 CSV."""

from __future__ import annotations

import io
import logging
import re
import warnings
from contextlib import contextmanager, redirect_stdout

import pandas as pd
import polars as pl

from vorn_kest_backtest import utils
from vorn_kest_backtest.modules.market.market import exchange_wall_micros
from vorn_kest_backtest.reports.benchmark import BENCHMARK_CODE
from vorn_kest_backtest.reports.profit_rows import with_booked_prices
from vorn_kest_backtest.reports.save_path import output_path
from vorn_kest_backtest.reports.standard import REPORT_FOLDER

RISK_FREE_RATE = 0.0


def _quantstats():
    # Loaded with the first report, not with the package: the library and its plotting stack take seconds.
    import matplotlib

    matplotlib.use("Agg")
    import quantstats_lumi

    return quantstats_lumi


@contextmanager
def _quiet_font_lookup():
    # The library asks for fonts the machine may lack; matplotlib would log a warning per text element.
    font_logger = logging.getLogger("matplotlib.font_manager")
    level = font_logger.level
    font_logger.setLevel(logging.ERROR)
    try:
        yield
    finally:
        font_logger.setLevel(level)


def to_exchange_datetimes(values: pd.Series) -> pd.Series:
    """Epoch seconds -> naive exchange time; date-time text is parsed; anything else becomes NaT."""
    numbers = pd.to_numeric(values, errors="coerce")
    wall = exchange_wall_micros(numbers.to_numpy(dtype=float, na_value=float("nan"))).view("datetime64[us]")
    from_epoch = pd.Series(wall, index=values.index)
    texts = values.where(numbers.isna())
    from_text = pd.to_datetime(texts.astype("string"), errors="coerce", format="mixed")
    return from_epoch.fillna(from_text)


def equity_series(profit_df: pd.DataFrame, initial_capital: float) -> pd.Series:
    """Realised equity: initial capital plus the cumulative profit on each exit day; the day before the first
    exit is the start point."""
    closed = profit_df.dropna(subset=["exit_dt"])
    daily = closed.groupby(closed["exit_dt"].dt.normalize())["profit"].sum()
    equity = initial_capital + daily.cumsum()
    start = pd.Series([float(initial_capital)], index=[daily.index.min() - pd.Timedelta(days=1)])
    return pd.concat([start, equity]).sort_index().astype(float)


def daily_equity_series(closes: list[tuple[str, float]], initial_capital: float) -> pd.Series:
    """Marked-to-market equity at each day's close ("%Y-%m-%d", value), one day before the first a start point."""
    index = pd.to_datetime([day for day, _ in closes])
    equity = pd.Series([float(value) for _, value in closes], index=index)
    start = pd.Series([float(initial_capital)], index=[index.min() - pd.Timedelta(days=1)])
    return pd.concat([start, equity]).sort_index().astype(float)


_LONG_PERIODS = ((3, "3Y"), (5, "5Y"), (10, "10Y"))


def drop_unearned_periods(html: str, years: float) -> str:
    """Removes the 3Y/5Y/10Y rows the library fills for a range shorter than those (it shows the whole range)."""
    for length, label in _LONG_PERIODS:
        if years < length:
            html = re.sub(r"<tr><td>" + label + r" \(ann\.\)( %)?</td>.*?</tr>", "", html, flags=re.S)
    return html


OWN_FIGURES_NOTE = ("本頁數字 (報酬率, Sharpe, Sortino, 最大回撤, 持倉時間等) 由 quantstats 依每日權益的日報酬"
                    "自行計算, 可能與回測摘要 (終端機, summary.json, 基本回測報告) 不同; 回測的數字以回測摘要為準.")
_DATA_LABEL_BLOCK = ('<p id="data-label" style="margin: 8px 0; padding: 8px 12px; border: 1px solid #e0c36c; '
                     'background: #fff8e1; color: #5c4a00;">{label}: 價格由模擬券商產生, 不是真實的歷史行情.</p>')
_NOTE_BLOCK = ('<p id="own-figures-note" style="margin: 8px 0; padding: 8px 12px; border: 1px solid #e0c36c; '
               'background: #fff8e1; color: #5c4a00;">' + OWN_FIGURES_NOTE + "</p>")


def with_own_figures_note(html: str, data_label: str = "") -> str:
    """The page with a visible note, first in its body (inside the library's page container), that its figures
    are the library's own; with `data_label` ("模擬資料") a note above it that the prices were made up."""
    opened = re.search(r'<body[^>]*>(\s*<div class="container">)?', html)
    at = opened.end() if opened else 0
    label = _DATA_LABEL_BLOCK.format(label=data_label) if data_label else ""
    return html[:at] + label + _NOTE_BLOCK + html[at:]


def unreportable(equity: pd.Series) -> str | None:
    """Why the library cannot make a report of this equity, or None."""
    if (equity <= 0).any():
        return "權益曾降至 0 或以下, 無法計算報酬率"
    if not (equity.diff().fillna(0) != 0).any():
        return "報酬率全為 0"
    return None


def benchmark_closes(quote_manager, first_day: pd.Timestamp, last_day: pd.Timestamp) -> pd.Series:
    """Daily closes of the benchmark between the two days; empty when the quote manager has none."""
    bars = quote_manager.get_kbar(BENCHMARK_CODE, unit="d", freq=1)
    if bars.height == 0:
        return pd.Series(dtype=float)
    # Whole days: a bar stamped later on the last day still belongs to it.
    end = (last_day + pd.Timedelta(days=1)).to_pydatetime()
    bars = bars.filter(pl.col("dt").is_between(first_day.to_pydatetime(), end, closed="left"))
    closes = pd.Series(bars["Close"].to_list(), index=pd.to_datetime(bars["dt"].to_list()).normalize(), dtype=float)
    return closes[~closes.index.duplicated(keep="last")]


def generate_qs_profit_report(positions, quote_manager, code: str, folder: str | None = None,
                              daily_closes: list[tuple[str, float]] | None = None,
                              data_label: str = "") -> str | None:
    """產生進階損益報告 (quantstats HTML) 與損益明細 CSV; 回傳 HTML 路徑, 沒有損益資料或無法產生時回傳 None.

    daily_closes: 每個交易日收盤時依市價計算的權益 [("%Y-%m-%d", 權益), ...] (回測摘要的同一組); 未給時以已實現損益計算.
    data_label: "模擬資料" 時, 標題與頁首標明價格為模擬.
    """
    rows = positions.get_profit_rows_by_code(code)
    html_path = output_path(positions, code + "-profit_report.html", folder, REPORT_FOLDER)
    csv_path = output_path(positions, code + "-profit_report.csv", folder, REPORT_FOLDER)
    if not rows:
        utils.console.print("[red]尚未有損益報告資料, 無法產生進階績效報告[/red]")
        return None

    profit_df = pd.DataFrame([with_booked_prices(row) for row in rows])
    profit_df["entry_dt"] = to_exchange_datetimes(profit_df["entry_dt"])
    profit_df["exit_dt"] = to_exchange_datetimes(profit_df["exit_dt"])
    profit_df.to_csv(csv_path, index=False, encoding="utf-8-sig")
    rendered = _render(positions, quote_manager, profit_df, html_path, daily_closes, data_label)
    utils.console.print("[bold green]損益報告 CSV 已產生: " + csv_path + "[/bold green]")
    return rendered


def _render(positions, quote_manager, profit_df: pd.DataFrame, html_path: str,
            daily_closes: list[tuple[str, float]] | None, data_label: str = "") -> str | None:
    if daily_closes:
        equity = daily_equity_series(daily_closes, positions.initial_capital)
    else:
        equity = equity_series(profit_df, positions.initial_capital)
    reason = unreportable(equity)
    if reason is not None:
        utils.console.print(f"[yellow]{reason}, 略過進階損益報告[/yellow]")
        return None
    qs = _quantstats()
    benchmark = benchmark_closes(quote_manager, equity.index.min(), equity.index.max())
    title = f"進階損益報告 ({data_label})" if data_label else "進階損益報告"
    options = {"rf": RISK_FREE_RATE, "title": title, "output": html_path}
    if benchmark.empty:
        utils.console.print("[yellow]沒有 " + BENCHMARK_CODE + " 的日 K 資料, 進階損益報告不含基準比較[/yellow]")
    else:
        # Days without a cover keep the last equity, so both series share one calendar.
        calendar = equity.index.union(benchmark.index)
        equity = equity.reindex(calendar).ffill()
        benchmark = benchmark.reindex(calendar).ffill().bfill()
        options.update(benchmark=qs.utils.to_returns(benchmark), benchmark_title=BENCHMARK_CODE)
    try:
        with warnings.catch_warnings(), _quiet_font_lookup(), redirect_stdout(io.StringIO()):
            # Short backtests give the library degenerate statistics (one or two days); its warnings and its own
            # "saved to" line are noise beside the messages below.
            warnings.simplefilter("ignore")
            qs.reports.html(qs.utils.to_returns(equity), **options)
    except Exception as error:
        # The library's own failures on odd series must not cost the run its summary.
        utils.logger.exception("進階損益報告失敗")
        utils.console.print(f"[yellow]進階損益報告無法產生 ({type(error).__name__}: {error}), 已略過[/yellow]")
        return None
    years = ((equity.index.max() - equity.index.min()).days + 1) / 365.25
    with open(html_path, encoding="utf-8") as file:
        page = with_own_figures_note(drop_unearned_periods(file.read(), years), data_label)
    with open(html_path, "w", encoding="utf-8") as file:
        file.write(page)
    utils.console.print("[bold green]進階損益報告已產生: " + html_path + "[/bold green]")
    return html_path
