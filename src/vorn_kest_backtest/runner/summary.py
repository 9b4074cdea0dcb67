"""End-of-run figures: trades, win rate, net profit, returns, drawdown and the trade statistics."""

from __future__ import annotations

from dataclasses import asdict, dataclass, field
from datetime import date

from rich.table import Table

from vorn_kest_backtest.runner import statistics as stats
from vorn_kest_backtest.runner.equity import Sample, daily_closes
from vorn_kest_backtest.runner.missing_days import MissingDays, summary_text


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
    report_paths: dict[str, str] = field(default_factory=dict)
    missing_days: MissingDays = field(default_factory=MissingDays)
    daily_equity: list[tuple[str, float]] = field(default_factory=list)  # ("%Y-%m-%d", equity at that day's close)

    @property
    def win_rate(self) -> float:
        return self.wins / self.trades if self.trades else 0.0

    def figures(self) -> dict:
        """The numbers of the run (what summary.json and a sweep row hold)."""
        values = asdict(self)
        values.pop("report_paths")
        values.pop("missing_days")
        values.pop("daily_equity")
        values["win_rate"] = self.win_rate
        return values


def summarise(positions, samples: list[Sample], held: list[bool], start: str, end: str) -> Summary:
    """Closed trades are the profit rows (in exit order); equity is the marked-to-market samples of the run."""
    rows = sorted(positions.profit_rows, key=lambda row: row["exit_dt"])
    profits = [row["profit"] for row in rows]
    initial = float(positions.initial_capital)
    final = float(positions.current_capital)
    curve = [(samples[0][0], initial), *samples] if samples else []
    drawdown = stats.max_drawdown(curve)
    daily = daily_closes(samples)
    closes = [value for _, value in daily]
    returns = stats.daily_returns(initial, closes)
    return Summary(
        trades=len(rows),
        wins=sum(1 for p in profits if p > 0),
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
        daily_equity=daily,
    )


def _ratio(value: float | None, digits: int = 2) -> str:
    return "-" if value is None else f"{value:,.{digits}f}"


def _percent(value: float | None) -> str:
    return "-" if value is None else f"{value:.2%}"


def _money(value: float | None) -> str:
    return "-" if value is None else f"{value:,.0f}"


def summary_table(summary: Summary) -> Table:
    table = Table(title="回測結果", show_header=False, title_style="bold")
    table.add_column("項目", style="bold")
    table.add_column("數值", justify="right")
    table.add_row("交易次數", f"{summary.trades:,}")
    table.add_row("勝率", f"{summary.win_rate:.1%}")
    style = "red" if summary.net_profit > 0 else "green" if summary.net_profit < 0 else ""
    table.add_row("淨損益", f"[{style}]{summary.net_profit:,.0f}[/{style}]" if style else f"{summary.net_profit:,.0f}")
    table.add_row("總報酬率", _percent(summary.total_return))
    if summary.cagr is not None:
        table.add_row("年化報酬率 (CAGR)", _percent(summary.cagr))
    table.add_row("Sharpe", _ratio(summary.sharpe))
    table.add_row("Sortino", _ratio(summary.sortino))
    table.add_row("最大回撤", f"{summary.max_drawdown:,.0f} ({summary.max_drawdown_pct:.2%})")
    table.add_row("最大回撤期間 (天)", f"{summary.max_drawdown_days:,.1f}")
    table.add_row("獲利因子", _ratio(summary.profit_factor))
    table.add_row("每筆期望值", _money(summary.expectancy))
    table.add_row("平均獲利 / 平均虧損", f"{_money(summary.average_win)} / {_money(summary.average_loss)}")
    table.add_row("最長連續虧損", f"{summary.longest_losing_streak:,}")
    table.add_row("持倉時間比例", f"{summary.exposure:.1%}")
    table.add_row("交易日數", f"{summary.trading_days:,}")
    if summary.peak_margin:
        table.add_row("最高保證金占用", f"{summary.peak_margin:,.0f}")
    table.add_row("初始資金", f"{summary.initial_capital:,.0f}")
    table.add_row("最終資金", f"{summary.final_capital:,.0f}")
    table.add_row("無法載入的日子", summary_text(summary.missing_days))
    for name, path in summary.report_paths.items():
        table.add_row(name, path)
    return table
