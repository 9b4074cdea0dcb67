"""The console when it is read later: no wrapped paths in a pipe, one line per refusal reason with a count."""

from __future__ import annotations

import os
import subprocess
import sys

import vorn_kest_backtest as vkb
from vorn_kest_backtest.runner.refusals import reason_kind
from vorn_kest_backtest.runner.summary import figure_rows

LONG_PATH = "/data/" + "/".join(f"folder-{n:02d}" for n in range(20)) + "/2026-12-09 232313_trade_records.csv"

PRINTS = f'''
from rich.table import Table
from vorn_kest_backtest import utils
utils.console.print("[green]交易紀錄已匯出至: {LONG_PATH}[/green]")
table = Table(title="回測結果", show_header=False)
table.add_column("項目")
table.add_column("數值", justify="right")
table.add_row("交易紀錄", "{LONG_PATH}")
utils.console.print(table)
'''


def test_piped_output_keeps_every_path_on_one_line():
    env = {name: value for name, value in os.environ.items() if name != "COLUMNS"}
    done = subprocess.run([sys.executable, "-c", PRINTS], capture_output=True, text=True, env=env, timeout=60,
                          check=True)
    lines = done.stdout.splitlines()
    assert f"交易紀錄已匯出至: {LONG_PATH}" in lines
    assert any(LONG_PATH in line and "交易紀錄" in line for line in lines[1:])
    assert all("…" not in line for line in lines)


class BuysTooMuch(vkb.Strategy):
    codes = [("2330", "Stock")]
    start = "2024-03-04"
    end = "2024-03-04"

    def on_tick(self, tick, ctx):
        # A thousand lots of a 590 stock on a million: refused on every tick.
        ctx.buy("2330", 1000)


def test_repeated_refusals_print_once_per_reason_with_a_count(console):
    result = vkb.backtest(BuysTooMuch, quiet=False)
    refused = result.orders.filter(result.orders["reason"].str.starts_with("資金不足")).height
    assert refused > 100 and result.stats["refused_orders"] == refused
    first = [line for line in console.lines if line.startswith("[red]委託被拒絕: ")]
    assert len(first) == 1 and "資金不足" in first[0]
    assert f"[red]委託被拒絕 {refused:,} 次: 資金不足: 需要 …, 可用資金 …[/red]" in console.lines
    assert ("被拒絕的委託", f"{refused:,}") in [(row.label, row.text) for row in figure_rows(result.summary)]


def test_a_quiet_run_still_counts_its_refusals(capsys):
    result = vkb.backtest(BuysTooMuch)
    assert result.stats["refused_orders"] > 100
    assert capsys.readouterr() == ("", "")


def test_refusals_for_the_same_cause_at_other_amounts_are_one_reason():
    assert reason_kind("資金不足: 需要 590,425, 可用資金 12.5") == reason_kind("資金不足: 需要 1,000, 可用資金 -3")
    margin = reason_kind("保證金不足: 需要原始保證金 184,000 (1 口), 可用權益 0")
    assert margin != reason_kind("資金不足: 需要 1, 可用資金 0")
