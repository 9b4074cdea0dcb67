"""Trade records of order events."""

from __future__ import annotations

import pytest

from vorn_kest_backtest.modules.positions.positions import Positions


def test_a_record_keeps_the_event_with_its_exchange_time():
    p = Positions()
    p.add_trade_record("T1", "2330", "Buy", 2, 100, 1704158100.25, "Deal")
    assert p.trade_records == [
        {"trade_id": "T1", "code": "2330", "action": "Buy", "quantity": 2, "price": 100.0,
         "dt": "2024-01-02 09:15:00.250000", "trade_status": "Deal"}
    ]
    assert list(p.trade_records[0]) == ["trade_id", "code", "action", "quantity", "price", "dt", "trade_status"]


def test_epoch_zero_is_eight_o_clock_local():
    record = Positions()._Positions__make_trade_record("T", "2330", "Sell", 1, 10.0, 0.0, "Order")
    assert record["dt"] == "1970-01-01 08:00:00.000000"


@pytest.mark.parametrize(("timestamp", "error"), [(1e12, ValueError), (1e300, OverflowError),
                                                  (float("nan"), ValueError)])
def test_a_timestamp_out_of_range_raises_and_appends_nothing(timestamp, error):
    p = Positions()
    with pytest.raises(error):
        p.add_trade_record("T", "2330", "Buy", 1, 10.0, timestamp, "Deal")
    assert p.trade_records == []


@pytest.mark.parametrize(
    ("args", "name"),
    [((1, "2330", "Buy", 1, 1.0, 0.0, "Deal"), "trade_id"), (("T", "2330", "Buy", 1.0, 1.0, 0.0, "Deal"), "quantity")],
)
def test_mistyped_record_fields_are_refused(args, name):
    p = Positions()
    with pytest.raises(TypeError, match=f"Argument '{name}'"):
        p.add_trade_record(*args)
    assert p.trade_records == []
