"""The bound Ledger against an exact model (Decimal) over random stock and futures fills, and against
Positions.current_capital once the book is flat."""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass, field
from datetime import date, datetime, timedelta
from decimal import Decimal
from unittest.mock import patch

from hypothesis import given, settings
from hypothesis import strategies as st

from vorn_kest_backtest import utils
from vorn_kest_backtest.modules.positions.positions import Ledger, Positions


class Quiet:
    quiet = True

    def print(self, *_objects, **_kwargs) -> None:
        pass


# Two weeks without exchange holidays: Monday 2025-03-03 to Friday 2025-03-14.
FIRST_DAY = date(2025, 3, 3)
STOCKS = {"2330": 1000, "2317": 1000}
FUTURES = {"TXFR1": 200, "MXFR1": 50}
CONTRACTS = ("", "202503", "202504")


def trading_date(moment: datetime) -> date:
    """Futures sessions from 15:00 count for the next weekday, so do the hours after midnight."""

    def next_weekday(day: date) -> date:
        day += timedelta(days=1)
        while day.weekday() >= 5:
            day += timedelta(days=1)
        return day

    if moment.hour >= 15:
        return next_weekday(moment.date())
    if moment.hour < 5:
        return next_weekday(moment.date() - timedelta(days=1))
    return moment.date()


def epoch_of(moment: datetime) -> float:
    return (moment - timedelta(hours=8) - datetime(1970, 1, 1)).total_seconds()


@dataclass
class Holding:
    market: str
    unit: int
    long: bool
    lots: deque = field(default_factory=deque)  # [price, quantity]


@dataclass
class Model:
    cash: Decimal
    holdings: dict = field(default_factory=dict)  # (code, contract) -> Holding
    code_marks: dict = field(default_factory=dict)  # code -> (price, sequence)
    contract_marks: dict = field(default_factory=dict)  # (code, contract) -> (price, sequence)
    margins: dict = field(default_factory=dict)  # family -> {date: margin}
    clock: datetime | None = None
    sequence: int = 0

    def book(self, code, contract, market, buy, qty, unit, price, charges, moment):
        if market == "Stock":
            self.cash += (-1 if buy else 1) * price * qty * unit
        self.cash -= charges
        key = (code, contract)
        holding = self.holdings.get(key)
        left = qty
        if holding is not None and holding.long != buy:
            while left and holding.lots:
                lot = holding.lots[0]
                matched = min(left, lot[1])
                if market == "Future":
                    self.cash += (1 if holding.long else -1) * (price - lot[0]) * matched * unit
                lot[1] -= matched
                left -= matched
                if lot[1] == 0:
                    holding.lots.popleft()
        if left:
            if holding is None or not holding.lots:
                holding = self.holdings[key] = Holding(market, unit, buy)
            holding.lots.append([price, left])
        if holding is not None and not holding.lots:
            del self.holdings[key]
        self.clock = moment if self.clock is None else max(self.clock, moment)

    def mark(self, code, price, moment, contract=None):
        self.sequence += 1
        if contract is None:
            self.code_marks[code] = (price, self.sequence)
        else:
            self.contract_marks[(code, contract)] = (price, self.sequence)
        self.clock = moment if self.clock is None else max(self.clock, moment)

    def last(self, key):
        found = [m for m in (self.code_marks.get(key[0]), self.contract_marks.get(key)) if m is not None]
        return max(found, key=lambda m: m[1])[0] if found else None

    def equity(self):
        total = self.cash
        for key, h in self.holdings.items():
            last = self.last(key)
            sign = 1 if h.long else -1
            for price, qty in h.lots:
                mark = price if last is None else last
                total += sign * (mark if h.market == "Stock" else mark - price) * qty * h.unit
        return total

    def futures_unrealised(self):
        total = Decimal(0)
        for key, h in self.holdings.items():
            if h.market == "Future":
                last = self.last(key)
                for price, qty in h.lots:
                    total += (1 if h.long else -1) * ((price if last is None else last) - price) * qty * h.unit
        return total

    def margin(self, code):
        dated = self.margins.get(code[:3])
        if not dated:
            return Decimal(0)
        day = trading_date(self.clock)
        in_force = [d for d in dated if d <= day]
        return dated[max(in_force) if in_force else min(dated)]

    def margin_in_use(self):
        return sum((sum(q for _, q in h.lots) * self.margin(key[0])
                    for key, h in self.holdings.items() if h.market == "Future"), Decimal(0))


codes = st.sampled_from([*STOCKS, *FUTURES])
moments = st.builds(lambda day, minute: datetime.combine(FIRST_DAY, datetime.min.time())
                    + timedelta(days=day, minutes=minute),
                    st.integers(0, 11), st.integers(0, 24 * 60 - 1))
margin_rows = st.lists(st.tuples(st.sampled_from(["TXF", "MXF"]), st.integers(-3, 14),
                                 st.integers(1, 400).map(lambda k: Decimal(k * 1000))), min_size=1, max_size=4)

fill_step = st.tuples(st.just("fill"), codes, st.sampled_from(CONTRACTS), st.booleans(), st.integers(1, 4),
                      st.integers(2000, 40000).map(lambda c: Decimal(c) / 100),
                      st.integers(0, 50000).map(lambda c: Decimal(c) / 100), moments)
mark_step = st.tuples(st.just("mark"), codes, st.sampled_from([None, None, *CONTRACTS]),
                      st.integers(2000, 40000).map(lambda c: Decimal(c) / 100), moments)
roll_step = st.tuples(st.just("roll"), st.sampled_from(list(FUTURES)), moments)
table_step = st.tuples(st.just("margins"), margin_rows)


def check(ledger: Ledger, model: Model) -> None:
    cent = Decimal("0.005")
    figures = {
        "cash": (ledger.cash(), model.cash),
        "equity": (ledger.equity(), model.equity()),
        "margin_in_use": (ledger.margin_in_use(), model.margin_in_use()),
        "stock buying power": (ledger.buying_power("Stock"),
                               model.cash - model.margin_in_use() - max(Decimal(0), -model.futures_unrealised())),
        "futures buying power": (ledger.buying_power("Future"), model.equity() - model.margin_in_use()),
    }
    for name, (got, want) in figures.items():
        assert abs(Decimal(repr(got)) - want) <= cent, (name, got, want)


def roll(ledger: Ledger, model: Model, code: str, moment: datetime) -> None:
    """Close every month of the code held, then open the same size on the next month at the same price."""
    for (held_code, contract), h in list(model.holdings.items()):
        if held_code != code or contract == "202504":
            continue
        qty = sum(q for _, q in h.lots)
        price = h.lots[-1][0] + 1
        for target, buy in ((contract, not h.long), ("202504", h.long)):
            model.book(code, target, "Future", buy, qty, FUTURES[code], price, Decimal("1.5"), moment)
            ledger.book(code, "Future", "Buy" if buy else "Sell", qty, FUTURES[code], float(price), 1.5,
                        epoch_of(moment), target)


@settings(max_examples=100, deadline=None, database=None)
@given(capital=st.integers(0, 5_000_000), steps=st.lists(st.one_of(fill_step, mark_step, roll_step, table_step),
                                                         min_size=4, max_size=25))
def test_the_ledger_equals_an_exact_model_at_every_step(capital, steps):
    with patch.object(utils, "console", Quiet()):
        ledger, model = Ledger(float(capital)), Model(Decimal(capital))
        ledger.load_margins([])
        for step in steps:
            if step[0] == "fill":
                _, code, contract, buy, qty, price, charges, moment = step
                market, unit = ("Stock", STOCKS[code]) if code in STOCKS else ("Future", FUTURES[code])
                contract = contract if market == "Future" else ""
                model.book(code, contract, market, buy, qty, unit, price, charges, moment)
                ledger.book(code, market, "Buy" if buy else "Sell", qty, unit, float(price), float(charges),
                            epoch_of(moment), contract)
            elif step[0] == "mark":
                _, code, contract, price, moment = step
                model.mark(code, price, moment, contract)
                assert ledger.mark(code, float(price), epoch_of(moment), contract)
            elif step[0] == "roll":
                roll(ledger, model, step[1], step[2])
            else:
                model.margins = {}
                rows = []
                for family, offset, margin in step[1]:
                    day = FIRST_DAY + timedelta(days=offset)
                    model.margins.setdefault(family, {})[day] = margin
                    rows.append((family, day, float(margin)))
                ledger.load_margins(rows)
            if model.clock is not None:
                check(ledger, model)
        assert sorted((p["code"], p["contract"]) for p in ledger.open_positions()) == sorted(model.holdings)


flat_fill = st.tuples(st.sampled_from(["2330", "TXFR1", "0050"]), st.booleans(), st.integers(1, 3),
                      st.integers(0, 40), st.integers(0, 3 * 24 * 60))
BASE = {"2330": Decimal("580"), "TXFR1": Decimal("17500"), "0050": Decimal("150")}
STEP = {"2330": Decimal("1"), "TXFR1": Decimal("1"), "0050": Decimal("0.05")}


@settings(max_examples=40, deadline=None)
@given(profile=st.sampled_from(["table", "tw_broker"]), fills=st.lists(flat_fill, min_size=1, max_size=12))
def test_once_flat_the_ledger_cash_is_the_accounts_capital(profile, fills):
    with patch.object(utils, "console", Quiet()):
        positions = Positions()
        positions.use_fee_profile(profile)
        positions.set_initial_capital(10_000_000)
        net: dict[str, int] = {}
        start = datetime(2025, 3, 3, 9, 0)

        def trade(n, code, buy, qty, ticks, minute):
            price = float(BASE[code] + ticks * STEP[code])
            when = epoch_of(start + timedelta(minutes=minute))
            positions.set_positions({"trade_id": str(n), "code": code, "action": "Buy" if buy else "Sell",
                                     "quantity": qty, "price": price, "origin_price": price, "exchange_ts": when},
                                    "Future" if code == "TXFR1" else "Stock")
            net[code] = net.get(code, 0) + (qty if buy else -qty)

        for n, (code, buy, qty, ticks, minute) in enumerate(fills):
            trade(n, code, buy, qty, ticks, minute)
        for code, held in list(net.items()):
            if held:
                trade(len(fills) + 1, code, held < 0, abs(held), 20, 3 * 24 * 60 + 1)
        ledger = positions.ledger
        assert not ledger.has_positions()
        assert abs(ledger.cash() - positions.current_capital) < 1e-6
        assert abs(ledger.cash() - (10_000_000 + positions._profit_report["profit"])) < 1e-6
        assert ledger.equity() == ledger.cash() and ledger.margin_in_use() == 0
