"""One set of figures per run: the summary's arithmetic, its trading days, and every view showing it alike."""

from __future__ import annotations

import io
import json
import os
import re
from html import unescape

import pytest
from report_fakes import epoch
from rich.console import Console
from runner_fakes import FakeLedger

from vorn_kest_backtest import utils
from vorn_kest_backtest.brokers import SimulatedBroker
from vorn_kest_backtest.modules.positions.positions import Positions
from vorn_kest_backtest.runner import session
from vorn_kest_backtest.runner.loader import load_strategy_class
from vorn_kest_backtest.runner.summary import figure_rows, summarise
from vorn_kest_backtest.runner.sweep_run import run_sweep_job
from vorn_kest_backtest.runner.trading_days import daily_closes
from vorn_kest_backtest.sweep.results import results_frame

FLIPPER = '''
from vorn_kest_backtest.runner import Strategy


class Flipper(Strategy):
    """Buys one lot, sells it every `every` ticks of 2330: a run with costs and several trades."""

    codes = [("2330", "Stock")]
    start = "2024-03-05"
    end = "2024-03-06"
    initial_capital = 2_000_000
    every = 100

    def on_start(self, ctx):
        self.count = 0

    def on_tick(self, tick, ctx):
        self.count += 1
        if self.count % self.every:
            return
        if ctx.positions("2330") == 0:
            ctx.buy("2330", 1)
        else:
            ctx.sell("2330", 1)
'''
FIGURE_KEYS = ("trades", "win_rate", "net_profit", "max_drawdown", "max_drawdown_pct", "sharpe", "sortino",
               "exposure", "trading_days", "final_capital", "longest_losing_streak")


def summary_of(profits: list[float], samples: list[tuple[float, float]], initial: float = 1000.0):
    ledger = FakeLedger()
    ledger.set_initial_capital(initial)
    ledger._profit_report["rows"] = [{"exit_dt": i, "profit": p} for i, p in enumerate(profits)]
    ledger.current_capital = samples[-1][1]
    return summarise(ledger, samples, [True] * len(samples), "2024-01-02", "2024-01-05")


def test_a_first_sample_below_the_initial_capital_is_a_drawdown_from_the_initial_capital():
    day = 86400.0
    start = epoch("2024-01-02 13:00:00")
    summary = summary_of([-100.0], [(start, 900.0), (start + day, 950.0)])
    assert summary.max_drawdown == pytest.approx(100.0) and summary.max_drawdown_pct == pytest.approx(0.1)
    assert summary.daily_closes == [("2024-01-02", 900.0), ("2024-01-03", 950.0)]


def test_break_even_trades_count_as_the_account_counts_them(console):
    positions = Positions()
    positions.set_initial_capital(1_000_000)
    for kind in ("stock", "future"):  # no costs, so that an unchanged price is a profit of exactly 0
        positions.update_fee_settings(kind, fee=0.0, tax=0.0)
        for action in ("buy", "sell"):
            positions.update_fee_settings(kind, action=action, tick_count=0)
    prices = [(100.0, 101.0), (100.0, 99.0), (100.0, 100.0), (100.0, 99.5), (100.0, 102.0)]
    for n, (entry, exit_) in enumerate(prices):
        for action, price, minute in (("Buy", entry, 2 * n), ("Sell", exit_, 2 * n + 1)):
            positions.set_positions({"trade_id": f"{n}{action}", "code": "2330", "action": action, "quantity": 1,
                                     "price": price, "origin_price": price,
                                     "exchange_ts": epoch("2024-01-02 09:00:00") + 60 * minute}, "Stock")
    summary = summarise(positions, [(epoch("2024-01-02 13:30:00"), 1_000_000.0)], [False], "2024-01-02", "2024-01-02")
    account = positions.account_info("2330")
    assert (summary.wins, summary.trades - summary.wins) == (account["profit_times"], account["loss_times"]) == (2, 3)
    assert summary.longest_losing_streak == 3
    assert summary.average_loss == pytest.approx(account["loss_total"] / account["loss_times"])
    assert summary.win_rate == pytest.approx(0.4)


def futures_minutes(*texts: str) -> list[tuple[float, float]]:
    return [(epoch(text), 1000.0 + i) for i, text in enumerate(texts)]


@pytest.mark.parametrize("markets, expected", [
    (["Future"], [("2024-03-04", 1002.0), ("2024-03-05", 1004.0)]),
    (["Stock", "Future"], [("2024-03-04", 1002.0), ("2024-03-05", 1004.0)]),
    (["Stock"], [("2024-03-01", 1000.0), ("2024-03-02", 1001.0), ("2024-03-04", 1003.0), ("2024-03-05", 1004.0)]),
], ids=["futures", "mixed", "stocks"])
def test_a_night_session_closes_on_the_next_trading_date(markets, expected):
    # Friday 15:00 and its after-midnight part trade for Monday; Monday's night session for Tuesday.
    samples = futures_minutes("2024-03-01 15:30:00", "2024-03-02 04:59:00", "2024-03-04 13:44:00",
                              "2024-03-04 23:00:00", "2024-03-05 01:00:00")
    assert daily_closes(samples, markets) == expected


def test_a_futures_week_counts_five_trading_days(tmp_path, console):
    strategy = load_strategy_class_from(FLIPPER.replace('"2330", "Stock"', '"TXFR1", "Future"')
                                        .replace('"2330"', '"TXFR1"'), tmp_path)
    summary = session.run_backtest(strategy(), [{"code": "TXFR1", "market": "Future"}], "2024-03-04", "2024-03-08",
                                   SimulatedBroker(ticks_per_day=200), reports_wanted=False)
    assert [day for day, _ in summary.daily_closes] == [f"2024-03-0{d}" for d in range(4, 9)]
    assert summary.trading_days == 5 and summary.figures()["trading_days"] == 5


def load_strategy_class_from(source: str, folder) -> type:
    path = folder / "flipper.py"
    path.write_text(source, encoding="utf-8")
    return load_strategy_class(str(path))


def console_figures(text: str) -> dict[str, str]:
    """Label -> value text of the console's summary table."""
    rows = {}
    for line in text.splitlines():
        cells = [cell.strip() for cell in line.strip("│┃ ").split("│")]
        if len(cells) == 2 and cells[0]:
            rows[cells[0]] = cells[1]
    return rows


def html_cards(page: str, section_id: str) -> dict[str, str]:
    found = re.search(rf'id="{section_id}">(.*?)</section>', page, re.S)
    assert found, section_id
    block = found.group(1)
    cards = re.findall(r'<div class="label">(.*?)</div><div class="value[^"]*">(.*?)</div>', block)
    return {unescape(label): unescape(value).strip() for label, value in cards}


@pytest.fixture
def screen(monkeypatch) -> Console:
    recorder = Console(record=True, width=200, file=io.StringIO())
    monkeypatch.setattr(utils, "console", recorder)
    return recorder


def test_the_report_card_shows_the_consoles_net_profit_after_costs(tmp_path, screen):
    strategy = load_strategy_class_from(FLIPPER, tmp_path)
    codes = [{"code": "2330", "market": "Stock"}]
    folder = str(tmp_path / "run")
    summary = session.run_backtest(strategy(), codes, "2024-03-05", "2024-03-05", SimulatedBroker(ticks_per_day=600),
                                   outputs=session.RunOutputs(folder=folder))
    shown = console_figures(screen.export_text())
    with open(os.path.join(folder, "2330-report.html"), encoding="utf-8") as file:
        page = file.read()

    figures = html_cards(page, "run-figures")
    assert figures["淨損益"] == shown["淨損益"] == f"{summary.net_profit:,.0f}"
    assert {label: figures[label] for label in shown if label in figures} == {
        row.label: row.text for row in figure_rows(summary)}
    # The account's own figure before costs is there under its own name, and differs by the costs paid.
    account = html_cards(page, "account-info")
    assert "淨損益" not in account and page.count(">淨損益<") == 1
    assert float(account["未扣成本損益"].replace(",", "")) > summary.net_profit and summary.trades >= 2

    performance = os.path.join(folder, "2330-profit_report.html")
    with open(performance, encoding="utf-8") as file:
        assert "由 quantstats 依每日權益的日報酬自行計算" in file.read()


def test_summary_json_console_and_sweep_row_agree(tmp_path, screen):
    strategy = load_strategy_class_from(FLIPPER, tmp_path)
    codes = [{"code": "2330", "market": "Stock"}]
    folder = str(tmp_path / "run")
    session.run_backtest(strategy(), codes, "2024-03-05", "2024-03-06",
                         SimulatedBroker(), outputs=session.RunOutputs(folder=folder, html=False))
    with open(os.path.join(folder, "summary.json"), encoding="utf-8") as file:
        stored = json.load(file)["figures"]
    shown = console_figures(screen.export_text())

    job = {"run": 0, "strategy": str(tmp_path / "flipper.py"), "params": {}, "codes": ["2330:Stock"],
           "start": "2024-03-05", "end": "2024-03-06", "options": {"broker": "simulated"}}
    outcome = {"run": 0, "summary": run_sweep_job(job), "run_time_s": 0.0, "error": None}
    [row] = results_frame([job], {0: outcome}).to_dicts()

    assert {key: row[key] for key in FIGURE_KEYS} == pytest.approx({key: stored[key] for key in FIGURE_KEYS})
    assert stored["trades"] >= 2 and stored["trading_days"] == 2
    assert shown["淨損益"] == f"{stored['net_profit']:,.0f}"
    assert shown["Sharpe"] == f"{stored['sharpe']:,.2f}" and shown["Sortino"] == f"{stored['sortino']:,.2f}"
    assert shown["最大回撤"] == f"{stored['max_drawdown']:,.0f} ({stored['max_drawdown_pct']:.2%})"
    assert shown["持倉時間比例"] == f"{stored['exposure']:.1%}" and shown["交易日數"] == "2"
