from datetime import UTC, date, datetime, timedelta

import numpy as np
import polars as pl
import pytest
from polars.testing import assert_series_equal

from vorn_kest_backtest.brokers import FileBroker, SimulatedBroker
from vorn_kest_backtest.brokers.columns import TICK_COLUMNS
from vorn_kest_backtest.modules.market.market import listed_holidays, on_grid, price_grid_for, tick_below, tick_size

STOCKS = ["2330", "2317", "2454", "0050", "00878"]
FUTURES = ["TXFR1", "MXFR1", "TMFR1"]
SCHEMA = dict(zip(
    TICK_COLUMNS, [pl.Int64, pl.Float64, pl.Int64, pl.Float64, pl.Int64, pl.Float64, pl.Int64, pl.Int64], strict=True
))


def contract_of(broker, code):
    return broker.Contracts.Stocks[code] if code[0].isdigit() else broker.Contracts.Futures[code]


def frame(broker, code, day):
    ticks = broker.ticks(contract=contract_of(broker, code), date=day)
    return pl.DataFrame({name: ticks[name] for name in ticks.keys()}, schema=SCHEMA)


def wall_clock(frame_):
    return [datetime.fromtimestamp(ts / 1e9, UTC).replace(tzinfo=None) for ts in frame_["ts"]]


def days(first, last):
    day = date.fromisoformat(first)
    while day <= date.fromisoformat(last):
        yield day
        day += timedelta(days=1)


@pytest.fixture(scope="module")
def broker():
    return SimulatedBroker(ticks_per_day=400)


@pytest.mark.parametrize("code", ["2330", "0050", "TXFR1"])
def test_same_seed_and_day_give_identical_ticks_and_other_days_or_seeds_differ(code):
    a, b = SimulatedBroker(seed=7), SimulatedBroker(seed=7)
    assert a.ticks(contract=contract_of(a, code), date="2024-03-05") == b.ticks(
        contract=contract_of(b, code), date="2024-03-05"
    )
    one = frame(a, code, "2024-03-05")
    assert not one.equals(frame(a, code, "2024-03-06"))
    assert not one.equals(frame(SimulatedBroker(seed=8), code, "2024-03-05"))


def test_index_futures_share_their_price_path_but_not_their_tape(broker):
    # The day session alone: a calendar day cuts the night sessions at midnight, at each tape's own tick.
    day_session = (pl.col("ts") % 86_400_000_000_000).is_between(8 * 3_600_000_000_000, 14 * 3_600_000_000_000)
    large, mini = (frame(broker, code, "2024-03-05").filter(day_session) for code in ("TXFR1", "MXFR1"))
    assert_series_equal(large["close"], mini["close"])
    assert not large["ts"].equals(mini["ts"])


def test_answer_is_the_eight_columns_with_plain_python_values(broker):
    ticks = broker.ticks(contract=broker.Contracts.Stocks["2330"], date="2024-03-05")
    assert tuple(ticks.keys()) == TICK_COLUMNS
    assert type(ticks["ts"][0]) is int and type(ticks["close"][0]) is float and type(ticks["tick_type"][0]) is int
    assert len({len(ticks[name]) for name in TICK_COLUMNS}) == 1


@pytest.mark.parametrize("code", STOCKS)
def test_stock_ticks_lie_in_the_session_of_trading_days_only(broker, code):
    # Spans the 2024 Lunar New Year closure, weekends and 228.
    for day in days("2024-02-05", "2024-03-01"):
        got = frame(broker, code, day.isoformat())
        trading = day.weekday() < 5 and day not in listed_holidays()
        assert got.height == (400 if trading else 0), day
        stamps = wall_clock(got)
        assert all(datetime.combine(day, datetime.min.time()).replace(hour=9) <= t for t in stamps)
        assert all(t <= datetime.combine(day, datetime.min.time()).replace(hour=13, minute=30) for t in stamps)
        assert got["ts"].is_sorted()


@pytest.mark.parametrize("day", ["2024-03-04", "2024-03-05"])
def test_stock_tape_has_auction_prints_at_the_open_and_close_and_no_trade_in_the_closing_call(broker, day):
    stamps = wall_clock(frame(broker, "2330", day))
    opening, closing_call, close = (datetime.fromisoformat(f"{day} {t}") for t in ("09:00", "13:25", "13:30"))
    assert stamps[0] == opening and stamps[-1] == close
    assert all(t < closing_call for t in stamps[1:-1])


def _futures_window(t):
    minutes = t.hour * 60 + t.minute + (t.second + t.microsecond / 1e6) / 60
    return minutes <= 5 * 60 or 8 * 60 + 45 <= minutes <= 13 * 60 + 45 or minutes >= 15 * 60


@pytest.mark.parametrize("code", FUTURES)
def test_futures_ticks_lie_in_day_and_night_sessions_of_the_queried_calendar_day(broker, code):
    for day in days("2024-02-05", "2024-03-04"):
        got = frame(broker, code, day.isoformat())
        stamps = wall_clock(got)
        assert all(t.date() == day and _futures_window(t) for t in stamps), day
        assert got["ts"].is_sorted()
        previous_trading = (day - timedelta(days=1)).weekday() < 5 and day - timedelta(days=1) not in listed_holidays()
        trading = day.weekday() < 5 and day not in listed_holidays()
        if day in listed_holidays() or day.weekday() == 6:
            assert got.height == 0, day
        if day.weekday() == 5:
            assert all(t.hour < 5 or t == t.replace(hour=5, minute=0, second=0, microsecond=0) for t in stamps)
        assert any(t.hour < 5 for t in stamps) == (previous_trading and day not in listed_holidays()), day
        assert any(t.hour >= 15 for t in stamps) == trading, day


def test_friday_night_session_runs_into_saturday_morning(broker):
    saturday = wall_clock(frame(broker, "TXFR1", "2024-03-02"))
    assert saturday and max(saturday) <= datetime(2024, 3, 2, 5, 0) and min(saturday) >= datetime(2024, 3, 2)


def test_holiday_table_is_the_packaged_one_unless_one_is_given():
    assert date(2024, 2, 28) in listed_holidays() and date(2024, 2, 29) not in listed_holidays()
    assert frame(SimulatedBroker(ticks_per_day=10, holidays=[]), "2330", "2024-02-28").height == 10
    assert frame(SimulatedBroker(ticks_per_day=10, holidays=[date(2024, 3, 5)]), "2330", "2024-03-05").height == 0


@pytest.mark.parametrize(
    ("code", "market", "price", "size"),
    [
        ("2330", "Stock", 9.99, 0.01),
        ("2330", "Stock", 10.0, 0.05),
        ("2330", "Stock", 49.95, 0.05),
        ("2330", "Stock", 50.0, 0.1),
        ("2330", "Stock", 100.0, 0.5),
        ("2330", "Stock", 999.0, 1.0),
        ("2330", "Stock", 1000.0, 5.0),
        ("0050", "Stock", 49.99, 0.01),
        ("0050", "Stock", 150.0, 0.05),
        ("TXFR1", "Future", 17501.0, 1.0),
    ],
)
def test_tick_size_bands(code, market, price, size):
    assert tick_size(np.array([price]), price_grid_for(code, market))[0] == pytest.approx(size)


# Start prices on band bounds make the walk cross from one tick size to the next.
EDGE_STOCKS = {"9910": 10.0, "9950": 50.0, "9999": 100.0, "9100": 1000.0, "00990": 50.0}


@pytest.mark.parametrize("code", STOCKS + FUTURES + list(EDGE_STOCKS))
def test_prices_on_the_grid_and_quotes_one_tick_around_the_trade(code):
    broker = SimulatedBroker(ticks_per_day=2000, extra_stocks=EDGE_STOCKS)
    got = pl.concat([frame(broker, code, day) for day in ("2024-03-04", "2024-03-05", "2024-03-06")])
    bands = price_grid_for(code, "Stock" if code[0].isdigit() else "Future")
    close, bid, ask = (got[name].to_numpy() for name in ("close", "bid_price", "ask_price"))
    for prices in (close, bid, ask):
        assert on_grid(prices, bands).all()
    assert (bid <= close).all() and (close <= ask).all() and (bid < ask).all()
    kind = got["tick_type"].to_numpy()
    spread = np.where(kind == 1, 0, tick_size(close, bands)) + np.where(kind == 2, 0, tick_below(close, bands))
    assert np.allclose(ask - bid, spread)
    assert set(got["tick_type"].unique()) == {0, 1, 2}
    assert (got["volume"] > 0).all() and (got["bid_volume"] > 0).all() and (got["ask_volume"] > 0).all()
    trades = got.filter(pl.col("tick_type") == 1)
    assert (trades["close"] == trades["ask_price"]).all()


@pytest.mark.parametrize("make", [lambda tmp: SimulatedBroker(), lambda tmp: FileBroker(tmp)])
@pytest.mark.parametrize(("family", "code"), [("Stocks", "123"), ("Futures", "NOPE1"), ("Stocks", "TXFR1")])
def test_unknown_code_is_a_key_error_naming_it(tmp_path, make, family, code):
    with pytest.raises(KeyError, match=code):
        getattr(make(tmp_path).Contracts, family)[code]


def test_contract_of_another_broker_is_refused(tmp_path):
    (tmp_path / "2330").mkdir()
    (tmp_path / "2330" / "2024-03-05.csv").write_text(",".join(TICK_COLUMNS) + "\n")
    with pytest.raises(KeyError, match="2330"):
        SimulatedBroker().ticks(contract=FileBroker(tmp_path).Contracts.Stocks["2330"], date="2024-03-05")


def test_not_logged_in_broker_is_falsy_and_cannot_query():
    broker = SimulatedBroker(logged_in=False)
    assert not broker and SimulatedBroker()
    with pytest.raises(RuntimeError):
        broker.ticks(contract=broker.Contracts.Stocks["2330"], date="2024-03-05")


@pytest.mark.parametrize("text", ["2024-3-5", "2024/03/05", "2024-03-05 09:00:00", "../etc"])
def test_query_day_must_be_the_iso_form(broker, text):
    with pytest.raises(ValueError, match="日期格式"):
        broker.ticks(contract=broker.Contracts.Stocks["2330"], date=text)


def _write(path, table, kind):
    path.parent.mkdir(parents=True, exist_ok=True)
    table.write_parquet(path) if kind == "parquet" else table.write_csv(path)


@pytest.mark.parametrize(
    ("code", "relative", "kind"),
    [
        ("2330", "2330 2024-03-05 - ticks.csv", "csv"),
        ("0050", "0050/2024-03-05.csv", "csv"),
        ("TXFR1", "TXFR1/2024-03-05.parquet", "parquet"),
    ],
)
def test_file_broker_serves_back_what_was_written(broker, tmp_path, code, relative, kind):
    original = broker.ticks(contract=contract_of(broker, code), date="2024-03-05")
    _write(tmp_path / relative, pl.DataFrame(original, schema=SCHEMA).with_columns(note=pl.lit("x")), kind)
    files = FileBroker(tmp_path)
    contract = contract_of(files, code)
    assert files.ticks(contract=contract, date="2024-03-05") == original
    # A weekend day without a file has no ticks; a weekday without one is a missing day.
    assert files.ticks(contract=contract, date="2024-03-09") == {name: [] for name in TICK_COLUMNS}
    with pytest.raises(ValueError, match=f"缺少 {code} 2024-03-06"):
        files.ticks(contract=contract, date="2024-03-06")


def test_file_broker_market_from_mapping_before_rule(tmp_path):
    for code in ("2330", "TXFR1", "ABC"):
        _write(tmp_path / code / "2024-03-05.csv", pl.DataFrame(schema=SCHEMA), "csv")
    files = FileBroker(tmp_path, markets={"ABC": "Stock"})
    assert set(files.Contracts.Stocks) == {"2330", "ABC"} and set(files.Contracts.Futures) == {"TXFR1"}


NINE_TAIPEI_NS = int(datetime(2024, 3, 5, 9, 0, 0, 250000, tzinfo=UTC).timestamp() * 1e6) * 1000


@pytest.mark.parametrize(
    ("ts", "kind"),
    [
        (pl.Series("ts", ["2024-03-05 09:00:00.250000"]), "csv"),
        (pl.Series("ts", [datetime(2024, 3, 5, 9, 0, 0, 250000)]), "parquet"),
        (pl.Series("ts", [datetime(2024, 3, 5, 1, 0, 0, 250000)]).dt.replace_time_zone("UTC"), "parquet"),
    ],
)
def test_file_broker_reads_date_times_as_taipei_wall_clock(tmp_path, ts, kind):
    row = pl.DataFrame({name: [1] for name in TICK_COLUMNS}).with_columns(ts)
    _write(tmp_path / "2330" / f"2024-03-05.{kind}", row, kind)
    files = FileBroker(tmp_path)
    assert files.ticks(contract=files.Contracts.Stocks["2330"], date="2024-03-05")["ts"] == [NINE_TAIPEI_NS]


GOOD_ROW = {"ts": "1709629200000000000", "close": "580.0", "volume": "2", "bid_price": "579.0",
            "bid_volume": "3", "ask_price": "580.0", "ask_volume": "4", "tick_type": "1"}


@pytest.mark.parametrize(
    ("content", "problem"),
    [
        (",".join(name for name in TICK_COLUMNS if name != "close") + "\n", "缺少欄位: close"),
        (",".join(GOOD_ROW) + "\n" + ",".join(GOOD_ROW.values()).replace("580.0,2", "abc,2", 1) + "\n",
         "欄位 close 第 1 筆"),
        (",".join(GOOD_ROW) + "\n" + ",".join(GOOD_ROW.values()) + "\n" + ",".join(GOOD_ROW.values())[:-1] + "1.5\n",
         "欄位 tick_type 第 2 筆"),
        (",".join(GOOD_ROW) + "\n" + ",".join(GOOD_ROW.values()).replace("1709629200000000000", "noon") + "\n",
         "欄位 ts 第 1 筆"),
    ],
)
def test_bad_csv_file_is_a_value_error_naming_file_and_problem(tmp_path, content, problem):
    path = tmp_path / "2330 2024-03-05 - ticks.csv"
    path.write_text(content)
    files = FileBroker(tmp_path)
    with pytest.raises(ValueError, match=problem) as raised:
        files.ticks(contract=files.Contracts.Stocks["2330"], date="2024-03-05")
    assert str(path) in str(raised.value)


def test_bad_parquet_and_doubled_days_are_value_errors_naming_the_files(tmp_path):
    (tmp_path / "TXFR1").mkdir()
    (tmp_path / "TXFR1" / "2024-03-05.parquet").write_bytes(b"not parquet")
    (tmp_path / "TXFR1" / "2024-03-06.parquet").write_bytes(b"not parquet")
    (tmp_path / "TXFR1" / "2024-03-06.csv").write_text(",".join(TICK_COLUMNS) + "\n")
    files = FileBroker(tmp_path)
    contract = files.Contracts.Futures["TXFR1"]
    with pytest.raises(ValueError, match="2024-03-05.parquet"):
        files.ticks(contract=contract, date="2024-03-05")
    with pytest.raises(ValueError, match="多個") as raised:
        files.ticks(contract=contract, date="2024-03-06")
    assert "2024-03-06.csv" in str(raised.value) and "2024-03-06.parquet" in str(raised.value)
