"""The consumer side of the tick replay: one tick at a time through account, quotes and strategy."""

from __future__ import annotations

from vorn_kest_backtest.constant import FLAG
from vorn_kest_backtest.runner.context import Context
from vorn_kest_backtest.runner.errors import StrategyError
from vorn_kest_backtest.runner.progress import replay_progress
from vorn_kest_backtest.runner.strategy import Strategy


def call_hook(strategy_hook, hook_name: str, *args, tick=None) -> None:
    try:
        strategy_hook(*args)
    except Exception as error:
        raise StrategyError(hook_name, error, tick) from error


def replay(ticker, positions, quote_manager, strategy: Strategy, ctx: Context, recorder=None) -> int:
    """Drives the handshake until the end-of-replay status; returns the number of ticks handled.

    recorder: the equity recorder, told of every tick before the account books it.
    """
    handled = 0
    with replay_progress() as progress:
        task = progress.add_task("回測中", total=None)
        while True:
            record = ticker.pop_tick()
            if "vorn_status" in record:
                if record["vorn_status"] == FLAG.exit_send_tick.value:
                    break
                # A status record uses no permit: the one granted after the last tick is still pending.
                continue
            if recorder is not None:
                recorder.on_tick(record)
            positions.set_current_tick(record)
            quote_manager.add_tick(record)
            ctx.observe(record)
            try:
                call_hook(strategy.on_tick, "on_tick", record, ctx, tick=record)
            except StrategyError:
                ticker.stop_send_ticks()
                raise
            handled += 1
            progress.advance(task)
            ticker.allow_next_tick()
        ctx.finish_replay()
        progress.update(task, total=handled, completed=handled, description="回測完成")
    return handled
