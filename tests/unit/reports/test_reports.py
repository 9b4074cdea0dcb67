from __future__ import annotations

import copy
import json
import os
import re
from pathlib import Path

import pandas as pd
import pytest
from report_fakes import FakePositions, FakeQuoteManager, daily_bars, minute_bars, profit_row

from vorn_kest_backtest.reports import generate_qs_profit_report, generate_standard_report
from vorn_kest_backtest.reports.standard import build_standard_context

ROWS = [
    profit_row("2330", "2024-01-02 09:05:00", "2024-01-02 10:15:30", 1500.0),
    profit_row("2317", "2024-01-02 09:06:00", "2024-01-03 09:10:00", -50.0),
    profit_row("2330", "2024-01-03 09:20:00", "2024-01-04 13:00:00", -700.0, entry_action="Sell"),
]
DAYS = ["2024-01-01", "2024-01-02", "2024-01-03", "2024-01-04"]


def quotes(with_benchmark: bool) -> FakeQuoteManager:
    bars = {("2330", "m"): minute_bars("2330", "2024-01-02 09:00:00", 300)}
    if with_benchmark:
        bars[("0050", "d")] = daily_bars("0050", DAYS)
    return FakeQuoteManager(bars)


def script_value(html: str, name: str):
    found = re.search(rf"const {name} = (.*?);\n", html)
    assert found, name
    return json.loads(found.group(1))


def test_standard_context_keys_and_values():
    positions = FakePositions(ROWS)
    context = build_standard_context(positions, "2330", quotes(False))

    assert {"kbar_df", "profit_rows", "profit_rows_json", "include_profit_rows", "fee_settings", "account_info",
            "initial_capital", "current_capital", "qs_report_path"} <= context.keys()
    bars = json.loads(context["kbar_df"])
    assert len(bars) == 300 and list(bars[0]) == ["time", "code", "Open", "High", "Low", "Close", "Volume"]
    assert bars[0]["time"] == "2024-01-02 09:00:00"
    assert [(r["entry_dt"], r["exit_dt"]) for r in context["profit_rows"]] == [
        ("2024-01-02 09:05:00", "2024-01-02 10:15:30"), ("2024-01-03 09:20:00", "2024-01-04 13:00:00")]
    assert json.loads(context["profit_rows_json"]) == context["profit_rows"]
    assert [(p["kind"], p["side"], p["dt"], p["price"]) for p in context["trade_points"]] == [
        ("entry", "long", "2024-01-02 09:05:00", 100.0), ("exit", "long", "2024-01-02 10:15:30", 101.0),
        ("entry", "short", "2024-01-03 09:20:00", 100.0), ("exit", "short", "2024-01-04 13:00:00", 101.0)]
    assert context["fee_settings"] is positions._fee_settings
    assert context["account_info"] is positions._account_infos["2330"] and context["account_info"]["profit"] == 0
    assert context["qs_report_path"].endswith(os.path.join("report", "2330-profit_report.html"))


def test_standard_page_is_offline_and_escaped(data_dir, console):
    positions = FakePositions([dict(ROWS[0], code="<i>x")])
    path = generate_standard_report(positions, "<i>x", quotes(False))

    html = Path(path).read_text(encoding="utf-8")
    assert "<i>x" not in html and "&lt;i&gt;x" in html
    # One copy of plotly per data directory, loaded by a relative path.
    assert '<script src="../static/plotly.min.js"></script>' in html and "://" not in re.sub(r"<a [^>]*>", "", html)
    assert os.path.getsize(os.path.join(os.path.dirname(path), "..", "static", "plotly.min.js")) > 1_000_000
    assert not os.path.exists(os.path.join(os.path.dirname(path), "plotly.min.js"))
    assert len(script_value(html, "points")) == 2
    assert 'href="&lt;i&gt;x-profit_report.html"' in html
    assert console.lines == ["[bold green]產生 <i>x 的回測報告...[/bold green]",
                             "[bold green]回測基本報告已產生: " + path + "[/bold green]"]


def read_csv(path: str) -> pd.DataFrame:
    raw = Path(path).read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf")
    return pd.read_csv(path, encoding="utf-8-sig")


@pytest.mark.parametrize("with_benchmark", [True, False], ids=["benchmark", "no-benchmark"])
def test_performance_report_and_csv(with_benchmark, data_dir, console):
    quote_manager = quotes(with_benchmark)
    html_path = generate_qs_profit_report(FakePositions(ROWS), quote_manager, "2330")

    csv_path = html_path.replace(".html", ".csv")
    page = Path(html_path).read_text(encoding="utf-8")
    assert "進階損益報告" in page and ("Benchmark is 0050" in page) is with_benchmark
    df = read_csv(csv_path)
    assert list(df.columns) == [*ROWS[0], "entry_booked_price", "exit_booked_price"] and len(df) == 2
    assert list(df["exit_dt"]) == ["2024-01-02 10:15:30", "2024-01-04 13:00:00"]
    assert ("0050", "d", 1) in quote_manager.calls
    warned = any(line.startswith("[yellow]") and "0050" in line for line in console.lines)
    assert warned is not with_benchmark
    assert console.lines[-2:] == ["[bold green]進階損益報告已產生: " + html_path + "[/bold green]",
                                  "[bold green]損益報告 CSV 已產生: " + csv_path + "[/bold green]"]


def test_performance_report_accepts_text_datetimes(console):
    rows = [dict(ROWS[0], entry_dt="2024-01-02 09:05:00", exit_dt="2024-01-02 10:15:30")]
    html_path = generate_qs_profit_report(FakePositions(rows), quotes(True), "2330")
    assert list(read_csv(html_path.replace(".html", ".csv"))["exit_dt"]) == ["2024-01-02 10:15:30"]


def test_performance_report_without_rows(data_dir, console):
    assert generate_qs_profit_report(FakePositions(ROWS), quotes(True), "2454") is None
    assert console.lines == ["[red]尚未有損益報告資料, 無法產生進階績效報告[/red]"]
    assert not os.path.exists(data_dir / "report" / "2454-profit_report.csv")


@pytest.mark.parametrize("order", [("standard", "performance"), ("performance", "standard")])
def test_reports_in_either_order_twice_leave_rows_untouched(order, console):
    positions = FakePositions(copy.deepcopy(ROWS))
    quote_manager = quotes(True)
    makers = {
        "standard": lambda: generate_standard_report(positions, "2330", quote_manager),
        "performance": lambda: generate_qs_profit_report(positions, quote_manager, "2330"),
    }
    for _ in range(2):
        for name in order:
            makers[name]()
        assert positions._profit_report["rows"] == ROWS

    csv = read_csv(os.path.join(os.path.dirname(makers["standard"]()), "2330-profit_report.csv"))
    assert pd.to_datetime(csv["exit_dt"]).dt.year.tolist() == [2024, 2024]


@pytest.mark.parametrize(("profile", "shown"), [
    ({"name": "tw_broker", "fee_discount": 0.6, "min_fee": 20.0, "future_fee_per_contract": 50.0},
     ["<strong>tw_broker</strong>", "折扣 0.6", "每筆最低 20.0 元", "期貨每口每邊 50.0 元"]),
    ({"name": "table"}, ["<strong>table</strong>", "依下表的費率計算"]),
])
def test_standard_page_shows_the_fee_profile_in_use(data_dir, console, profile, shown):
    positions = FakePositions(ROWS)
    positions.fee_profile = profile
    html = Path(generate_standard_report(positions, "2330", quotes(False))).read_text(encoding="utf-8")
    section = html[html.index('id="fee-profile"'):html.index('id="fee-settings"')]
    assert all(text in section for text in shown)
