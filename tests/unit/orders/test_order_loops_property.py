"""Random orders under random fill rules through both replay loops: the C++ loop, where the core matches working
orders without calling Python, books exactly the trades of the Python loop and tells the strategy of the same
fills and order changes in the same order."""

from __future__ import annotations

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vorn_kest_backtest.brokers.simulated import SimulatedBroker
from vorn_kest_backtest.modules.market.market import price_grid_for, snap, tick_size
from vorn_kest_backtest.runner import Market, Strategy, engine, session

CODES: list[tuple[str, Market]] = [("2330", "Stock"), ("TXFR1", "Future")]
KINDS = ["market", "limit", "stop", "stop_limit", "bracket", "trail", "trail_percent", "target", "close", "cancel"]

order_spec = st.tuples(
    st.integers(1, 40),  # the bar of its code it is placed on
    st.sampled_from([code for code, _ in CODES]),
    st.sampled_from(KINDS),
    st.booleans(),  # buy
    st.integers(-6, 6),  # price offset in ticks from the bar's close
    st.integers(1, 3),  # quantity
    st.booleans(),  # good till cancel
)


fill_rules = st.fixed_dictionaries({
    "limit": st.sampled_from(["touch", "through"]),
    "queue": st.booleans(),
    "partial": st.booleans(),
    "latency_ms": st.sampled_from([0, 150, 2000]),
})


class RandomOrders(Strategy):
    codes = CODES
    bars = [(code, "m", 1) for code, _ in CODES]
    start = end = "2024-03-04"
    initial_capital = 100_000_000

    def __init__(self, plan, rules) -> None:
        self.plan, self.rules = plan, rules
        self.closed: dict[str, int] = {}
        self.fills: list[tuple] = []

    def on_start(self, ctx) -> None:
        ctx.set_fill_model(**self.rules)

    def on_bar(self, bar, ctx) -> None:
        closed = self.closed[bar.code] = self.closed.get(bar.code, 0) + 1
        for placed_on, code, kind, buy, offset, qty, gtc in self.plan:
            if placed_on == closed and code == bar.code:
                self.place(ctx, bar, kind, buy, offset, qty, gtc)

    def place(self, ctx, bar, kind, buy, offset, qty, gtc) -> None:
        code, market = bar.code, dict(CODES)[bar.code]
        grid = price_grid_for(code, market)
        step = tick_size(bar.close, grid)
        price = snap(bar.close + offset * step, grid)
        away = snap(bar.close - abs(offset or 1) * step * (1 if buy else -1), grid)
        side = ctx.buy if buy else ctx.sell
        if kind == "market":
            side(code, qty)
        elif kind == "limit":
            side(code, qty, price=price, good_till_cancel=gtc)
        elif kind == "stop":
            side(code, qty, stop=snap(bar.close + abs(offset) * step * (1 if buy else -1), grid), good_till_cancel=gtc)
        elif kind == "stop_limit":
            stop = snap(bar.close + abs(offset) * step * (1 if buy else -1), grid)
            side(code, qty, price=stop, stop=stop, good_till_cancel=gtc)
        elif kind == "bracket":
            profit = snap(bar.close + (abs(offset) + 2) * step * (1 if buy else -1), grid)
            side(code, qty, price=price, take_profit=profit, stop_loss=away, good_till_cancel=gtc)
        elif kind == "trail":
            side(code, qty, trail=(abs(offset) + 1) * step, good_till_cancel=gtc)
        elif kind == "trail_percent":
            side(code, qty, trail=f"{abs(offset) / 10 + 0.1:g}%", good_till_cancel=gtc)
        elif kind == "target":
            ctx.order_target(code, qty * (1 if buy else -1))
        elif kind == "close":
            ctx.close(code)
        else:
            for order in ctx.orders(code)[:1]:
                ctx.cancel(order)

    def on_fill(self, fill, ctx) -> None:
        self.fills.append((fill.order.trade_id, fill.quantity, fill.price, fill.time))

    def on_order(self, order, ctx) -> None:
        self.fills.append((order.trade_id, order.status.value, order.reason))

    def on_finish(self, ctx) -> None:
        ctx.close_all()


def run(plan, rules, python_loop: bool, monkeypatch) -> tuple[list, list]:
    accounts = []
    real_modules = session._modules

    def modules():
        ticker, positions, quotes = real_modules()
        return ticker, lambda: accounts.append(positions()) or accounts[-1], quotes

    strategy = RandomOrders(plan, rules)
    with monkeypatch.context() as patch:
        patch.setattr(session, "_modules", modules)
        if python_loop:
            patch.setattr(engine, "_native_driver", lambda positions, quotes: None)
        session.run_backtest(strategy, [{"code": c, "market": m} for c, m in CODES], strategy.start, strategy.end,
                             SimulatedBroker(ticks_per_day=600), reports_wanted=False)
    return accounts[0].trade_records, strategy.fills


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(plan=st.lists(order_spec, min_size=5, max_size=40), rules=fill_rules)
def test_the_two_loops_book_the_same_trades_for_random_orders(plan, rules, monkeypatch, console):
    native = run(plan, rules, False, monkeypatch)
    assert native == run(plan, rules, True, monkeypatch)
