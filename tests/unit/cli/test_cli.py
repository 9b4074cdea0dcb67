from __future__ import annotations

import importlib.util
import io
import json
import os

import pytest
from rich.console import Console
from runner_fakes import END, FakeLedger, FakeQuotes, FakeTicker, minute_ticks

from vorn_kest_backtest import utils
from vorn_kest_backtest.cli import main
from vorn_kest_backtest.runner import session

STRATEGY = '''
from vorn_kest_backtest.runner import Strategy


class Flip(Strategy):
    codes = [("2330", "Stock")]
    start = "2024-01-02"
    end = "2024-01-02"

    def on_tick(self, tick, ctx):
        if tick["close"] == 13.0:
            raise KeyError("no such column")
        if ctx.positions("2330") == 0:
            ctx.buy("2330", 1)
        else:
            ctx.sell("2330", 1)
'''


@pytest.fixture
def fake_run(tmp_path, monkeypatch, console):
    """A strategy file, a tick folder for the files broker, and fake extension classes."""
    ticks = tmp_path / "ticks"
    ticks.mkdir()
    (ticks / "2330 2024-01-02 - ticks.csv").write_text(
        "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\n")
    strategy = tmp_path / "flip.py"
    strategy.write_text(STRATEGY)
    FakeTicker.records = minute_ticks("2330", "2024-01-02 09:00:00", [100.0, 103.0, 101.0, 104.0]) + [END]
    monkeypatch.setattr(session, "_modules", lambda: (FakeTicker, FakeLedger, FakeQuotes))
    return [str(strategy), "--broker", "files", "--data", str(ticks)]


def run_folders(data_dir) -> list:
    return sorted((data_dir / "runs").iterdir())


def test_run_writes_records_reports_and_summary(fake_run, data_dir, monkeypatch, capsys):
    screen = Console(record=True, width=250, file=io.StringIO())
    monkeypatch.setattr(utils, "console", screen)
    assert main(["run", *fake_run]) == 0

    [folder] = run_folders(data_dir)
    files = set(os.listdir(folder))
    assert any(name.endswith("_trade_records.csv") for name in files)
    assert {"2330-report.html", "2330-profit_report.html", "2330-profit_report.csv", "summary.json"} <= files
    assert FakeTicker.last.sent == [([{"code": "2330", "market": "Stock"}], "2024-01-02", "2024-01-02")]
    text = screen.export_text()
    assert "ticks/s" in text and "4 ticks" in text
    assert "交易次數" in text and "最大回撤" in text and "2330-report.html" in text
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("extra, message", [
    (["--codes", "9999:Stock"], "未知的商品代碼: 9999"),
    (["--start", "2024-01-05", "--end", "2024-01-02"], "早於開始日期"),
    (["--codes", "2330:Bond"], "代碼格式錯誤"),
    (["--tick-window", "week"],
     "tick_window 必須是 \"day\" (當日, 預設), \"all\" (全部) 或正整數 (最近幾個交易日): 'week'"),
    (["--tick-window", "0"], "tick_window 必須是"),
])
def test_run_refuses_bad_input(fake_run, extra, message, capsys):
    assert main(["run", *fake_run, *extra]) == 2
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err


def test_run_refuses_missing_strategy_file(tmp_path, capsys):
    args = ["run", str(tmp_path / "nope.py"), "--codes", "2330:Stock", "--start", "2024-01-02", "--end", "2024-01-02"]
    assert main(args) == 2
    assert "找不到策略檔案" in capsys.readouterr().err


def test_strategy_error_exits_with_the_tick(fake_run, capsys):
    FakeTicker.records.insert(2, minute_ticks("2330", "2024-01-02 09:30:00", [13.0])[0])
    assert main(["run", *fake_run]) == 1
    err = capsys.readouterr().err
    assert "on_tick" in err and "2330 2024-01-02 09:30:00" in err and "KeyError" in err and "Traceback" not in err


def _missing_real_modules() -> str | None:
    try:
        from vorn_kest_backtest.modules.positions.positions import Positions, QuoteManager  # noqa: F401
        from vorn_kest_backtest.modules.ticker.ticker import Ticker  # noqa: F401
    except ImportError as error:
        return f"extension classes not built yet: {error}"
    if importlib.util.find_spec("vorn_kest_backtest.brokers") is None:
        return "vorn_kest_backtest.brokers is missing"
    return None


@pytest.mark.skipif(_missing_real_modules() is not None, reason=str(_missing_real_modules()))
@pytest.mark.slow
@pytest.mark.timeout(600)
def test_demo_end_to_end(data_dir, capsys):
    assert main(["demo"]) == 0
    [folder] = run_folders(data_dir)
    reports = set(os.listdir(folder))
    assert {"2330-report.html", "2330-profit_report.html", "2330-profit_report.csv"} <= reports
    # plotly's script is not copied into every run folder: the data directory keeps one.
    assert "plotly.min.js" not in reports and (data_dir / "static" / "plotly.min.js").is_file()
    assert '<script src="../../static/plotly.min.js"></script>' in (folder / "2330-report.html").read_text("utf-8")
    assert any(name.endswith("_trade_records.csv") for name in reports)


PARAMS_STRATEGY = '''
from vorn_kest_backtest.runner import Strategy


class Tuned(Strategy):
    codes = [("2330", "Stock")]
    start = "2024-01-02"
    end = "2024-01-02"
    fast = 5
    ratio = 0.5
    seen = []

    def on_start(self, ctx):
        Tuned.seen.append((self.fast, self.ratio, self.initial_capital, ctx.codes))

    def on_tick(self, tick, ctx):
        ctx.kbar("1101")
'''


@pytest.fixture
def tuned(fake_run, tmp_path):
    path = tmp_path / "tuned.py"
    path.write_text(PARAMS_STRATEGY)
    return [str(path), *fake_run[1:]]


def test_params_capital_and_codes_reach_the_strategy(tuned, data_dir, console):
    assert main(["run", *tuned, "--param", "fast=10", "--param", "ratio=0.25", "--capital", "500000"]) == 0
    module = next(m for name, m in __import__("sys").modules.items() if name.startswith("vorn_user_strategy_tuned"))
    assert module.Tuned.seen[-1] == (10, 0.25, 500000, ("2330",))
    assert any(line.startswith("[yellow]") and "1101" in line for line in console.lines)
    [folder] = run_folders(data_dir)
    summary = json.loads((folder / "summary.json").read_text(encoding="utf-8"))
    assert summary["parameters"]["fast"] == 10 and summary["initial_capital"] == 500000
    assert summary["codes"] == [{"code": "2330", "market": "Stock"}] and "sharpe" in summary["figures"]


@pytest.mark.parametrize("extra, message", [
    (["--param", "slow=3"], "可用的參數: fast, ratio"),
    (["--param", "fast=ten"], "參數 fast 應為 int: 'ten'"),
    (["--param", "fast"], "參數格式錯誤"),
])
def test_bad_params_are_refused_before_the_run(tuned, extra, message, capsys):
    assert main(["run", *tuned, *extra]) == 2
    assert message in capsys.readouterr().err


def test_every_run_keeps_its_own_folder_and_output_dir_chooses_one(fake_run, data_dir, tmp_path, console):
    assert main(["run", *fake_run]) == 0
    assert main(["run", *fake_run, "--no-report"]) == 0
    first, second = run_folders(data_dir)
    assert "2330-report.html" in os.listdir(first) and "2330-report.html" not in os.listdir(second)
    assert "summary.json" in os.listdir(second)
    chosen = tmp_path / "mine"
    assert main(["run", *fake_run, "--output-dir", str(chosen)]) == 0
    assert "summary.json" in os.listdir(chosen) and len(run_folders(data_dir)) == 2


def test_data_dir_after_the_subcommand(fake_run, tmp_path, console):
    elsewhere = tmp_path / "elsewhere"
    assert main(["run", *fake_run, "--data-dir", str(elsewhere)]) == 0
    assert len(run_folders(elsewhere)) == 1


def test_quiet_prints_only_the_summary(fake_run, monkeypatch):
    screen = Console(record=True, width=250, file=io.StringIO())
    monkeypatch.setattr(utils, "console", screen)
    assert main(["run", *fake_run, "--quiet"]) == 0
    text = screen.export_text()
    assert "交易次數" in text and "ticks/s" not in text and "回測基本報告已產生" not in text


@pytest.mark.parametrize("debug", [False, True], ids=["short", "debug"])
def test_strategy_error_points_at_the_strategy_file_line(fake_run, data_dir, debug, capsys):
    FakeTicker.records.insert(2, minute_ticks("2330", "2024-01-02 09:30:00", [13.0])[0])
    assert main(["run", *fake_run, *(["--debug"] if debug else [])]) == 1
    err = capsys.readouterr().err
    assert f'File "{fake_run[0]}", line 12, in on_tick' in err and 'raise KeyError("no such column")' in err
    assert ("engine.py" in err) is debug
    log = (data_dir / "logs" / "vorn_kest_backtest.log").read_text(encoding="utf-8")
    assert "line 12, in on_tick" in log


@pytest.mark.parametrize(("extra", "profile"), [([], "tw_broker"), (["--fees", "table"], "table")])
def test_the_fee_profile_reaches_the_account_and_summary_json(fake_run, data_dir, console, extra, profile):
    assert main(["run", *fake_run, *extra]) == 0
    [folder] = run_folders(data_dir)
    cost_model = json.loads((folder / "summary.json").read_text(encoding="utf-8"))["cost_model"]
    assert cost_model["profile"] == {"name": profile}
    assert {"stock", "future"} <= cost_model.keys()


def test_an_unknown_fee_profile_is_refused_by_the_command_line(fake_run, capsys):
    with pytest.raises(SystemExit):
        main(["run", *fake_run, "--fees", "cheap"])
    assert "cheap" in capsys.readouterr().err
