"""The dated futures margin table: the package's figures, a user's own file, and the line for dates before it."""

from __future__ import annotations

from datetime import date

import pytest
from report_fakes import epoch

from vorn_kest_backtest.cli import main
from vorn_kest_backtest.constant import FUTURES_FAMILIES
from vorn_kest_backtest.margin_table import PACKAGE_MARGINS, package_margin_rows, read_margin_table
from vorn_kest_backtest.modules.positions.positions import Ledger
from vorn_kest_backtest.runner import Strategy, session


def in_force(family: str, day: date) -> float:
    rows = sorted((d, m) for f, d, m in package_margin_rows() if f == family)
    return [m for d, m in rows if d <= day][-1]


@pytest.mark.parametrize("family, day, margin", [
    ("TXF", date(2025, 1, 2), 322_000), ("MXF", date(2025, 1, 2), 80_500), ("TMF", date(2025, 1, 2), 16_100),
    ("TXF", date(2025, 11, 4), 338_000), ("MXF", date(2025, 11, 4), 84_500), ("TMF", date(2025, 12, 31), 16_900),
    ("EXF", date(2025, 11, 4), 473_000), ("ZEF", date(2025, 11, 4), 59_125), ("FXF", date(2025, 11, 4), 150_000),
    ("ZFF", date(2025, 11, 4), 37_500), ("XIF", date(2025, 11, 4), 103_000), ("GTF", date(2025, 11, 4), 79_000),
    ("TXF", date(2026, 1, 2), 356_000), ("MXF", date(2026, 1, 2), 89_000), ("TMF", date(2026, 6, 1), 17_800),
])
def test_the_package_table_holds_the_published_margins(family, day, margin):
    assert in_force(family, day) == margin


def test_every_futures_family_has_a_margin_and_the_ledger_reads_the_package_table():
    assert {family for family, _, _ in package_margin_rows()} == set(FUTURES_FAMILIES)
    assert sorted(Ledger().margin_rows()) == sorted(package_margin_rows())


@pytest.mark.parametrize("text, message", [
    ("family,effective_date\nTXF,2025-01-02\n", "缺少欄位: initial_margin"),
    ("family,effective_date,initial_margin\nTXF,2025-01-02,300000\nTXF,2025/13/01,1\n",
     "第 3 列的生效日不是 %Y-%m-%d 日期: '2025/13/01'"),
    ("family,effective_date,initial_margin\nTXF,2025-01-02,-5\n", "第 2 列的保證金必須是 0 以上的有限數字: '-5'"),
    ("family,effective_date,initial_margin\nTXF,2025-01-02,abc\n", "第 2 列的保證金不是數字: 'abc'"),
    ("family,effective_date,initial_margin\n,2025-01-02,1\n", "第 2 列的商品族是空的: ''"),
])
def test_a_bad_margin_file_names_the_file_row_and_value(tmp_path, text, message):
    path = tmp_path / "margins.csv"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ValueError) as raised:
        read_margin_table(path)
    assert message in str(raised.value) and str(path) in str(raised.value)


def test_the_package_file_reads_cleanly():
    assert len(read_margin_table(PACKAGE_MARGINS)) == len(package_margin_rows())


class HoldFutures(Strategy):
    def __init__(self) -> None:
        self.placed: set[str] = set()

    def on_tick(self, tick, ctx):
        if tick["code"] not in self.placed:
            ctx.buy(tick["code"], 1)
            self.placed.add(tick["code"])

    def on_finish(self, ctx):
        self.margin_at_end = ctx.margin_in_use()


FUTURES_CODES = [{"code": "TXFR1", "market": "Future"}, {"code": "MXFR1", "market": "Future"}]


def test_a_run_before_the_table_uses_its_first_rows_with_one_line_per_family(console):
    from vorn_kest_backtest.brokers import SimulatedBroker

    strategy = HoldFutures()
    summary = session.run_backtest(strategy, FUTURES_CODES, "2024-03-04", "2024-03-05",
                                   SimulatedBroker(ticks_per_day=100), reports_wanted=False)
    assert summary.peak_margin == strategy.margin_at_end == 322_000 + 80_500
    notices = [line for line in console.lines if line.startswith("[yellow]保證金表")]
    assert sorted(notices) == [
        "[yellow]保證金表中 MXF 最早的一列生效於 2024-12-09, 更早的交易日以該列的原始保證金計算[/yellow]",
        "[yellow]保證金表中 TXF 最早的一列生效於 2024-12-09, 更早的交易日以該列的原始保證金計算[/yellow]",
    ]


def test_a_run_with_its_own_margin_file(tmp_path, console):
    from vorn_kest_backtest.brokers import SimulatedBroker

    path = tmp_path / "mine.csv"
    path.write_text("family,effective_date,initial_margin\nTXF,2024-01-01,100000\nTXF,2024-03-05,150000\n",
                    encoding="utf-8")
    strategy = HoldFutures()
    summary = session.run_backtest(strategy, FUTURES_CODES, "2024-03-04", "2024-03-05",
                                   SimulatedBroker(ticks_per_day=100), reports_wanted=False, margins=path)
    # Filled on 03-04 at that date's 100,000; held into 03-05 at 150,000, the peak in use. MXF is not in this
    # table: no margin.
    assert (summary.peak_margin, strategy.margin_at_end) == (150_000, 150_000)
    assert not any(line.startswith("[yellow]保證金表") for line in console.lines)


def test_the_command_line_refuses_a_bad_margin_file(tmp_path, capsys):
    strategy = tmp_path / "hold.py"
    strategy.write_text("from vorn_kest_backtest.runner import Strategy\n\nclass Hold(Strategy):\n    pass\n")
    bad = tmp_path / "bad.csv"
    bad.write_text("family,effective_date,initial_margin\nTXF,yesterday,1\n", encoding="utf-8")
    assert main(["run", str(strategy), "--codes", "TXFR1:Future", "--start", "2024-03-04", "--end", "2024-03-04",
                 "--margins", str(bad)]) == 2
    assert "第 2 列的生效日不是 %Y-%m-%d 日期: 'yesterday'" in capsys.readouterr().err


def test_an_initial_margin_is_read_at_the_trading_date_of_a_time():
    ledger = Ledger()
    assert ledger.initial_margin("TXFR1", epoch("2025-12-31 13:44:00")) == 338_000
    assert ledger.initial_margin("TXFR1", epoch("2025-12-31 15:00:00")) == 356_000
    assert ledger.initial_margin("G2FR1", epoch("2025-12-31 10:00:00")) == 25_000
    assert ledger.initial_margin("NOPE1", epoch("2025-12-31 10:00:00")) == 0
