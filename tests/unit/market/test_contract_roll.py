"""Continuous futures codes hold a real contract: an expired month is settled (or carried), never marked across."""

from __future__ import annotations

from pathlib import Path

import polars as pl
import pytest
from repo_paths import EXAMPLES
from report_fakes import epoch
from taifex_fixtures import roll_folder

from vorn_kest_backtest.brokers import FileBroker, SimulatedBroker, TaifexBroker
from vorn_kest_backtest.cli import main
from vorn_kest_backtest.runner import Strategy, engine, session
from vorn_kest_backtest.runner.roll import ContractRoll

CODE = "TXFR1"
CODES = [{"code": CODE, "market": "Future"}]
# The fixture's last January trade (2026-01-21 13:45) and the first February one (its night, 15:00).
LAST_JANUARY = (epoch("2026-01-21 13:45:00"), 23106.0)
FIRST_FEBRUARY = (epoch("2026-01-21 15:00:00"), 23200.0)
SLIP = 3.0  # the default slippage, in index points


class HoldsThroughTheExpiry(Strategy):
    """Buys one contract on its first tick and notes, on every tick, its close and the position held."""

    def __init__(self) -> None:
        self.seen: list[tuple[float, int]] = []

    def on_tick(self, tick, ctx) -> None:
        if not self.seen:
            ctx.buy(CODE, 1, fill="this_tick")
        self.seen.append((tick["close"], ctx.positions(CODE)))


class HoldsOnBars(Strategy):
    """Buys on its first one-minute bar and never looks at a tick: the C++ loop calls Python only when needed."""

    bars = [(CODE, "m", 1)]

    def __init__(self) -> None:
        self.bars_seen = 0

    def on_bar(self, bar, ctx) -> None:
        self.bars_seen += 1
        if self.bars_seen == 1:
            ctx.buy(CODE, 1)


class SellsAtTheEnd(HoldsThroughTheExpiry):
    def on_finish(self, ctx) -> None:
        if ctx.positions(CODE) > 0:
            ctx.sell(CODE, ctx.positions(CODE))


@pytest.fixture
def exchange_files(tmp_path) -> Path:
    return roll_folder(tmp_path / "taifex")


def copy_as_files(exchange: Path, target: Path, with_month: bool) -> Path:
    """The exchange files' TXFR1 ticks as file-broker days, with the month of each tick in `contract` or not."""
    broker = TaifexBroker(exchange)
    contract = broker.Contracts.Futures[CODE]
    for day in ("2026-01-20", "2026-01-21", "2026-01-22"):
        ticks = pl.DataFrame(broker.ticks(contract=contract, date=day)).with_columns(
            bid_price=pl.col("close") - 1, ask_price=pl.col("close") + 1, bid_volume=1, ask_volume=1)
        if with_month:
            runs = broker.contract_months(contract, day)
            month = [next(m for start, m in reversed(runs) if start <= ts) for ts in ticks["ts"]]
            ticks = ticks.with_columns(pl.Series("contract", month))
        path = target / CODE / f"{day}.csv"
        path.parent.mkdir(parents=True, exist_ok=True)
        ticks.write_csv(path)
    return target


@pytest.fixture(params=["taifex", "files"])
def broker_with_months(request, exchange_files, tmp_path):
    if request.param == "taifex":
        return lambda: TaifexBroker(exchange_files)
    folder = copy_as_files(exchange_files, tmp_path / "files", with_month=True)
    return lambda: FileBroker(folder)


@pytest.fixture(params=[False, True], ids=["cpp-loop", "python-loop"])
def loop(request, monkeypatch):
    if request.param:
        monkeypatch.setattr(engine, "_native_driver", lambda positions, quotes: None)
    return request.param


@pytest.fixture
def rolls(monkeypatch) -> list[ContractRoll]:
    """Every roll a run makes, to look at the orders it booked."""
    made: list[ContractRoll] = []
    real = ContractRoll.__init__

    def init(self, *args, **kwargs) -> None:
        real(self, *args, **kwargs)
        made.append(self)

    monkeypatch.setattr(ContractRoll, "__init__", init)
    return made


def run(strategy: Strategy, api, roll: str | None = None):
    """The account of one run over 2026-01-21 .. 2026-01-22 (January's last trading date, February's first)."""
    positions = []
    real_modules = session._modules

    def modules():
        ticker, make_positions, quotes = real_modules()
        return ticker, lambda: positions.append(make_positions()) or positions[-1], quotes

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(session, "_modules", modules)
        session.run_backtest(strategy, CODES, "2026-01-21", "2026-01-22", api, reports_wanted=False, roll=roll)
    return positions[0]


def deals(account) -> list[tuple[str, float, str]]:
    return [(r["action"], r["price"], r["dt"]) for r in account.trade_records if r["trade_status"] == "Deal"]


def test_a_long_held_past_its_months_expiry_is_settled_at_that_months_last_trade(broker_with_months, loop, rolls,
                                                                                console):
    strategy = HoldsThroughTheExpiry()
    account = run(strategy, broker_with_months())
    assert deals(account) == [("Buy", 23100.0, "2026-01-20 15:00:00.000000"),
                              ("Sell", 23106.0, "2026-01-21 13:45:00.000000")]
    (row,) = account.profit_rows
    # The exit is the expiring contract's own last trade, without slippage: no 100-point spread as profit.
    assert (row["exit_price"], row["exit_dt"]) == (23106.0, LAST_JANUARY[0])
    assert (row["entry_amount"], row["exit_amount"]) == ((23100.0 + SLIP) * 200, 23106.0 * 200)
    assert row["profit"] == pytest.approx(SLIP * 200 - row["trade_cost"] - row["cover_cost"])
    assert row["cover_cost_tax"] > 0
    # Booked before the strategy saw February's first trade, and gone from the book.
    assert strategy.seen[strategy.seen.index((FIRST_FEBRUARY[1], 0)) - 1] == (LAST_JANUARY[1], 1)
    assert account.positions[CODE] == {"buy": [], "sell": []}
    (settlement,) = rolls[0].orders
    assert (settlement.reason, settlement.fill_price, settlement.filled_at) == ("到期結算", *LAST_JANUARY[::-1])
    assert any(line.startswith("[yellow]到期結算: TXFR1 202601 Sell 1 口") for line in console.lines)


def test_carry_opens_the_same_size_on_the_next_month_at_its_first_trade(broker_with_months, loop, rolls, console):
    strategy = SellsAtTheEnd()
    account = run(strategy, broker_with_months(), roll="carry")
    assert deals(account) == [("Buy", 23100.0, "2026-01-20 15:00:00.000000"),
                              ("Sell", 23106.0, "2026-01-21 13:45:00.000000"),
                              ("Buy", 23200.0, "2026-01-21 15:00:00.000000"),
                              ("Sell", 23206.0, "2026-01-22 13:45:00.000000")]
    settled, carried = account.profit_rows
    assert (settled["entry_amount"], settled["exit_amount"]) == ((23100.0 + SLIP) * 200, 23106.0 * 200)
    # The new leg pays its own entry (slippage and fee) and is covered at its own month's prices.
    assert (carried["entry_amount"], carried["exit_amount"]) == ((23200.0 + SLIP) * 200, (23206.0 - SLIP) * 200)
    assert carried["entry_dt"] == FIRST_FEBRUARY[0] and carried["trade_cost"] > 0
    assert strategy.seen[strategy.seen.index((FIRST_FEBRUARY[1], 1)) - 1] == (LAST_JANUARY[1], 1)
    assert [(o.reason, o.action.value) for o in rolls[0].orders] == [("到期結算", "Sell"), ("轉倉", "Buy")]
    assert any(line.startswith("[yellow]轉倉: TXFR1 202602 Buy 1 口") for line in console.lines)


def test_a_bar_strategy_in_the_cpp_loop_is_settled_without_a_python_call_per_tick(exchange_files, rolls, console,
                                                                                monkeypatch):
    calls = []
    real = ContractRoll.session_start

    def session_start(self, previous, tick) -> None:
        calls.append(tick["timestamp"])
        real(self, previous, tick)

    monkeypatch.setattr(ContractRoll, "session_start", session_start)
    account = run(HoldsOnBars(), TaifexBroker(exchange_files))
    assert deals(account)[-1] == ("Sell", 23106.0, "2026-01-21 13:45:00.000000")
    # One check, at the first tick of the next trading date after the position was opened.
    assert calls == [FIRST_FEBRUARY[0]]


def test_a_position_opened_on_the_new_month_is_left_alone(broker_with_months, loop, rolls, console):
    class BuysFebruary(SellsAtTheEnd):
        def on_tick(self, tick, ctx) -> None:
            if tick["close"] == FIRST_FEBRUARY[1]:
                ctx.buy(CODE, 1, fill="this_tick")
            self.seen.append((tick["close"], ctx.positions(CODE)))

    account = run(BuysFebruary(), broker_with_months())
    assert [d[:2] for d in deals(account)] == [("Buy", 23200.0), ("Sell", 23206.0)]
    assert rolls[0].orders == []


class BracketedLong(Strategy):
    def __init__(self) -> None:
        self.order = None

    def on_tick(self, tick, ctx) -> None:
        if self.order is None:
            self.order = ctx.buy(CODE, 1, fill="this_tick", take_profit=23150.0, stop_loss=23000.0,
                                 good_till_cancel=True)


def test_the_expired_months_working_orders_are_cancelled_with_it(exchange_files, loop, console):
    strategy = BracketedLong()
    account = run(strategy, TaifexBroker(exchange_files))
    # February's first trade (23200) would have met the take-profit and opened a short.
    assert [d[:2] for d in deals(account)] == [("Buy", 23100.0), ("Sell", 23106.0)]
    exits = strategy.order.take_profit_order, strategy.order.stop_loss_order
    assert [(o.status.value, o.reason) for o in exits] == [("Cancelled", "契約到期, 委託取消")] * 2
    assert account.positions[CODE] == {"buy": [], "sell": []}


def test_a_cached_rerun_still_knows_the_month(broker_with_months, console):
    first = deals(run(SellsAtTheEnd(), broker_with_months()))
    console.lines.clear()
    again = deals(run(SellsAtTheEnd(), broker_with_months()))
    assert any("已存在" in line for line in console.lines)
    assert again == first and first[-1][:2] == ("Sell", 23106.0)


def test_without_month_data_r1_stays_one_contract(exchange_files, tmp_path, loop, rolls, console):
    folder = copy_as_files(exchange_files, tmp_path / "plain", with_month=False)
    account = run(SellsAtTheEnd(), FileBroker(folder))
    # The file names no month: the position is held across and sold at the end, as one contract.
    assert [d[:2] for d in deals(account)] == [("Buy", 23100.0), ("Sell", 23206.0)]
    assert (rolls[0].held, rolls[0].orders) == ({}, [])


def test_a_broker_without_months_gets_no_roll_and_a_bad_mode_is_refused(console):
    positions = object()
    book = type("Book", (), {})()
    assert ContractRoll.for_broker(SimulatedBroker(), positions, book, {CODE: "Future"}, "carry") is None
    with pytest.raises(ValueError, match="roll 必須是 settle 或 carry: 'keep'"):
        ContractRoll.for_broker(SimulatedBroker(), positions, book, {CODE: "Future"}, "keep")


def test_the_command_line_carries_with_roll_carry(exchange_files, console):
    example = EXAMPLES / "taifex_txfr1.py"
    argv = ["run", str(example), "--broker", "taifex", "--data", str(exchange_files), "--start", "2026-01-21",
            "--end", "2026-01-22", "--no-report", "--roll", "carry", "--param", "fast=1", "--param", "slow=2"]
    assert main(argv) == 0
    assert any(line.startswith("[yellow]轉倉: TXFR1 202602") for line in console.lines)


@pytest.mark.parametrize(("contract", "problem"), [
    ("", "第 2 筆資料沒有契約月份"),
    ("202602", None),
])
def test_the_file_brokers_contract_column(tmp_path, contract, problem):
    day = tmp_path / CODE / "2026-01-21.csv"
    day.parent.mkdir(parents=True)
    day.write_text("ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type,contract\n"
                   "2026-01-21 13:45:00,23106,1,23105,1,23107,1,0,202601\n"
                   f"2026-01-21 15:00:00,23200,1,23199,1,23201,1,0,{contract}\n")
    broker = FileBroker(tmp_path)
    future = broker.Contracts.Futures[CODE]
    if problem is None:
        assert [m for _, m in broker.contract_months(future, "2026-01-21")] == ["202601", contract]
        assert set(broker.ticks(contract=future, date="2026-01-21")) == {
            "ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type"}
    else:
        for ask in (lambda: broker.ticks(contract=future, date="2026-01-21"),
                    lambda: broker.contract_months(future, "2026-01-21")):
            with pytest.raises(ValueError, match=f"{day}.*contract {problem}"):
                ask()


def test_integer_months_in_parquet_and_runs_in_time_order(tmp_path):
    day = tmp_path / CODE / "2026-01-21.parquet"
    day.parent.mkdir(parents=True)
    stamps = ["2026-01-21 15:00:00", "2026-01-21 13:45:00", "2026-01-21 09:00:00"]
    pl.DataFrame({"ts": stamps, "close": [2.0, 1.0, 1.0], "volume": [1] * 3, "bid_price": [1.0] * 3,
                  "bid_volume": [1] * 3, "ask_price": [2.0] * 3, "ask_volume": [1] * 3, "tick_type": [0] * 3,
                  "contract": [202602, 202601, 202601]}).write_parquet(day)
    broker = FileBroker(tmp_path)
    runs = broker.contract_months(broker.Contracts.Futures[CODE], "2026-01-21")
    assert [m for _, m in runs] == ["202601", "202602"]
    assert runs[1][0] - runs[0][0] == 6 * 3600 * 10**9
