"""The consumer side of the tick replay: one tick at a time through account, quotes and strategy.

With the simulated account and quotes of the C++ modules the loop runs in C++ (`drive_replay`): the working
orders of the tick's code meet it in the core's order matcher, and Python is called only for the hooks the
strategy defines, for the order book when an order fills or expires, for
the contract roll when a code holding a month may start a new trading date, and for the equity recorder once
a minute. Other account or quote objects go through the same steps
in Python.
"""

from __future__ import annotations

from time import monotonic
from typing import TYPE_CHECKING

from vorn_kest_backtest.constant import BASIC_INFO, FLAG
from vorn_kest_backtest.runner.bars import Bar
from vorn_kest_backtest.runner.context import Context
from vorn_kest_backtest.runner.errors import StrategyError
from vorn_kest_backtest.runner.progress import replay_progress
from vorn_kest_backtest.runner.strategy import Strategy

if TYPE_CHECKING:
    from vorn_kest_backtest.runner.roll import ContractRoll

# The progress bar is looked at every this many ticks and redrawn at most ten times a second.
PROGRESS_CHECK_TICKS = 4096
PROGRESS_INTERVAL = 0.1


def call_hook(strategy_hook, hook_name: str, *args, tick=None) -> None:
    try:
        strategy_hook(*args)
    except Exception as error:
        raise StrategyError(hook_name, error, tick) from error


def _overrides(strategy: Strategy, name: str) -> bool:
    return getattr(type(strategy), name) is not getattr(Strategy, name)


def _deliver_bars(quote_manager, strategy: Strategy, ctx: Context, on_bar: bool, tick=None) -> None:
    rows = quote_manager.closed_bars()
    if not on_bar:
        return
    hook = strategy.on_bar
    for row in rows:
        bar = Bar.from_row(row)
        try:
            hook(bar, ctx)
        except Exception as error:
            raise StrategyError("on_bar", error, tick) from error


def _on_tick_failed(error: Exception, tick) -> None:
    raise StrategyError("on_tick", error, tick) from error


def _native_driver(positions, quote_manager):
    """The C++ loop when the account and the quotes are the C++ ones, else None."""
    from vorn_kest_backtest.modules.positions import positions as native

    if isinstance(positions, native.Positions) and isinstance(quote_manager, native.QuoteManager):
        return native.drive_replay
    return None


def replay(ticker, positions, quote_manager, strategy: Strategy, ctx: Context, recorder=None,
           roll: ContractRoll | None = None) -> int:
    """Drives the handshake until the end-of-replay status; returns the number of ticks handled.

    recorder: the equity recorder, told of the ticks before the account books them.
    roll: settles expired contract months, before the book and the strategy see a code's new trading date.
    """
    for code, unit, freq in strategy.bars:
        ctx.subscribe(code, unit, freq)
    on_bar = _overrides(strategy, "on_bar")
    on_tick = strategy.on_tick if _overrides(strategy, "on_tick") else None
    ctx.set_order_hooks(strategy.on_order if _overrides(strategy, "on_order") else None,
                        strategy.on_fill if _overrides(strategy, "on_fill") else None)
    bar_events = ctx.bar_events
    drive = _native_driver(positions, quote_manager)
    with replay_progress() as progress:
        task = progress.add_task("回測中", total=None)
        show = not progress.disable
        try:
            if drive is not None:
                handled = drive(
                    ticker, positions, quote_manager, ctx, on_tick=on_tick, on_tick_failed=_on_tick_failed,
                    deliver_bars=lambda tick: _deliver_bars(quote_manager, strategy, ctx, on_bar, tick=tick),
                    bar_events=bar_events,
                    matcher=ctx.order_book.matcher, matched=ctx.order_book.apply_matches,
                    last_ticks=ctx.last_ticks, last_quotes=ctx.order_book.last_quotes, recorder=recorder,
                    progress=(lambda done: progress.update(task, completed=done)) if show else None,
                    progress_every=PROGRESS_CHECK_TICKS, progress_interval=PROGRESS_INTERVAL,
                    utc_offset_hours=BASIC_INFO.utc_offset_hours,
                    roll_held=roll.held if roll is not None else None,
                    roll_session=roll.session_start if roll is not None else None)
            else:
                handled = _python_loop(ticker, positions, quote_manager, strategy, ctx, recorder, on_bar, on_tick,
                                       (lambda done: progress.update(task, completed=done)) if show else None, roll)
            if bar_events and quote_manager.finish_bars():
                _deliver_bars(quote_manager, strategy, ctx, on_bar)
            ctx.finish_replay()
        except StrategyError:
            ticker.stop_send_ticks()
            raise
        progress.update(task, total=handled, completed=handled, description="回測完成")
    return handled


def _python_loop(ticker, positions, quote_manager, strategy, ctx, recorder, on_bar, on_tick, show_progress,
                 roll: ContractRoll | None) -> int:
    feed = quote_manager.feed_tick if ctx.bar_events else quote_manager.add_tick
    record_equity = recorder.on_tick if recorder is not None else None
    held = roll.held if roll is not None else {}
    # The quote of each tick, for the order book as the C++ loop keeps it (a Ticker of your own may have none).
    last_quote = getattr(ticker, "last_quote", None)
    quotes = ctx.order_book.last_quotes
    handled = 0
    last_shown = monotonic()
    while True:
        record = ticker.pop_tick()
        if "vorn_status" in record:
            if record["vorn_status"] == FLAG.exit_send_tick.value:
                return handled
            # A status record uses no permit: the one granted after the last tick is still pending.
            continue
        if record_equity is not None:
            record_equity(record)
        positions.set_current_tick(record)
        if last_quote is not None:
            quotes[record["code"]] = last_quote()
        closed = feed(record)
        if roll is not None and record["code"] in held:
            roll.follow(ctx.last_ticks.get(record["code"]), record)
        ctx.observe(record)
        if closed:
            _deliver_bars(quote_manager, strategy, ctx, on_bar, tick=record)
        if on_tick is not None:
            try:
                on_tick(record, ctx)
            except Exception as error:
                raise StrategyError("on_tick", error, record) from error
        handled += 1
        if (show_progress is not None and handled % PROGRESS_CHECK_TICKS == 0
                and monotonic() - last_shown >= PROGRESS_INTERVAL):
            show_progress(handled)
            last_shown = monotonic()
        ticker.allow_next_tick()
