"""What a command-line run leaves behind: the slippage it was given, a folder of its own, partial records when
it stops early, and one clock for its log and its folders."""

from __future__ import annotations

import json
import logging
from datetime import datetime, timedelta

import polars as pl
import pytest

from vorn_kest_backtest import utils
from vorn_kest_backtest.cli import DEMO_STRATEGY, main
from vorn_kest_backtest.modules.market.market import exchange_now

RUN = ["--codes", "2330:Stock", "--start", "2024-03-04", "--end", "2024-03-06", "--no-report", "--quiet"]

STOPPING = '''
from vorn_kest_backtest.runner import Strategy


class StopsOnTheSecondDay(Strategy):
    codes = [("2330", "Stock")]
    start = "2024-03-04"
    end = "2024-03-06"

    def on_start(self, ctx):
        ctx.subscribe("2330", "m", 30)

    def on_bar(self, bar, ctx):
        if bar.dt.day == 5:
            raise {error}
        if ctx.positions("2330"):
            ctx.sell("2330", 1)
        else:
            ctx.buy("2330", 1)
'''


def _summary(folder) -> dict:
    return json.loads((folder / "summary.json").read_text(encoding="utf-8"))


def test_the_command_line_slippage_wins_over_the_strategy_on_start(tmp_path):
    # The bundled demo sets one tick of slippage in on_start.
    found = {}
    for ticks in (0, 5):
        folder = tmp_path / f"slippage-{ticks}"
        assert main(["run", DEMO_STRATEGY, *RUN, "--slippage-ticks", str(ticks), "--output-dir", str(folder)]) == 0
        document = _summary(folder)
        assert {document["cost_model"][kind]["slippage"][action]["tick_count"]
                for kind in ("stock", "future") for action in ("buy", "sell")} == {ticks}
        found[ticks] = document["figures"]["net_profit"]
    assert found[0] > found[5]


def test_a_reused_output_dir_is_refused_and_the_first_run_kept(tmp_path, capsys):
    folder = tmp_path / "out"
    assert main(["run", DEMO_STRATEGY, *RUN, "--output-dir", str(folder)]) == 0
    first = (folder / "summary.json").read_text(encoding="utf-8")
    capsys.readouterr()
    assert main(["run", DEMO_STRATEGY, *RUN, "--output-dir", str(folder), "--slippage-ticks", "4"]) == 2
    assert "輸出資料夾已有另一次回測的結果" in capsys.readouterr().err
    assert (folder / "summary.json").read_text(encoding="utf-8") == first


@pytest.mark.parametrize(("error", "status", "exit_status"), [
    ('ValueError("bad bar")', "失敗", 1),
    ("KeyboardInterrupt", "中斷", 130),
])
def test_a_run_stopped_during_the_replay_leaves_its_records_and_a_marked_summary(tmp_path, error, status,
                                                                                  exit_status):
    strategy = tmp_path / "stops.py"
    strategy.write_text(STOPPING.format(error=error), encoding="utf-8")
    folder = tmp_path / "out"
    assert main(["run", str(strategy), "--no-report", "--quiet", "--output-dir", str(folder)]) == exit_status
    document = _summary(folder)
    assert document["status"] == status
    records = pl.read_csv(document["files"]["交易紀錄"], infer_schema=False)
    deals = records.filter(pl.col("trade_status") == "Deal")
    assert deals.height >= 2 and (deals["dt"] < "2024-03-05 09:30").all()
    assert document["figures"]["trades"] >= 1


def test_a_finished_run_is_marked_finished(tmp_path):
    folder = tmp_path / "out"
    assert main(["run", DEMO_STRATEGY, *RUN, "--output-dir", str(folder)]) == 0
    assert _summary(folder)["status"] == "完成"


def test_log_lines_carry_the_exchange_clock_of_the_run_folders(data_dir):
    utils.logger.info("clock check")
    for handler in utils.logger.handlers:
        handler.flush()
    line = (data_dir / "logs" / "vorn_kest_backtest.log").read_text(encoding="utf-8").splitlines()[-1]
    logged = datetime.strptime(line[:19], "%Y-%m-%d %H:%M:%S")
    assert abs(logged - exchange_now().replace(tzinfo=None)) < timedelta(minutes=1)
    assert logging.getLogger("vorn_kest_backtest") is utils.logger
