import math
import subprocess
import sys
from datetime import datetime

import numpy as np
import pytest
from quote_ticks import tick
from repo_paths import TESTS

from vorn_kest_backtest.modules.positions.positions import QuoteManager

# Run in a child process: a regression of the bucket arithmetic kills the process (SIGFPE).
BAR_LENGTH_PROBE = """
import sys
from datetime import datetime
sys.path.insert(0, {tests!r})
from quote_ticks import tick
from repo_paths import TESTS
from vorn_kest_backtest.modules.positions.positions import QuoteManager
q = QuoteManager()
q.add_tick(tick(datetime(2024, 1, 2, 9, 0, 5)))
try:
    q.get_kbar("2330", {unit!r}, {freq})
except ValueError as error:
    print("ValueError", error)
else:
    print("accepted", q.get_kbar("2330", {unit!r}, {freq})["dt"].dt.year().to_list())
"""


def probe_bar_length(unit, freq):
    code = BAR_LENGTH_PROBE.format(tests=str(TESTS), unit=unit, freq=freq)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


@pytest.mark.parametrize("unit, freq", [("m", 2**56), ("h", 2**54), ("y", 2**62), ("m", 2**40), ("d", 2**70),
                                        ("mo", 120_001), ("w", 522_858)])
def test_bar_length_whose_bucket_does_not_fit_is_refused(unit, freq):
    out = probe_bar_length(unit, freq)
    assert out.startswith("ValueError K 棒長度超過上限") and out.endswith(str(freq))


@pytest.mark.parametrize("unit, freq", [("m", 5_270_400_000), ("y", 10_000), ("mo", 120_000)])
def test_longest_bar_length_builds_a_bar_from_1970(unit, freq):
    assert probe_bar_length(unit, freq) == "accepted [1970]"


def stock_tick(**changes):
    record = tick(datetime(2024, 1, 2, 9, 0, 5))
    record.update(changes)
    return record


@pytest.mark.parametrize("timestamp", [math.nan, math.inf, -math.inf, -1.0, 4102444800.0, 1e20, -9e18])
def test_non_finite_or_out_of_range_timestamp_is_refused(timestamp):
    q = QuoteManager()
    with pytest.raises(ValueError, match="'timestamp'") as err:
        q.add_tick(stock_tick(timestamp=timestamp))
    assert str(err.value).endswith(repr(timestamp))
    q.add_tick(stock_tick())
    q.add_tick(tick(datetime(2024, 1, 2, 9, 3, 5)))
    assert q.get_kbar("2330")["dt"].to_list() == [datetime(2024, 1, 2, 9, m) for m in range(4)]


@pytest.mark.parametrize(
    "key, value, error",
    [
        ("close", math.nan, ValueError),
        ("close", math.inf, ValueError),
        ("close", -1.5, ValueError),
        ("close", "10", TypeError),
        ("qty", -3, ValueError),
        ("qty", 2.7, ValueError),
        ("qty", math.nan, ValueError),
        ("qty", 1e30, ValueError),
        ("qty", 2**64, ValueError),
        ("qty", "3", TypeError),
        ("qty", True, TypeError),
        ("tick_type", 300, ValueError),
        ("tick_type", -129, ValueError),
        ("tick_type", 1.5, ValueError),
        ("is_simulate", "no", TypeError),
        ("is_simulate", 1, TypeError),
        ("market_type", "Option", ValueError),
        ("market_type", None, TypeError),
        ("code", 2330, TypeError),
        ("timestamp", "2024-01-02", TypeError),
    ],
)
def test_bad_tick_value_is_refused_naming_key_and_value(key, value, error):
    q = QuoteManager()
    q.add_tick(stock_tick())
    with pytest.raises(error) as err:
        q.add_tick(tick(datetime(2024, 1, 2, 9, 5, 5)) | {key: value})
    assert f"'{key}'" in str(err.value) and str(err.value).endswith(repr(value))
    assert q.poped_tick_to_df("2330").height == 1


@pytest.mark.parametrize(
    "changes, stored",
    [
        (dict(qty=np.int64(7), tick_type=np.int8(2)), (7, 2, False)),
        (dict(qty=7.0, is_simulate=np.bool_(True)), (7, 1, True)),
        (dict(close=0.0, qty=0, tick_type=-1), (0, -1, False)),
    ],
)
def test_numpy_and_whole_float_values_are_taken(changes, stored):
    q = QuoteManager()
    q.add_tick(stock_tick(**changes))
    assert q.poped_tick_to_df("2330").select("qty", "tick_type", "is_simulate").row(0) == stored
