"""The Ticker's threads: dropping a Ticker mid-download, runs started from two threads, exit and
Ctrl-C while a broker call is slow, permits of a new run, payload destructors, quiet consoles."""

from __future__ import annotations

import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from fake_sdk import FakeSdk
from repo_paths import TESTS

from vorn_kest_backtest.constant import FLAG
from vorn_kest_backtest.modules.ticker.ticker import Ticker

EXIT = {"vorn_status": FLAG.exit_send_tick.value}
STOCK = [{"code": "2330", "market": "Stock"}]

PRELUDE = """
import sys, threading, time
sys.path.insert(0, {tests!r})
from fake_sdk import FakeSdk
from vorn_kest_backtest.constant import BASIC_INFO, FLAG
BASIC_INFO.data_dir = {data!r}
from vorn_kest_backtest import utils
utils.console.print = lambda *a, **k: None
from vorn_kest_backtest.modules.ticker.ticker import Ticker
EXIT = {{"vorn_status": FLAG.exit_send_tick.value}}
STOCK = [{{"code": "2330", "market": "Stock"}}]

class SlowPast(FakeSdk):
    '''Days of 2023 take `delay` seconds at the broker.'''
    delay = {delay}
    def ticks(self, contract, date):
        if date.startswith("2023"):
            time.sleep(self.delay)
        return super().ticks(contract, date)

def consume(t):
    while True:
        record = t.tick_queue.get(timeout=10)
        if record == EXIT:
            return
        t.allow_next_tick()
"""


def script_of(body: str, tmp_path: Path, delay: float) -> str:
    prelude = PRELUDE.format(tests=str(TESTS), data=str(tmp_path), delay=delay)
    return prelude + textwrap.dedent(body)


def run_script(body: str, tmp_path: Path, delay: float, timeout: float = 30) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", script_of(body, tmp_path, delay)], capture_output=True, text=True,
                          timeout=timeout)


def interrupt_when_ready(body: str, tmp_path: Path, delay: float) -> subprocess.CompletedProcess:
    """Runs the script until it prints "ready", sends SIGINT, and waits a bounded time for its end."""
    proc = subprocess.Popen([sys.executable, "-c", script_of(body, tmp_path, delay)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    try:
        assert proc.stdout.readline().strip() == "ready"
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=15)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)


def assert_clean(done: subprocess.CompletedProcess) -> None:
    assert done.returncode == 0, done.stderr
    for sign in ("Fatal", "terminate", "deadlock", "Traceback"):
        assert sign not in done.stderr, done.stderr


def test_dropping_a_ticker_while_its_backfill_downloads_is_clean(tmp_path):
    done = run_script("""
        t = Ticker(SlowPast(ticks_per_day=2))
        t.send_ticks(STOCK, "2024-01-02", "2024-01-02", "2023-12-01", "2023-12-01")
        time.sleep(0.5)  # the backfilling thread is inside the broker call now
        del t
        time.sleep(2.5)  # the download ends and the thread lets go of the Ticker
        print("survived")
    """, tmp_path, delay=1.5)
    assert_clean(done)
    assert "survived" in done.stdout


def test_send_ticks_from_two_threads_starts_one_run_after_the_other(tmp_path):
    done = run_script("""
        t = Ticker(FakeSdk(ticks_per_day=3))
        errors = []
        def start():
            try:
                for _ in range(20):
                    t.send_ticks(STOCK, "2024-01-02", "2024-01-03")
            except Exception as e:
                errors.append(e)
        workers = [threading.Thread(target=start) for _ in range(2)]
        for w in workers: w.start()
        for w in workers: w.join(20)
        assert not errors and not any(w.is_alive() for w in workers), errors
        t.send_ticks(STOCK, "2024-01-02", "2024-01-02")
        consume(t)
        print("served")
    """, tmp_path, delay=0)
    assert_clean(done)
    assert "served" in done.stdout


@pytest.mark.parametrize("waiting", ["script-ends", "interrupted-pop"])
def test_exit_does_not_wait_for_a_slow_broker_call(tmp_path, waiting):
    body = """
        t = Ticker(SlowPast(ticks_per_day=2))
        t.send_ticks(STOCK, "2024-01-02", "2024-01-02", "2023-12-01", "2023-12-01")
        time.sleep(0.2)  # the backfilling thread is inside the broker call now
    """
    if waiting == "script-ends":
        assert_clean(run_script(body, tmp_path, delay=60, timeout=20))
    else:
        done = interrupt_when_ready(body + """
        print("ready", flush=True)
        t.pop_tick()  # live ticks wait for the backfill
        """, tmp_path, delay=60)
        assert "KeyboardInterrupt" in done.stderr
        assert "Fatal" not in done.stderr and "terminate" not in done.stderr


@pytest.mark.parametrize(("reader", "ticker_class", "dates"), [
    ("day reader", "Ticker", '"2023-12-01", "2023-12-02"'),
    ("day reader of a progress bar's Ticker", "counting_ticker(Ticker, lambda: None)", '"2023-12-01", "2023-12-02"'),
    ("backfilling", "Ticker", '"2023-12-01", "2023-12-01", "2023-11-01", "2023-11-01"'),
])
def test_a_broker_call_that_returns_while_the_interpreter_tears_down_is_clean(tmp_path, reader, ticker_class, dates):
    # The broker call returns once the interpreter is finalizing: Python then ends the reading thread where it takes
    # the GIL back, which must have no compiled frame under it to unwind.
    done = run_script(f"""
        from vorn_kest_backtest.runner.fetch_progress import counting_ticker
        class UntilTeardown(FakeSdk):
            def ticks(self, contract, date):
                if date != "2023-12-01":
                    deadline = time.monotonic() + 20
                    while not sys.is_finalizing() and time.monotonic() < deadline:
                        time.sleep(0.005)
                return super().ticks(contract, date)
        t = {ticker_class}(UntilTeardown(ticks_per_day=2))
        t.send_ticks(STOCK, {dates})
        time.sleep(0.2)  # the {reader} is inside the broker call now
        print("started")
    """, tmp_path, delay=0, timeout=30)
    assert_clean(done)
    assert "started" in done.stdout


def test_a_second_send_ticks_does_not_wait_for_a_slow_backfill_download(tmp_path):
    done = run_script("""
        t = Ticker(SlowPast(ticks_per_day=2))
        t.send_ticks(STOCK, "2024-01-02", "2024-01-02", "2023-12-01", "2023-12-01")
        time.sleep(0.2)
        t.send_ticks(STOCK, "2024-01-03", "2024-01-03")
        consume(t)
        print("replayed")
    """, tmp_path, delay=60, timeout=20)
    assert_clean(done)
    assert "replayed" in done.stdout


def test_ctrl_c_interrupts_a_send_ticks_waiting_for_another_threads_start(tmp_path):
    done = interrupt_when_ready("""
        t = Ticker(SlowPast(ticks_per_day=2))
        other = threading.Thread(target=t.send_ticks, args=(STOCK, "2023-12-01", "2023-12-01"), daemon=True)
        other.start()
        time.sleep(0.3)  # the other thread holds the start of its run while the broker is slow
        print("ready", flush=True)
        t.send_ticks(STOCK, "2024-01-03", "2024-01-03")
    """, tmp_path, delay=60)
    assert "KeyboardInterrupt" in done.stderr
    assert "Fatal" not in done.stderr and "terminate" not in done.stderr


def test_a_payload_whose_destructor_calls_the_ticker_does_not_deadlock_a_new_run(tmp_path):
    done = run_script("""
        t = Ticker(FakeSdk(ticks_per_day=1))
        class CallsBack:
            def __del__(self):
                t.tick_queue.qsize()
                t.backfilling_notify_finish_queue.qsize()
        t.tick_queue.put(CallsBack())
        t.backfilling_notify_finish_queue.put(CallsBack())
        t.send_ticks(STOCK, "2024-01-02", "2024-01-02")
        consume(t)
        print("replayed")
    """, tmp_path, delay=0, timeout=20)
    assert_clean(done)
    assert "replayed" in done.stdout


def test_a_new_run_after_a_stop_with_a_queued_tick_follows_the_consumer_loop(console):
    ticker = Ticker(FakeSdk(ticks_per_day=3))
    ticker.send_ticks(STOCK, "2024-01-02", "2024-01-02")
    ticker.pop_tick()
    ticker.allow_next_tick()  # the second tick is queued now
    ticker.stop_send_ticks()
    ticker.send_ticks(STOCK, "2024-01-03", "2024-01-03")
    seen = []
    while True:  # the README's loop: pop, handle, allow
        record = ticker.tick_queue.get(timeout=5)
        seen.append(record)
        if record == EXIT:
            break
        ticker.allow_next_tick()
    assert len(seen) == 4 and all(r["is_backfilling"] is False for r in seen[:3])


def test_backfilling_finish_flag_cannot_be_set(console):
    ticker = Ticker(None)
    with pytest.raises(AttributeError, match="backfilling_finish_flag.*True"):
        ticker.backfilling_finish_flag = True
    assert ticker.backfilling_finish_flag is False


class QuietRecorder:
    def __init__(self, quiet: bool) -> None:
        self.quiet = quiet
        self.lines: list[str] = []

    def print(self, *objects, **_kwargs) -> None:
        self.lines.append(" ".join(str(o) for o in objects))


def replay_with(console_object, monkeypatch) -> list[dict]:
    from vorn_kest_backtest import utils

    monkeypatch.setattr(utils, "console", console_object)
    ticker = Ticker(FakeSdk(ticks_per_day=2))
    ticker.send_ticks(STOCK, "2024-01-03", "2024-01-03", "2024-01-02", "2024-01-02")
    seen = []
    while True:
        record = ticker.tick_queue.get(timeout=5)
        seen.append(record)
        if record == EXIT:
            return seen
        ticker.allow_next_tick()


def test_a_quiet_console_gets_no_replay_lines_and_the_records_are_the_same(monkeypatch, tmp_path):
    loud, quiet = QuietRecorder(False), QuietRecorder(True)
    assert replay_with(quiet, monkeypatch) == replay_with(loud, monkeypatch)
    replay_lines = ("[green]開始傳送", "[green]開始回補", "[green]傳送 Tick 資料結束")
    assert not [line for line in quiet.lines if line.startswith(replay_lines)]
    assert len([line for line in loud.lines if line.startswith(replay_lines)]) == 3


def test_a_rich_console_with_quiet_set_gets_no_replay_lines(monkeypatch):
    from rich.console import Console

    quiet = Console(quiet=True)
    built = []
    monkeypatch.setattr(quiet, "print", lambda *a, **k: built.extend(a))
    replay_with(quiet, monkeypatch)
    assert not [line for line in built if "Tick 資料結束" in str(line) or "開始傳送" in str(line)]
