"""End-of-run figures: trades, win rate, net profit, returns, drawdown and the trade statistics.

`summarise` computes them once; the console table, summary.json, the standard report and the sweep row all
show that one `Summary`.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import asdict, dataclass, field
from datetime import date

import numpy as np
from rich.table import Table

from vorn_kest_backtest.runner import statistics as stats
from vorn_kest_backtest.runner.equity import Sample
from vorn_kest_backtest.runner.missing_days import MissingDays, summary_text
from vorn_kest_backtest.runner.trading_days import daily_closes

# What the run's figures and reports say when the replayed ticks were made up by the simulated broker.
SIMULATED_DATA_LABEL = "模擬資料"
SIMULATED_DATA_NOTE = "模擬資料: 價格由模擬券商產生, 不是真實的歷史行情"


@dataclass
class Summary:
    trades: int
    wins: int
    net_profit: float
    max_drawdown: float
    max_drawdown_pct: float
    initial_capital: float
    final_capital: float
    total_return: float | None = None
    cagr: float | None = None
    sharpe: float | None = None
    sortino: float | None = None
    max_drawdown_days: float = 0.0
    profit_factor: float | None = None
    expectancy: float | None = None
    average_win: float | None = None
    average_loss: float | None = None
    longest_losing_streak: int = 0
    exposure: float = 0.0
    trading_days: int = 0
    peak_margin: float = 0.0
    refused_orders: int = 0  # orders the account refused (funds, margin, price limits)
    # The ledger's positions still open at the end (code, contract, market, side, quantity, entry_price,
    # last_price, unrealised); final_capital counts them at their last price.
    open_positions: list[dict] = field(default_factory=list)
    report_paths: dict[str, str] = field(default_factory=dict)
    missing_days: MissingDays = field(default_factory=MissingDays)
    daily_closes: list[tuple[str, float]] = field(default_factory=list)  # ("%Y-%m-%d", equity) per trading date
    data_label: str = ""  # SIMULATED_DATA_LABEL when the replayed ticks were made up

    @property
    def win_rate(self) -> float:
        return self.wins / self.trades if self.trades else 0.0

    def figures(self) -> dict:
        """The numbers of the run (what summary.json and a sweep row hold)."""
        values = asdict(self)
        values.pop("report_paths")
        values.pop("open_positions")
        values.pop("missing_days")
        values.pop("daily_closes")
        values.pop("data_label")
        values["win_rate"] = self.win_rate
        return values


def summarise(positions, samples: list[Sample], held: list[bool], start: str, end: str,
              markets: Iterable[str] = ()) -> Summary:
    """Closed trades are the profit rows (in exit order, profit after costs); equity is the marked-to-market
    samples of the run, measured from the initial capital, whose last one (after on_finish) is the final capital;
    a day is a trading date of the run's `markets`."""
    rows = sorted(positions.profit_rows, key=lambda row: row["exit_dt"])
    profits = [row["profit"] for row in rows]
    initial = float(positions.initial_capital)
    final = float(samples[-1][1]) if samples else initial
    pairs = stats.sample_pairs(samples)
    # Measured from the initial capital: a fall from the start counts as drawdown.
    curve = np.vstack(([pairs[0, 0], initial], pairs)) if len(pairs) else pairs
    drawdown = stats.max_drawdown(curve)
    closes = daily_closes(pairs, markets)
    returns = stats.daily_returns(initial, [value for _, value in closes])
    return Summary(
        trades=len(rows),
        wins=stats.wins(profits),
        net_profit=sum(profits),
        max_drawdown=drawdown.amount,
        max_drawdown_pct=drawdown.fraction,
        initial_capital=initial,
        final_capital=final,
        total_return=stats.total_return(initial, final),
        cagr=stats.cagr(initial, final, date.fromisoformat(start), date.fromisoformat(end)),
        sharpe=stats.sharpe(returns),
        sortino=stats.sortino(returns),
        max_drawdown_days=drawdown.days,
        profit_factor=stats.profit_factor(profits),
        expectancy=stats.expectancy(profits),
        average_win=stats.average_win(profits),
        average_loss=stats.average_loss(profits),
        longest_losing_streak=stats.longest_losing_streak(profits),
        exposure=stats.exposure(held),
        trading_days=len(closes),
        daily_closes=closes,
    )


def _ratio(value: float | None, digits: int = 2) -> str:
    return "-" if value is None else f"{value:,.{digits}f}"


def _percent(value: float | None) -> str:
    return "-" if value is None else f"{value:.2%}"


def _money(value: float | None) -> str:
    return "-" if value is None else f"{value:,.0f}"


@dataclass(frozen=True)
class FigureRow:
    label: str
    text: str
    sign: int = 0  # of a profit, which the views colour (red up, green down); 0 leaves it plain


def figure_rows(summary: Summary) -> list[FigureRow]:
    """The figures as the console and the standard report show them, labels and text alike."""
    rows = [FigureRow("資料來源", SIMULATED_DATA_NOTE)] if summary.data_label else []
    rows += [
        FigureRow("交易次數", f"{summary.trades:,}"),
        FigureRow("勝率", f"{summary.win_rate:.1%}"),
        FigureRow("淨損益", f"{summary.net_profit:,.0f}", (summary.net_profit > 0) - (summary.net_profit < 0)),
        FigureRow("總報酬率", _percent(summary.total_return)),
    ]
    if summary.cagr is not None:
        rows.append(FigureRow("年化報酬率 (CAGR)", _percent(summary.cagr)))
    rows += [
        FigureRow("Sharpe", _ratio(summary.sharpe)),
        FigureRow("Sortino", _ratio(summary.sortino)),
        FigureRow("最大回撤", f"{summary.max_drawdown:,.0f} ({summary.max_drawdown_pct:.2%})"),
        FigureRow("最大回撤期間 (天)", f"{summary.max_drawdown_days:,.1f}"),
        FigureRow("獲利因子", _ratio(summary.profit_factor)),
        FigureRow("每筆期望值", _money(summary.expectancy)),
        FigureRow("平均獲利 / 平均虧損", f"{_money(summary.average_win)} / {_money(summary.average_loss)}"),
        FigureRow("最長連續虧損", f"{summary.longest_losing_streak:,}"),
        FigureRow("持倉時間比例", f"{summary.exposure:.1%}"),
        FigureRow("交易日數", f"{summary.trading_days:,}"),
    ]
    if summary.peak_margin:
        rows.append(FigureRow("最高保證金占用", f"{summary.peak_margin:,.0f}"))
    if summary.refused_orders:
        rows.append(FigureRow("被拒絕的委託", f"{summary.refused_orders:,}"))
    rows += [
        FigureRow("初始資金", f"{summary.initial_capital:,.0f}"),
        FigureRow("最終資金", f"{summary.final_capital:,.0f}"),
    ]
    return rows


def open_positions_table(summary: Summary) -> Table:
    """回放結束時仍未平倉的部位 (最終資金以最新價計入)."""
    table = Table(title="未平倉部位", title_style="bold")
    for name in ("代碼", "契約", "方向", "數量", "進場價", "最新價", "未實現損益"):
        table.add_column(name, justify="left" if name in ("代碼", "契約", "方向") else "right")
    for p in summary.open_positions:
        table.add_row(p["code"], p["contract"] or "-", "多" if p["side"] == "Buy" else "空", f"{p['quantity']:,}",
                      f"{p['entry_price']:,.2f}", f"{p['last_price']:,.2f}", f"{p['unrealised']:,.0f}")
    return table


def summary_table(summary: Summary) -> Table:
    title = f"回測結果 ({summary.data_label})" if summary.data_label else "回測結果"
    table = Table(title=title, show_header=False, title_style="bold")
    table.add_column("項目", style="bold")
    table.add_column("數值", justify="right")
    for row in figure_rows(summary):
        style = "red" if row.sign > 0 else "green" if row.sign < 0 else ""
        table.add_row(row.label, f"[{style}]{row.text}[/{style}]" if style else row.text)
    table.add_row("無法載入的日子", summary_text(summary.missing_days))
    for name, path in summary.report_paths.items():
        table.add_row(name, path)
    return table
