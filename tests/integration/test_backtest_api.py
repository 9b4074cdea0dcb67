"""`backtest(...)` from Python: a class defined in the caller, results as frames equal to the run's own files,
and ticks fed from a DataFrame equal to the same ticks served from files."""

from __future__ import annotations

import json
import math
import os
from datetime import date, datetime

import pandas as pd
import polars as pl
import pytest

import vorn_kest_backtest as vkb
from vorn_kest_backtest.brokers import SimulatedBroker
from vorn_kest_backtest.brokers.columns import TICK_COLUMNS
from vorn_kest_backtest.runner import Unit
from vorn_kest_backtest.runner.errors import BacktestInputError

TIME = pl.Datetime("us")
EXPECTED_COLUMNS = {
    "trades": {
        "code": pl.String, "side": pl.String, "quantity": pl.Int64, "entry_time": TIME, "entry_quoted": pl.Float64,
        "entry_price": pl.Float64, "exit_time": TIME, "exit_quoted": pl.Float64, "exit_price": pl.Float64,
        "entry_cost": pl.Float64, "exit_cost": pl.Float64, "profit": pl.Float64, "return": pl.Float64,
    },
    "orders": {
        "trade_id": pl.String, "code": pl.String, "action": pl.String, "quantity": pl.Int64,
        "order_type": pl.String, "limit_price": pl.Float64, "stop_price": pl.Float64, "placed_at": TIME,
        "status": pl.String, "reason": pl.String, "fill_price": pl.Float64, "filled_quantity": pl.Int64,
        "filled_at": TIME,
    },
    "fills": {
        "trade_id": pl.String, "code": pl.String, "action": pl.String, "quantity": pl.Int64, "price": pl.Float64,
        "booked_price": pl.Float64, "time": TIME,
    },
    "equity": {"time": TIME, "cash": pl.Float64, "equity": pl.Float64, "margin_in_use": pl.Float64},
    "daily": {"date": pl.Date, "equity": pl.Float64, "return": pl.Float64},
    "open_positions": {
        "code": pl.String, "contract": pl.String, "market": pl.String, "side": pl.String, "quantity": pl.Int64,
        "entry_price": pl.Float64, "last_price": pl.Float64, "unrealised": pl.Float64,
    },
}


def notebook_strategy() -> type[vkb.Strategy]:
    # Defined inside a function, as a notebook cell defines it: no file, no importable module.
    class HalfHourSwing(vkb.Strategy):
        codes = [("2330", "Stock")]
        start = "2024-03-04"
        end = "2024-03-06"
        lots = 1

        def on_start(self, ctx: vkb.Context) -> None:
            ctx.subscribe("2330", "m", 30)

        def on_bar(self, bar: vkb.Bar, ctx: vkb.Context) -> None:
            held = ctx.positions("2330")
            if held == 0:
                ctx.buy("2330", self.lots)
            elif bar.close > 0:
                # A limit far below the market stays open and is cancelled at the close: an order that never fills.
                ctx.buy("2330", self.lots, price=round(bar.close * 0.95))
                ctx.sell("2330", held)

        def on_finish(self, ctx: vkb.Context) -> None:
            # Left open, so the result has an open position.
            ctx.buy("2330", self.lots, fill="this_tick")

    return HalfHourSwing


def _figure(value):
    return None if isinstance(value, float) and not math.isfinite(value) else value


def test_a_notebook_class_gives_frames_equal_to_the_run_files(tmp_path, capsys):
    out = tmp_path / "run"
    result = vkb.backtest(notebook_strategy(), output_dir=out, params={"lots": 2}, capital=3_000_000)
    assert capsys.readouterr() == ("", "")

    for name, columns in EXPECTED_COLUMNS.items():
        assert dict(getattr(result, name).schema) == columns, name
        assert getattr(result, name).to_pandas().shape == getattr(result, name).shape

    document = json.loads((out / "summary.json").read_text(encoding="utf-8"))
    assert {name: _figure(value) for name, value in result.stats.items()} == document["figures"]
    assert document["parameters"]["lots"] == 2
    assert result.open_positions.to_dicts() == document["open_positions"]
    assert result.open_positions.height == 1

    records = pl.read_csv(document["files"]["交易紀錄"], infer_schema=False).with_columns(
        pl.col("quantity").cast(pl.Int64), pl.col("price", "booked_price").cast(pl.Float64))
    deals = records.filter(pl.col("trade_status") == "Deal")
    assert result.fills.select("trade_id", "code", "action", "quantity", "price", "booked_price").to_dicts() == (
        deals.select("trade_id", "code", "action", "quantity", "price", "booked_price").to_dicts())
    assert result.fills["time"].to_list() == [datetime.fromisoformat(text) for text in deals["dt"]]
    assert sorted(result.orders["trade_id"].to_list(), key=int) == sorted(records["trade_id"].unique(), key=int)
    cancelled = set(records.filter(pl.col("trade_status") == "Cancel")["trade_id"])
    assert cancelled and set(result.orders.filter(pl.col("status") == "Cancelled")["trade_id"]) == cancelled
    assert set(result.orders.filter(pl.col("order_type") == "Limit")["trade_id"]) <= cancelled
    assert (result.orders["quantity"] == 2).all()

    stats = result.stats
    assert result.trades.height == stats["trades"]
    assert result.trades["profit"].sum() == pytest.approx(stats["net_profit"])
    assert (result.trades["entry_price"] >= result.trades["entry_quoted"]).all()
    assert result.equity["equity"][-1] == stats["final_capital"]
    assert result.daily.height == stats["trading_days"]
    assert result.daily["date"].to_list() == [date(2024, 3, 4), date(2024, 3, 5), date(2024, 3, 6)]
    assert result.daily["equity"][-1] == stats["final_capital"]

    assert "淨損益" in result._repr_html_() and "<svg" in result._repr_html_()
    assert [trace.name for trace in result.plot().data] == ["權益", "回撤"]
    assert sorted(result.to_pandas()) == sorted(EXPECTED_COLUMNS)


def test_report_writes_the_html_reports_and_returns_their_paths(tmp_path, capsys):
    result = vkb.backtest(notebook_strategy())
    assert not (tmp_path / "data" / "runs").exists()
    paths = result.report(tmp_path / "reports")
    assert capsys.readouterr() == ("", "")
    assert paths["2330 回測報告"].endswith(".html") and os.path.isfile(paths["2330 回測報告"])
    assert os.path.isfile(paths["交易紀錄"])


class Bracketed(vkb.Strategy):
    codes = [("2330", "Stock")]
    start = "2024-03-04"
    end = "2024-03-04"

    def on_tick(self, tick, ctx):
        if not ctx.positions("2330") and not ctx.orders("2330"):
            ctx.buy("2330", 1, take_profit=tick["close"] + 2, stop_loss=tick["close"] - 2)


def test_the_exit_orders_of_a_bracket_are_orders_with_their_own_types():
    result = vkb.backtest(Bracketed)
    types = result.orders.group_by("order_type").len().sort("order_type")
    assert set(types["order_type"]) == {"Market", "Limit", "Stop"}
    limits = result.orders.filter(pl.col("order_type") == "Limit")
    assert limits["limit_price"].is_not_null().all()
    assert result.orders.filter(pl.col("order_type") == "Stop")["stop_price"].is_not_null().all()


def test_an_instance_and_its_parameters_run_as_given():
    strategy = notebook_strategy()()
    result = vkb.backtest(strategy, params={"lots": 3}, end="2024-03-04", capital=5_000_000)
    assert result.stats["initial_capital"] == 5_000_000
    assert (result.fills["quantity"] == 3).all()


@pytest.mark.parametrize(("arguments", "message"), [
    ({"params": {"nope": 1}}, "策略沒有參數 nope"),
    ({"broker": "files"}, "data="),
    ({"broker": "ftp"}, "不支援的 broker"),
    ({"slippage_ticks": -1}, "滑價跳動數"),
    ({"tick_window": 0}, "tick_window 必須是.*: 0"),
    ({"tick_window": "week"}, "tick_window 必須是.*'week'"),
])
def test_bad_arguments_are_refused_before_the_replay(arguments, message):
    with pytest.raises(BacktestInputError, match=message):
        vkb.backtest(notebook_strategy(), **arguments)


LONGER_BARS: list[tuple[Unit, int]] = [("m", 7), ("h", 2), ("d", 1)]


class ManyLengths(vkb.Strategy):
    """Trades on indicators and on bars asked for at lengths nothing subscribed, the first time days into the run."""

    codes = [("TXFR1", "Future")]
    start = "2024-03-04"
    end = "2024-03-13"

    def on_start(self, ctx: vkb.Context) -> None:
        self.fast = ctx.indicator("TXFR1", "m", 5, "ema", 6)
        self.slow = ctx.indicator("TXFR1", "h", 1, "sma", 3)
        self.seen: list = []

    def on_bar(self, bar: vkb.Bar, ctx: vkb.Context) -> None:
        if bar.dt.hour == 10 and bar.dt.minute == 0 and bar.unit == "m":
            self.seen.append([ctx.kbar("TXFR1", unit, freq).rows() for unit, freq in LONGER_BARS])
        held = ctx.positions("TXFR1")
        if self.fast.value > self.slow.value and held <= 0:
            ctx.buy("TXFR1", 1 - held)
        elif self.fast.value < self.slow.value and held >= 0:
            ctx.sell("TXFR1", 1 + held)


def test_a_run_holding_one_day_of_ticks_trades_as_one_holding_every_tick():
    strategies = [ManyLengths() for _ in range(3)]
    whole = vkb.backtest(strategies[0], tick_window="all")
    held = vkb.backtest(strategies[1])
    three = vkb.backtest(strategies[2], tick_window=3)
    for result, strategy in ((held, strategies[1]), (three, strategies[2])):
        assert result.fills.equals(whole.fills)
        assert result.equity.equals(whole.equity)
        assert result.stats == whole.stats
        assert strategy.seen == strategies[0].seen
    assert whole.fills.height > 4 and len(strategies[0].seen) >= 6
    quotes = {name: result._record.quote_manager for name, result in (("all", whole), ("day", held), ("3", three))}
    assert quotes["all"].tick_window_days is None and quotes["day"].tick_window_days == 1
    assert quotes["day"].tick_count("TXFR1") < quotes["3"].tick_count("TXFR1") < quotes["all"].tick_count("TXFR1")


def _simulated_ticks(codes: list[str], days: list[str]) -> dict[tuple[str, str], pl.DataFrame]:
    broker = SimulatedBroker(ticks_per_day=400)
    found = {}
    for code in codes:
        for day in days:
            contract = broker.Contracts.Stocks[code]
            found[code, day] = pl.DataFrame(broker.ticks(contract=contract, date=day))
    return found


def _as_taipei_naive(ts: pl.Series) -> pl.Series:
    return ts.cast(pl.Datetime("ns"))


TIME_FORMS = {
    "naive datetime": lambda ts: _as_taipei_naive(ts),
    "zoned datetime": lambda ts: _as_taipei_naive(ts).dt.replace_time_zone("Asia/Taipei").dt.convert_time_zone("UTC"),
    "epoch ns": lambda ts: _as_taipei_naive(ts).dt.replace_time_zone("Asia/Taipei").dt.epoch("ns"),
}


@pytest.mark.parametrize("library", ["polars", "pandas"])
@pytest.mark.parametrize("time_form", sorted(TIME_FORMS))
def test_a_dataframe_feed_equals_the_same_ticks_from_files(tmp_path, data_dir, library, time_form):
    days = ["2024-03-04", "2024-03-05"]
    ticks = _simulated_ticks(["2330", "0050"], days)
    folder = tmp_path / "ticks"
    for (code, day), frame in ticks.items():
        (folder / code).mkdir(parents=True, exist_ok=True)
        frame.write_csv(folder / code / f"{day}.csv")
    rows = pl.concat([frame.with_columns(pl.lit(code).alias("code")) for (code, _), frame in ticks.items()])
    rows = rows.with_columns(TIME_FORMS[time_form](rows["ts"]).alias("timestamp")).drop("ts")
    rows = rows.rename({"bid_price": "bid", "ask_price": "ask"})
    feed = rows.to_pandas() if library == "pandas" else rows

    strategy = notebook_strategy()
    from_files = vkb.backtest(strategy, broker="files", data=folder, codes="2330:Stock,0050:Stock",
                              start=days[0], end=days[-1])
    cache = data_dir / "kest"
    before = sorted(str(path) for path in cache.rglob("*")) if cache.exists() else []
    from_frame = vkb.backtest(strategy, broker=feed, codes=["2330", "0050"], start=date(2024, 3, 4), end="2024-03-05")

    assert sorted(str(path) for path in cache.rglob("*")) == before if cache.exists() else not before
    assert from_frame.trades.height > 0
    for name in ("trades", "orders", "fills", "equity", "daily"):
        assert getattr(from_frame, name).equals(getattr(from_files, name)), name
    assert dict(from_frame.stats) == pytest.approx(dict(from_files.stats), nan_ok=True)


def test_a_frame_broker_keeps_only_the_trading_sessions_of_each_day():
    from vorn_kest_backtest.brokers.frame import FrameBroker

    stamps = ["2024-03-04 08:59:00", "2024-03-04 09:00:01", "2024-03-04 13:30:00", "2024-03-04 14:00:00",
              "2024-03-09 10:00:00"]  # the last one a Saturday
    frame = pl.DataFrame({"code": ["2330"] * 5, "ts": [datetime.fromisoformat(s) for s in stamps],
                          "close": [580.0] * 5, "volume": [1] * 5})
    broker = FrameBroker(frame)
    day = broker.ticks(broker.Contracts.Stocks["2330"], "2024-03-04")
    assert set(day) == set(TICK_COLUMNS)
    assert len(day["ts"]) == 2
    assert broker.ticks(broker.Contracts.Stocks["2330"], "2024-03-09")["ts"] == []
    assert (broker.first_day, broker.last_day) == ("2024-03-04", "2024-03-09")


@pytest.mark.parametrize(("frame", "message"), [
    (pl.DataFrame({"code": ["2330"], "close": [1.0], "volume": [1]}), "缺少欄位"),
    (pl.DataFrame({"code": ["2330"], "ts": ["2024-03-04"], "close": [1.0], "volume": [1]}), "時間欄 ts"),
    (pd.Series([1, 2]), "polars 或 pandas DataFrame"),
])
def test_a_frame_without_usable_columns_is_refused(frame, message):
    from vorn_kest_backtest.brokers.frame import FrameBroker

    with pytest.raises((ValueError, TypeError), match=message):
        FrameBroker(frame)
