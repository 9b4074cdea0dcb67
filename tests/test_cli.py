from __future__ import annotations

import importlib.util
import io
import os

import pytest
from runner_fakes import END, FakeLedger, FakeQuotes, FakeTicker, minute_ticks

from rich.console import Console

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
    (ticks / "2330 2024-01-02 - ticks.csv").write_text("ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\n")
    strategy = tmp_path / "flip.py"
    strategy.write_text(STRATEGY)
    FakeTicker.records = minute_ticks("2330", "2024-01-02 09:00:00", [100.0, 103.0, 101.0, 104.0]) + [END]
    monkeypatch.setattr(session, "_modules", lambda: (FakeTicker, FakeLedger, FakeQuotes))
    return [str(strategy), "--broker", "files", "--data", str(ticks)]


def test_run_writes_records_reports_and_summary(fake_run, data_dir, monkeypatch, capsys):
    screen = Console(record=True, width=250, file=io.StringIO())
    monkeypatch.setattr(utils, "console", screen)
    assert main(["run", *fake_run]) == 0

    files = sorted(os.listdir(data_dir))
    assert any(name.endswith("_trade_records.csv") for name in files)
    assert {"2330-report.html", "2330-profit_report.html", "2330-profit_report.csv"} <= set(os.listdir(data_dir / "report"))
    assert FakeTicker.last.sent == [([{"code": "2330", "market": "Stock"}], "2024-01-02", "2024-01-02")]
    text = screen.export_text()
    assert "ticks/s" in text and "4 ticks" in text
    assert "交易次數" in text and "最大回撤" in text and "2330-report.html" in text
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("extra, message", [
    (["--codes", "9999:Stock"], "未知的商品代碼: 9999"),
    (["--start", "2024-01-05", "--end", "2024-01-02"], "早於開始日期"),
    (["--codes", "2330:Bond"], "代碼格式錯誤"),
])
def test_run_refuses_bad_input(fake_run, extra, message, capsys):
    assert main(["run", *fake_run, *extra]) == 2
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err


def test_run_refuses_missing_strategy_file(tmp_path, capsys):
    assert main(["run", str(tmp_path / "nope.py"), "--codes", "2330:Stock", "--start", "2024-01-02", "--end", "2024-01-02"]) == 2
    assert "找不到策略檔案" in capsys.readouterr().err


def test_strategy_error_exits_with_the_tick(fake_run, capsys):
    FakeTicker.records.insert(2, minute_ticks("2330", "2024-01-02 09:30:00", [13.0])[0])
    assert main(["run", *fake_run]) == 1
    err = capsys.readouterr().err
    assert "on_tick" in err and "2330 2024-01-02 09:30:00" in err and "KeyError" in err and "Traceback" not in err


def _missing_real_modules() -> str | None:
    try:
        from vorn_kest_backtest.modules.ticker.ticker import Ticker  # noqa: F401
        from vorn_kest_backtest.modules.positions.positions import Positions, QuoteManager  # noqa: F401
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
    reports = set(os.listdir(data_dir / "report"))
    assert {"2330-report.html", "2330-profit_report.html", "2330-profit_report.csv", "plotly.min.js"} <= reports
    assert any(name.endswith("_trade_records.csv") for name in os.listdir(data_dir))
