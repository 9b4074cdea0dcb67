from __future__ import annotations

import os

import pytest
import repo_paths
from runner_fakes import END, FakeTicker, minute_ticks

from vorn_kest_backtest.brokers.simulated import SimulatedBroker
from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.modules.positions.positions import Positions, QuoteManager
from vorn_kest_backtest.runner import Strategy, session
from vorn_kest_backtest.runner.loader import load_strategy_class

EXAMPLES = str(repo_paths.EXAMPLES)
DEMO = os.path.join(os.path.dirname(session.__file__), "..", "examples", "ma_cross.py")

V_SHAPE = [200.0 - i for i in range(60)] + [140.0 + i for i in range(60)] + [200.0 - i for i in range(60)]
# The demo's slower averages need a longer swing to cross.
SLOW_SWING = [300.0 - i for i in range(150)] + [150.0 + i for i in range(150)] + [300.0 - i for i in range(150)]
NIGHT = (minute_ticks("TXFR1", "2024-05-06 15:00:00", [20000.0 + (i % 3) for i in range(20)], "Future")
         + minute_ticks("TXFR1", "2024-05-06 15:20:00", [20010.0, 20020.0], "Future")
         + minute_ticks("TXFR1", "2024-05-07 04:50:00",
                        [20050.0, 20040.0, 20030.0, 20060.0, 20070.0, 20080.0, 20090.0], "Future"))

# Flat for the opening range, then a breakout that runs into the take-profit.
BREAKOUT = [100.0] * 30 + [100.0 + 0.5 * i for i in range(1, 12)] + [104.0] * 10


@pytest.mark.parametrize("path, records, code", [
    (os.path.join(EXAMPLES, "stock_ma_cross.py"), minute_ticks("2330", "2024-05-06 09:00:00", V_SHAPE), "2330"),
    (DEMO, minute_ticks("2330", "2024-05-06 09:00:00", SLOW_SWING), "2330"),
    (os.path.join(EXAMPLES, "futures_session_breakout.py"), NIGHT, "TXFR1"),
    (os.path.join(EXAMPLES, "stock_bracket_breakout.py"), minute_ticks("2330", "2024-05-06 09:00:00", BREAKOUT),
     "2330"),
], ids=["stock", "demo", "futures-night", "bracket"])
def test_example_trades_and_ends_flat(path, records, code, monkeypatch, console):
    FakeTicker.records = records + [END]
    ledgers = []
    monkeypatch.setattr(session, "_modules",
                        lambda: (FakeTicker, lambda: ledgers.append(Positions()) or ledgers[-1], QuoteManager))
    strategy_class = load_strategy_class(path)
    codes = [{"code": c, "market": m} for c, m in strategy_class.codes]
    summary = session.run_backtest(strategy_class(), codes, strategy_class.start, strategy_class.end, None)

    rows = ledgers[0]._profit_report["rows"]
    assert summary.trades == len(rows) >= 1 and {row["code"] for row in rows} == {code}
    assert all(not sides["buy"] and not sides["sell"] for sides in ledgers[0].positions.values())


class PollingCross:
    """Today's polling form of the moving-average cross: once per minute of the traded code, on the
    bars completed before that tick's minute."""

    # The moving-average lengths come from the example it is mixed with; the last two are its own state.
    fast: int
    slow: int
    _minute: int
    _was_above: bool

    on_bar = Strategy.on_bar

    def on_start(self, ctx) -> None:
        for action in ("buy", "sell"):
            ctx.account.update_fee_settings("stock", action=action, tick_count=1)

    def on_tick(self, tick, ctx) -> None:
        if tick["code"] != "2330" or int(tick["timestamp"] // 60) == getattr(self, "_minute", None):
            return
        self._minute = int(tick["timestamp"] // 60)
        closes = ctx.kbar("2330", "m", 1)["Close"].head(-1)
        if closes.len() < self.slow:
            return
        fast_above = closes.tail(self.fast).mean() > closes.tail(self.slow).mean()
        crossed = getattr(self, "_was_above", None) is not None and fast_above != self._was_above
        self._was_above = fast_above
        held = ctx.positions("2330")
        if crossed and fast_above and held == 0:
            ctx.buy("2330", 1)
        elif crossed and not fast_above and held > 0:
            ctx.sell("2330", held)


def trades_of(strategy, monkeypatch):
    ledgers = []
    real = session._modules()
    monkeypatch.setattr(session, "_modules",
                        lambda: (real[0], lambda: ledgers.append(real[1]()) or ledgers[-1], real[2]))
    codes = [{"code": c, "market": m} for c, m in strategy.codes]
    session.run_backtest(strategy, codes, strategy.start, strategy.end, SimulatedBroker(ticks_per_day=1500),
                         reports_wanted=False)
    return [(r["code"], r["action"], r["quantity"], r["price"], r["dt"], r["trade_status"])
            for r in ledgers[0].trade_records]


@pytest.mark.parametrize("path", [DEMO, os.path.join(EXAMPLES, "stock_ma_cross.py")], ids=["demo", "stock"])
def test_on_bar_examples_trade_as_the_polling_version(path, monkeypatch, console, tmp_path):
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path))
    on_bar_class = load_strategy_class(path)
    polling_class = type("Polling", (PollingCross, on_bar_class), {})
    if on_bar_class.fast == 10:  # the stock example has no fee tweak of its own
        polling_class.on_start = Strategy.on_start
    on_bar_trades = trades_of(on_bar_class(), monkeypatch)
    monkeypatch.undo()
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path))
    polling_trades = trades_of(polling_class(), monkeypatch)
    assert on_bar_trades and [t[:3] + t[5:] for t in polling_trades] == [t[:3] + t[5:] for t in on_bar_trades]
    for polled, barred in zip(polling_trades, on_bar_trades, strict=True):
        if polled != barred:
            # A bar closed by its session's end is acted on at that end, so the order fills at the
            # session's last close; the polling version waits for the next session's first tick.
            assert barred[4][11:16] >= "13:25" and barred[4][:10] < polled[4][:10] and polled[4][11:16] == "09:00"
