"""Pure-Python stand-ins for Ticker, Positions and QuoteManager, enough to drive the runner."""

from __future__ import annotations

from datetime import datetime, timedelta

import polars as pl
from report_fakes import FakePositions, epoch

from vorn_kest_backtest.constant import FLAG
from vorn_kest_backtest.modules.positions.positions import Ledger

END = {"vorn_status": FLAG.exit_send_tick.value}
BACKFILL_DONE = {"vorn_status": FLAG.finish_backfilling.value}


def tick(code: str, when: str, close: float, qty: int = 1, market: str = "Stock") -> dict:
    return {"market_type": market, "timestamp": epoch(when), "code": code, "close": close, "qty": qty,
            "tick_type": 1, "is_simulate": False, "is_backfilling": False}


class FakeTicker:
    """Hands out `records` one by one and checks that every tick was allowed before the next one."""

    records: list[dict] = []
    failed_days: list[dict] = []
    last: FakeTicker | None = None

    def __init__(self, api) -> None:
        FakeTicker.last = self
        self.api = api
        self.permits = 1
        self.sent: list = []
        self.stopped = False
        self._queue: list[dict] = []

    def send_ticks(self, codes, start_from, end_to) -> None:
        self.sent.append((codes, start_from, end_to))
        self._queue = list(self.records)

    def pop_tick(self) -> dict:
        if self.stopped:
            return END
        record = self._queue.pop(0)
        if "vorn_status" not in record:
            assert self.permits == 1, "a tick was popped without a permit"
            self.permits -= 1
        return record

    def allow_next_tick(self) -> None:
        self.permits += 1

    def stop_send_ticks(self) -> None:
        self.stopped = True

    def wait_for_tick_cache(self) -> None:
        pass


class FakeLedger(FakePositions):
    """Books fills first in, first out without costs; slippage is one unit against the order. Its account as a
    whole is a real Ledger fed with the same fills (one unit per lot)."""

    def __init__(self) -> None:
        super().__init__()
        self.positions: dict = {}
        self.product_type_mapper: dict = {}
        self.calls: list = []
        self.ledger = Ledger(self.initial_capital)

    def set_initial_capital(self, capital: float) -> None:
        self.initial_capital = self.current_capital = capital
        self.ledger = Ledger(capital)

    def fetch_account_balance(self):
        return self.current_capital

    def use_fee_profile(self, name: str) -> None:
        # Costs stay out of the fake's book; the profile is only remembered for the summary.
        self.fee_profile = {"name": name}

    def set_current_tick(self, record) -> None:
        self.calls.append(("set_current_tick", record["code"]))

    def add_trade_record(self, trade_id, code, action, quantity, price, timestamp, trade_status) -> None:
        self.trade_records.append({"trade_id": trade_id, "code": code, "action": action, "quantity": quantity,
                                   "price": price, "dt": str(timestamp), "trade_status": trade_status})

    def entry_cost(self, code, action, price, quantity, product_type, *, ignore_tax=False, limit_price=None):
        direction = 1 if action == "Buy" else -1
        return {"fee": 0.0, "tax": 0, "fixed_cost": 0, "qty": quantity, "min_qty": quantity, "price": price + direction,
                "origin_price": price}

    def set_positions(self, fill, product_type) -> None:
        self.calls.append(("set_positions", dict(fill), product_type))
        self.ledger.book(fill["code"], product_type, fill["action"], fill["quantity"], 1, fill["price"], 0.0,
                         fill["exchange_ts"], fill.get("contract") or "")
        self.product_type_mapper.setdefault(fill["code"], product_type)
        book = self.positions.setdefault(fill["code"], {"buy": [], "sell": []})
        mine, other = ("buy", "sell") if fill["action"] == "Buy" else ("sell", "buy")
        left = fill["quantity"]
        while left and book[other]:
            entry = book[other][0]
            qty = min(left, entry["quantity"])
            sign = 1 if other == "buy" else -1
            profit = sign * (fill["price"] - entry["price"]) * qty
            self._profit_report["rows"].append(
                {"code": fill["code"], "entry_action": entry["action"], "entry_dt": entry["exchange_ts"],
                 "entry_price": entry["price"], "entry_origin_price": entry["origin_price"],
                 "exit_action": fill["action"], "exit_dt": fill["exchange_ts"], "exit_price": fill["price"],
                 "exit_origin_price": fill["origin_price"], "qty": qty, "min_qty": qty, "trade_cost": 0.0,
                 "cover_cost": 0.0, "profit": profit, "profit_ratio": 0.0,
                 "entry_amount": entry["price"] * qty, "exit_amount": fill["price"] * qty})
            self.current_capital += profit
            entry["quantity"] -= qty
            left -= qty
            if entry["quantity"] == 0:
                book[other].pop(0)
        if left:
            book[mine].append(dict(fill, quantity=left))


class FakeQuotes:
    """Buffers ticks and aggregates them by truncated time, like the real k-bar query."""

    def __init__(self) -> None:
        self.ticks: list[dict] = []

    def add_tick(self, record) -> None:
        self.ticks.append(record)

    def get_kbar(self, code, unit="m", freq=1, exprs=None, to_pandas_df=False):
        rows = [(datetime(1970, 1, 1) + timedelta(hours=8, seconds=t["timestamp"]), t["close"], t["qty"])
                for t in self.ticks if t["code"] == code]
        df = pl.DataFrame(rows, schema={"dt": pl.Datetime("us"), "close": pl.Float64, "qty": pl.Int64}, orient="row")
        return (
            df.with_columns(pl.col("dt").dt.truncate(f"{freq}{unit}"))
            .group_by("dt", maintain_order=True)
            .agg(pl.lit(code).alias("code"), pl.col("close").first().alias("Open"), pl.col("close").max().alias("High"),
                 pl.col("close").min().alias("Low"), pl.col("close").last().alias("Close"),
                 pl.col("qty").sum().alias("Volume"))
            .sort("dt")
        )


def minute_ticks(code: str, start: str, closes: list[float], market: str = "Stock") -> list[dict]:
    first = datetime.strptime(start, "%Y-%m-%d %H:%M:%S")
    return [tick(code, (first + timedelta(minutes=i)).strftime("%Y-%m-%d %H:%M:%S"), c, 5, market)
            for i, c in enumerate(closes)]
