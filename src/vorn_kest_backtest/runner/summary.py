"""End-of-run figures: trades, win rate, net profit, max drawdown, final capital."""

from __future__ import annotations

from dataclasses import dataclass, field

from rich.table import Table

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
    report_paths: dict[str, str] = field(default_factory=dict)
    missing_days: MissingDays = field(default_factory=MissingDays)

    @property
    def win_rate(self) -> float:
        return self.wins / self.trades if self.trades else 0.0


def summarise(positions) -> Summary:
    """Closed trades are the profit rows; drawdown is measured on capital after each cover, in exit order."""
    rows = sorted(positions._profit_report["rows"], key=lambda row: row["exit_dt"])
    equity = peak = float(positions.initial_capital)
    drawdown = drawdown_pct = 0.0
    for row in rows:
        equity += row["profit"]
        peak = max(peak, equity)
        if peak - equity > drawdown:
            drawdown, drawdown_pct = peak - equity, (peak - equity) / peak if peak else 0.0
    return Summary(
        trades=len(rows),
        wins=sum(1 for row in rows if row["profit"] > 0),
        net_profit=sum(row["profit"] for row in rows),
        max_drawdown=drawdown,
        max_drawdown_pct=drawdown_pct,
        initial_capital=float(positions.initial_capital),
        final_capital=float(positions.current_capital),
    )


def summary_table(summary: Summary) -> Table:
    table = Table(title="回測結果", show_header=False, title_style="bold")
    table.add_column("項目", style="bold")
    table.add_column("數值", justify="right")
    table.add_row("交易次數", f"{summary.trades:,}")
    table.add_row("勝率", f"{summary.win_rate:.1%}")
    style = "red" if summary.net_profit > 0 else "green" if summary.net_profit < 0 else ""
    table.add_row("淨損益", f"[{style}]{summary.net_profit:,.0f}[/{style}]" if style else f"{summary.net_profit:,.0f}")
    table.add_row("最大回撤", f"{summary.max_drawdown:,.0f} ({summary.max_drawdown_pct:.2%})")
    table.add_row("初始資金", f"{summary.initial_capital:,.0f}")
    table.add_row("最終資金", f"{summary.final_capital:,.0f}")
    table.add_row("無法載入的日子", summary_text(summary.missing_days))
    for name, path in summary.report_paths.items():
        table.add_row(name, path)
    return table
