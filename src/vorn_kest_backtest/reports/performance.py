"""進階績效報告: 每日權益對 0050 基準的 quantstats 報告, 以及損益明細 CSV."""

from __future__ import annotations

import io
import logging
import warnings
from contextlib import contextmanager, redirect_stdout

import pandas as pd
import polars as pl

from vorn_kest_backtest import utils
from vorn_kest_backtest.modules.market.market import exchange_wall_micros
from vorn_kest_backtest.reports.standard import REPORT_FOLDER

BENCHMARK_CODE = "0050"
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
    """Initial capital plus cumulative daily profit, with an extra point one day before the first day."""
    daily = profit_df.dropna(subset=["exit_dt"]).groupby(profit_df["exit_dt"].dt.normalize())["profit"].sum()
    equity = initial_capital + daily.cumsum()
    start = pd.Series([float(initial_capital)], index=[daily.index.min() - pd.Timedelta(days=1)])
    return pd.concat([start, equity]).sort_index().astype(float)


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


def generate_qs_profit_report(positions, quote_manager, code: str) -> str | None:
    """產生進階損益報告 (quantstats HTML) 與損益明細 CSV; 回傳 HTML 路徑, 沒有損益資料時回傳 None."""
    rows = positions.get_profit_rows_by_code(code)
    html_path = positions._Positions__generate_save_path(code + "-profit_report.html", REPORT_FOLDER)
    csv_path = positions._Positions__generate_save_path(code + "-profit_report.csv", REPORT_FOLDER)
    if not rows:
        utils.console.print("[red]尚未有損益報告資料, 無法產生進階績效報告[/red]")
        return None

    qs = _quantstats()
    profit_df = pd.DataFrame([dict(row) for row in rows])
    profit_df["entry_dt"] = to_exchange_datetimes(profit_df["entry_dt"])
    profit_df["exit_dt"] = to_exchange_datetimes(profit_df["exit_dt"])
    profit_df.to_csv(csv_path, index=False, encoding="utf-8-sig")

    equity = equity_series(profit_df, positions.initial_capital)
    benchmark = benchmark_closes(quote_manager, equity.index.min(), equity.index.max())
    options = {"rf": RISK_FREE_RATE, "title": "進階損益報告", "output": html_path}
    if benchmark.empty:
        utils.console.print("[yellow]沒有 " + BENCHMARK_CODE + " 的日 K 資料, 進階損益報告不含基準比較[/yellow]")
    else:
        # Days without a cover keep the last equity, so both series share one calendar.
        calendar = equity.index.union(benchmark.index)
        equity = equity.reindex(calendar).ffill()
        benchmark = benchmark.reindex(calendar).ffill().bfill()
        options.update(benchmark=qs.utils.to_returns(benchmark), benchmark_title=BENCHMARK_CODE)
    with warnings.catch_warnings(), _quiet_font_lookup(), redirect_stdout(io.StringIO()):
        # Short backtests give the library degenerate statistics (one or two days); its warnings and its own
        # "saved to" line are noise beside the messages below.
        warnings.simplefilter("ignore")
        qs.reports.html(qs.utils.to_returns(equity), **options)

    utils.console.print("[bold green]進階損益報告已產生: " + html_path + "[/bold green]")
    utils.console.print("[bold green]損益報告 CSV 已產生: " + csv_path + "[/bold green]")
    return html_path
