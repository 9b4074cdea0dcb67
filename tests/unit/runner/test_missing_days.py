"""Days that could not be loaded fail the run; an interrupt is never one day's failure."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest
from fake_sdk import COLUMNS, FakeSdk, wall_ns

from vorn_kest_backtest.cli import main
from vorn_kest_backtest.modules.ticker.ticker import Ticker
from vorn_kest_backtest.runner import missing_days

STRATEGY = '''
from vorn_kest_backtest.runner import Strategy


class Idle(Strategy):
    codes = [("2330", "Stock")]
    start = "2024-01-02"
    end = "2024-01-03"

    def on_tick(self, tick, ctx):
        pass
'''
ONE = [{"code": "2330", "market": "Stock"}]


class Interrupting(FakeSdk):
    def __init__(self, error: type[BaseException]) -> None:
        super().__init__()
        self.error = error

    def ticks(self, contract, date):
        if date == "2024-01-03":
            raise self.error()
        return super().ticks(contract, date)


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_ends_the_combination_and_caches_nothing_of_its_day(error, data_dir, console):
    ticker = Ticker(Interrupting(error))
    with pytest.raises(error):
        ticker._Ticker__process_and_combine_ticks(ONE, "2024-01-02", "2024-01-04")
    cache = data_dir / "kest" / "ticks"
    assert sorted(p.name for p in cache.iterdir()) == ["2330 2024-01-02 - ticks.csv"]
    assert ticker.failed_days == []
    assert not any("失敗" in line for line in console.lines)


def test_ctrl_c_while_fetching_exits_130_without_a_partial_cache(tmp_path):
    strategy = tmp_path / "idle.py"
    strategy.write_text(STRATEGY)
    data = tmp_path / "data"
    script = textwrap.dedent(f"""
        import sys
        from vorn_kest_backtest.brokers.simulated import SimulatedBroker
        from vorn_kest_backtest.cli import main

        original = SimulatedBroker.ticks

        def ticks(self, contract, date):
            if date == "2024-01-03":
                raise KeyboardInterrupt
            return original(self, contract, date)

        SimulatedBroker.ticks = ticks
        sys.exit(main(["--data-dir", {str(data)!r}, "run", {str(strategy)!r}]))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 130, done.stderr
    names = sorted(p.name for p in (data / "kest" / "ticks").iterdir())
    assert names == ["2330 2024-01-02 - ticks.csv"]


@pytest.fixture
def tick_folder(tmp_path):
    folder = tmp_path / "ticks"
    folder.mkdir()
    header = ",".join(COLUMNS)
    good = f"{wall_ns('2024-01-02', 9)},100.0,1,99.5,2,100.5,3,1"
    (folder / "2330 2024-01-02 - ticks.csv").write_text(f"{header}\n{good}\n")
    bad = f"{wall_ns('2024-01-03', 9)},abc,1,99.5,2,100.5,3,1"
    (folder / "2330 2024-01-03 - ticks.csv").write_text(f"{header}\n{bad}\n")
    strategy = tmp_path / "idle.py"
    strategy.write_text(STRATEGY)
    return folder, strategy


@pytest.mark.parametrize("allow, status", [(False, 3), (True, 0)])
def test_a_day_that_could_not_be_loaded_fails_the_run(allow, status, tick_folder, console):
    folder, strategy = tick_folder
    argv = ["run", str(strategy), "--broker", "files", "--data", str(folder)]
    assert main(argv + (["--allow-missing-days"] if allow else [])) == status
    block = next(line for line in console.lines if "無法載入" in line)
    assert "2330 2024-01-03" in block and "close" in block


def test_a_run_without_ticks_says_why_per_code(tick_folder, console):
    folder, strategy = tick_folder
    argv = ["run", str(strategy), "--broker", "files", "--data", str(folder), "--start", "2024-01-06",
            "--end", "2024-01-07", "--allow-missing-days"]
    assert main(argv) == 3
    block = next(line for line in console.lines if "回放了 0 筆 Tick" in line)
    assert "2330: 週末休市" in block


@pytest.mark.parametrize(
    "failed, days, reason",
    [
        ([{"code": "2330", "date": "2024-01-02", "reason": "boom"}], ("2024-01-02", "2024-01-02"), "下載失敗: boom"),
        ([], ("2024-01-01", "2024-01-01"), "交易所休假日"),
        ([], ("2024-01-06", "2024-01-07"), "週末休市"),
        ([], ("2024-01-02", "2024-01-03"), "來源沒有資料"),
    ],
)
def test_empty_run_reasons(failed, days, reason):
    missing = missing_days.collect(failed, ONE, *days, replayed=0)
    assert missing.empty_codes == {"2330": reason}
    assert missing.exit_status(allow_missing_days=True) == 3
    assert missing_days.collect([], ONE, *days, replayed=5).exit_status(allow_missing_days=False) == 0
