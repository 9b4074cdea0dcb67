from datetime import date, datetime

import pytest

from vorn_kest_backtest import utils
from vorn_kest_backtest.constant import BASIC_INFO, FLAG, Action, FutureIndexContractValue, OrderCond


def test_enum_values_are_the_broker_words():
    assert Action.BUY.value == "Buy" and Action.SELL.value == "Sell"
    assert FLAG.exit_send_tick.value != FLAG.finish_backfilling.value
    assert {"CASH", "MARGIN_TRADING", "SHORT_SELLING"} <= set(OrderCond.__members__)


@pytest.mark.parametrize(
    ("code", "value"),
    [("TXFR1", 200), ("TXFR2", 200), ("MXFR1", 50), ("TMFR1", 10), ("EXFR1", 4000), ("FXFR2", 1000)],
)
def test_index_futures_multipliers(code, value):
    assert FutureIndexContractValue[code] == value


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("2024-01-02", datetime(2024, 1, 2)),
        ("2024-01-02 09:01:02", datetime(2024, 1, 2, 9, 1, 2)),
        ("2024-01-02 09:01:02.500000", datetime(2024, 1, 2, 9, 1, 2, 500000)),
        (date(2024, 1, 2), datetime(2024, 1, 2)),
    ],
)
def test_format_to_dt_accepts_the_three_text_forms_and_dates(text, expected):
    assert utils.format_to_dt(text) == expected


@pytest.mark.parametrize("bad", ["2024/01/02", "", "yesterday", 20240102])
def test_format_to_dt_names_the_refused_value(bad):
    with pytest.raises(ValueError, match=repr(bad).replace("/", ".")[:6] if bad else "''"):
        utils.format_to_dt(bad)


def test_nano_timestamps_are_exchange_wall_clock():
    local_0900 = datetime(2024, 1, 2, 9, 0)
    wall_0900 = int(local_0900.timestamp() - local_0900.astimezone().utcoffset().total_seconds()) * 10**9
    # 09:00 Taipei written as if it were UTC is 01:00 UTC in true epoch seconds.
    assert utils.format_nano_ts_to_second_ts(wall_0900, 8) == wall_0900 / 1e9 - 8 * 3600


def test_logger_writes_under_the_current_data_dir(data_dir):
    utils.logger.error("boom")
    for handler in utils.logger.handlers:
        handler.flush()
    assert "boom" in (data_dir / "logs" / "vorn_kest_backtest.log").read_text(encoding="utf-8")


def test_make_dir_creates_parents_and_tolerates_existing(tmp_path):
    target = tmp_path / "a" / "b"
    utils.make_dir(target)
    utils.make_dir(target)
    assert target.is_dir()
    assert BASIC_INFO.utc_offset_hours == 8
