from __future__ import annotations

import os

import pytest
from runner_fakes import END, FakeTicker, minute_ticks

from vorn_kest_backtest.modules.positions.positions import Positions, QuoteManager

from vorn_kest_backtest.runner import session
from vorn_kest_backtest.runner.loader import load_strategy_class

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "examples")
DEMO = os.path.join(os.path.dirname(session.__file__), "..", "examples", "ma_cross.py")

V_SHAPE = [200.0 - i for i in range(60)] + [140.0 + i for i in range(60)] + [200.0 - i for i in range(60)]
# The demo's slower averages need a longer swing to cross.
SLOW_SWING = [300.0 - i for i in range(150)] + [150.0 + i for i in range(150)] + [300.0 - i for i in range(150)]
NIGHT = (minute_ticks("TXFR1", "2024-05-06 15:00:00", [20000.0 + (i % 3) for i in range(20)], "Future")
         + minute_ticks("TXFR1", "2024-05-06 15:20:00", [20010.0, 20020.0], "Future")
         + minute_ticks("TXFR1", "2024-05-07 04:50:00", [20050.0, 20040.0, 20030.0, 20060.0, 20070.0, 20080.0, 20090.0], "Future"))

# Flat for the opening range, then a breakout that runs into the take-profit.
BREAKOUT = [100.0] * 30 + [100.0 + 0.5 * i for i in range(1, 12)] + [104.0] * 10


@pytest.mark.parametrize("path, records, code", [
    (os.path.join(EXAMPLES, "stock_ma_cross.py"), minute_ticks("2330", "2024-05-06 09:00:00", V_SHAPE), "2330"),
    (DEMO, minute_ticks("2330", "2024-05-06 09:00:00", SLOW_SWING), "2330"),
    (os.path.join(EXAMPLES, "futures_session_breakout.py"), NIGHT, "TXFR1"),
    (os.path.join(EXAMPLES, "stock_bracket_breakout.py"), minute_ticks("2330", "2024-05-06 09:00:00", BREAKOUT), "2330"),
], ids=["stock", "demo", "futures-night", "bracket"])
def test_example_trades_and_ends_flat(path, records, code, monkeypatch, console):
    FakeTicker.records = records + [END]
    ledgers = []
    monkeypatch.setattr(session, "_modules", lambda: (FakeTicker, lambda: ledgers.append(Positions()) or ledgers[-1], QuoteManager))
    strategy_class = load_strategy_class(path)
    codes = [{"code": c, "market": m} for c, m in strategy_class.codes]
    summary = session.run_backtest(strategy_class(), codes, strategy_class.start, strategy_class.end, None)

    rows = ledgers[0]._profit_report["rows"]
    assert summary.trades == len(rows) >= 1 and {row["code"] for row in rows} == {code}
    assert all(not sides["buy"] and not sides["sell"] for sides in ledgers[0].positions.values())
