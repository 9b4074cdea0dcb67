from __future__ import annotations

import os
from datetime import UTC, datetime

import polars as pl
import pytest
from report_fakes import FakePositions

from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.reports import export_trade_records, trade_export

COLUMNS = ["trade_id", "code", "action", "quantity", "price", "booked_price", "dt", "trade_status",
           "order_type", "limit_price", "stop_price", "reason"]


def record(trade_id: str, status: str = "Deal") -> dict:
    return {"trade_id": trade_id, "code": "2330", "action": "Buy", "quantity": 2, "price": 101.5,
            "dt": "2024-01-02 09:01:00.000000", "trade_status": status}


@pytest.fixture
def frozen_clock(monkeypatch):
    monkeypatch.setattr(trade_export, "exchange_now", lambda: datetime(2024, 1, 2, 9, 30, 5))


@pytest.mark.parametrize("records", [[], [record("1", "Order"), record("1")]], ids=["empty", "two"])
def test_export_writes_header_and_rows(records, data_dir, console, frozen_clock):
    path = export_trade_records(FakePositions(trade_records=records))

    assert path == os.path.join(str(data_dir), "2024-01-02 093005_trade_records.csv")
    df = pl.read_csv(path, infer_schema=False)
    assert df.columns == COLUMNS
    assert df.rows(named=True) == [dict({k: str(v) for k, v in r.items()}, booked_price=None, order_type=None,
                                        limit_price=None, stop_price=None, reason=None) for r in records]
    assert console.lines == ["[bold green]交易紀錄已匯出至: " + path + "[/bold green]"]


def test_export_in_the_same_second_overwrites(console, frozen_clock):
    first = export_trade_records(FakePositions(trade_records=[record("1"), record("2")]))
    second = export_trade_records(FakePositions(trade_records=[record("3")]))

    assert first == second
    assert pl.read_csv(second)["trade_id"].to_list() == [3]


def test_export_creates_missing_folders_and_names_by_exchange_time(monkeypatch, tmp_path, console):
    folder = tmp_path / "a" / "b"
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(folder))
    before = trade_export.exchange_now()
    path = export_trade_records(FakePositions(trade_records=[record("1")]))

    assert os.path.dirname(path) == str(folder) and os.path.exists(path)
    stamp = datetime.strptime(os.path.basename(path).removesuffix("_trade_records.csv"), "%Y-%m-%d %H%M%S")
    assert abs((stamp - before).total_seconds()) < 120


def test_exchange_now_is_utc_plus_offset():
    utc_now = datetime.now(UTC).replace(tzinfo=None)
    assert abs((trade_export.exchange_now() - utc_now).total_seconds() - 8 * 3600) < 60
