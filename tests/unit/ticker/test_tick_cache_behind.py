"""A replay starts once its first day is read and reads the others as it goes; their cache files are written
behind it, before the program ends, and read together on the next run."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading
import time

import pytest
from fake_sdk import COLUMNS, FakeSdk, wall_ns

from vorn_kest_backtest.constant import FLAG
from vorn_kest_backtest.modules.ticker.ticker import Ticker
from vorn_kest_backtest.ticks.cache_writer import writer

ONE = [{"code": "2330", "market": "Stock"}]
DAYS = ("2024-01-02", "2024-01-03", "2024-01-04")
EXIT = {"vorn_status": FLAG.exit_send_tick.value}


def cache_names(data_dir) -> list[str]:
    return sorted(path.name for path in data_dir.glob("kest/**/*.csv"))


def test_a_replays_days_are_cached_and_the_next_run_reads_them_without_the_broker(data_dir, console):
    sdk = FakeSdk()
    ticker = Ticker(sdk)
    ticker.send_ticks(ONE, DAYS[0], DAYS[-1])
    # Asked again at once (another Ticker): each day waits for its file rather than asking the broker again.
    again = Ticker(sdk).get_ticks_df("2330", "Stock", DAYS[0], DAYS[-1])
    assert again.height == 9 and len(sdk.calls) == 3
    ticker.wait_for_tick_cache()
    assert cache_names(data_dir) == [f"2330 {day} - ticks.csv" for day in DAYS]
    while ticker.tick_queue.get(timeout=10) != EXIT:
        ticker.allow_next_tick()


def test_a_day_another_reader_is_fetching_is_waited_for_and_read_from_its_file(data_dir, console):
    entered, go = threading.Event(), threading.Event()

    class Held(FakeSdk):
        def ticks(self, contract, date):
            entered.set()
            assert go.wait(10)
            return super().ticks(contract, date)

    sdk = Held()
    frames = {}

    def read(name):
        frames[name] = Ticker(sdk).get_ticks_df("2330", "Stock", DAYS[0], DAYS[0])

    first = threading.Thread(target=read, args=("first",))
    first.start()
    assert entered.wait(10)
    second = threading.Thread(target=read, args=("second",))
    second.start()
    deadline = time.monotonic() + 10
    while writer._waiting == 0 and time.monotonic() < deadline:  # the second reader waits on the first one's day
        time.sleep(0.01)
    go.set()
    first.join(10)
    second.join(10)
    assert len(sdk.calls) == 1
    assert frames["first"].height == frames["second"].height == 3


def test_a_program_that_ends_right_after_starting_its_replay_leaves_the_days_it_read_cached_whole(tmp_path):
    data = tmp_path / "data"
    script = textwrap.dedent(f"""
        from vorn_kest_backtest.brokers import SimulatedBroker
        from vorn_kest_backtest.constant import BASIC_INFO
        from vorn_kest_backtest.modules.ticker.ticker import Ticker

        BASIC_INFO.data_dir = {str(data)!r}
        ticker = Ticker(SimulatedBroker(ticks_per_day=2000))
        ticker.send_ticks([{{"code": "2330", "market": "Stock"}}], "2024-01-02", "2024-01-12")
        ticker.pop_tick()
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    names = cache_names(data)
    # The replay reads one day ahead of the ticks taken; each day read is cached, none in part.
    assert names and names == [f"2330 2024-01-{day:02d} - ticks.csv" for day in range(2, 2 + len(names))]
    assert not list(data.glob("kest/**/*.tmp*"))
    for path in data.glob("kest/**/*.csv"):
        assert path.read_text().endswith("\n")


@pytest.mark.parametrize("bad", ["abc", "0.0"])
def test_cached_days_read_together_still_name_a_damaged_file(bad, data_dir, console):
    folder = data_dir / "kest" / "ticks"
    folder.mkdir(parents=True)
    for day in DAYS:
        close = bad if day == DAYS[1] else "100.0"
        rows = [f"{wall_ns(day, 9, n)},{value},1,99.5,2,100.5,3,1" for n, value in enumerate(["100.0", close])]
        (folder / f"2330 {day} - ticks.csv").write_text("\n".join([",".join(COLUMNS), *rows]) + "\n")
    sdk = FakeSdk()
    ticker = Ticker(sdk)
    frame = ticker._Ticker__process_and_combine_ticks(ONE, DAYS[0], DAYS[-1])
    assert frame.height == 4 and sdk.calls == []
    [failed] = ticker.failed_days
    assert failed["date"] == DAYS[1] and f"2330 {DAYS[1]} - ticks.csv" in failed["reason"]
    assert bad in failed["reason"] and ("第 3 行" in failed["reason"] or bad == "abc")
