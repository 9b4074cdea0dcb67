"""Runs that mute the console at once in threads give it back loud, whatever order they end in."""

from __future__ import annotations

import threading

import pytest

from vorn_kest_backtest import utils
from vorn_kest_backtest.runner.sweep_run import muted_console

WAIT = 10


@pytest.mark.timeout(WAIT * 3)
@pytest.mark.parametrize("first_out", ["first_in", "last_in"])
def test_overlapping_runs_in_threads_leave_the_console_loud(console, first_out):
    entered = [threading.Event(), threading.Event()]
    leave = [threading.Event(), threading.Event()]
    seen = []

    def run(index: int) -> None:
        with muted_console():
            seen.append(utils.console.quiet)
            entered[index].set()
            assert leave[index].wait(WAIT)

    threads = [threading.Thread(target=run, args=(n,)) for n in (0, 1)]
    threads[0].start()
    assert entered[0].wait(WAIT)
    threads[1].start()
    assert entered[1].wait(WAIT)
    for index in (0, 1) if first_out == "first_in" else (1, 0):
        leave[index].set()
        threads[index].join(WAIT)
        assert not threads[index].is_alive()

    assert seen == [True, True]
    assert utils.console is console


def test_a_muted_run_inside_another_gives_the_console_back_at_the_outer_end(console):
    with muted_console():
        with muted_console():
            assert utils.console.quiet
        assert utils.console.quiet
    assert utils.console is console
