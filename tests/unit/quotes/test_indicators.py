"""Indicators of QuoteManager against plain numpy computations over the same k-bars."""

from __future__ import annotations

from datetime import datetime, timedelta

import numpy as np
import pytest
from quote_ticks import tick

from vorn_kest_backtest.modules.positions.positions import QuoteManager

NAN = np.nan


def sma(c, n):
    return np.array([c[i + 1 - n:i + 1].mean() if i + 1 >= n else NAN for i in range(len(c))])


def ema(c, n):
    out = np.full(len(c), NAN)
    alpha = 2 / (n + 1)
    for i in range(n - 1, len(c)):
        out[i] = c[:n].mean() if i == n - 1 else out[i - 1] + alpha * (c[i] - out[i - 1])
    return out


def wilder(values, n, first):
    """Wilder's average of `values`, its first value at index `first` the mean of the n values up to it."""
    out = np.full(len(values), NAN)
    for i in range(first, len(values)):
        out[i] = values[i + 1 - n:i + 1].mean() if i == first else (out[i - 1] * (n - 1) + values[i]) / n
    return out


def rsi(c, n):
    change = np.diff(c, prepend=c[0])
    gain, loss = wilder(np.maximum(change, 0), n, n), wilder(np.maximum(-change, 0), n, n)
    with np.errstate(divide="ignore", invalid="ignore"):
        out = 100 - 100 / (1 + gain / loss)
    out[(loss == 0) & (gain > 0)] = 100.0
    out[(loss == 0) & (gain == 0)] = 50.0
    return out


def atr(h, low, c, n):
    prev = np.concatenate([[NAN], c[:-1]])
    tr = np.nanmax(np.stack([h - low, np.abs(h - prev), np.abs(low - prev)]), axis=0)
    return wilder(tr, n, n - 1)


def bollinger(c, n, width, sign):
    std = np.array([c[i + 1 - n:i + 1].std() if i + 1 >= n else NAN for i in range(len(c))])
    return sma(c, n) + sign * width * std


def rolling(values, n, fn):
    return np.array([fn(values[i + 1 - n:i + 1]) if i + 1 >= n else NAN for i in range(len(values))])


def vwap(dt, h, low, c, v):
    out, pv, vol, day = np.full(len(c), NAN), 0.0, 0.0, None
    for i in range(len(c)):
        if dt[i].date() != day:
            day, pv, vol = dt[i].date(), 0.0, 0.0
        pv += (h[i] + low[i] + c[i]) / 3 * v[i]
        vol += v[i]
        out[i] = pv / vol if vol else NAN
    return out


CASES = [("sma", 5, 0), ("sma", 1, 0), ("ema", 4, 0), ("rsi", 6, 0), ("atr", 5, 0), ("bollinger_upper", 7, 2.0),
         ("bollinger_lower", 7, 1.5), ("highest", 4, 0), ("lowest", 4, 0), ("vwap", 0, 0)]


def reference(kind, n, width, bars):
    dt, o, h, low, c, v = (bars[k].to_numpy() for k in ("dt", "Open", "High", "Low", "Close", "Volume"))
    dt = bars["dt"].to_list()
    return {
        "sma": lambda: sma(c, n), "ema": lambda: ema(c, n), "rsi": lambda: rsi(c, n), "atr": lambda: atr(h, low, c, n),
        "bollinger_upper": lambda: bollinger(c, n, width, 1), "bollinger_lower": lambda: bollinger(c, n, width, -1),
        "highest": lambda: rolling(h, n, np.max), "lowest": lambda: rolling(low, n, np.min),
        "vwap": lambda: vwap(dt, h, low, c, v.astype(float)),
    }[kind]()


@pytest.mark.parametrize("seed", range(4))
def test_indicators_match_numpy_over_random_bars_warm_up_included(seed):
    rng = np.random.default_rng(seed)
    q = QuoteManager()
    early = q.add_indicator("2330", "m", 3, "sma", 2)
    handles = {case: q.add_indicator("2330", "m", 3, *case) for case in CASES[: len(CASES) // 2]}
    moment = datetime(2024, 1, 2, 9, 0)
    for i in range(400):
        moment += timedelta(seconds=int(rng.integers(0, 200)))
        if moment.hour >= 13:  # the next session
            moment = datetime.combine(moment.date() + timedelta(days=1), moment.time().replace(hour=9))
        q.add_tick(tick(moment, close=float(rng.integers(90, 110)), qty=int(rng.integers(0, 4))))
        if i == 200:  # indicators added mid-run catch up on the bars closed so far
            handles |= {case: q.add_indicator("2330", "m", 3, *case) for case in CASES[len(CASES) // 2:]}
    q.finish_bars()
    bars = q.get_kbar("2330", "m", 3)
    assert bars.height > 100 and bars["dt"].dt.date().n_unique() > 1
    for case, handle in handles.items():
        got = q.indicator_values(handle)
        np.testing.assert_allclose(got, reference(*case, bars), rtol=1e-9, atol=1e-9, err_msg=str(case))
        if case[0] != "vwap":
            warm_up = case[1] if case[0] == "rsi" else case[1] - 1
            assert np.isnan(got[:warm_up]).all() and not np.isnan(got[warm_up:]).any()
    assert q.indicator_value(early) == pytest.approx(sma(bars["Close"].to_numpy(), 2)[-1])


@pytest.mark.parametrize("kind, length, width, message", [
    ("macd", 3, 2.0, "不支援的指標: macd"),
    ("sma", 0, 2.0, "指標的長度必須是正整數: 0"),
    ("bollinger_upper", 5, float("nan"), "指標的寬度必須是不小於 0 的有限數值"),
])
def test_bad_indicator_is_refused(kind, length, width, message):
    with pytest.raises(ValueError, match=message):
        QuoteManager().add_indicator("2330", "m", 1, kind, length, width)


def test_no_closed_bar_gives_nan():
    q = QuoteManager()
    handle = q.add_indicator("2330", "m", 1, "sma", 1)
    assert np.isnan(q.indicator_value(handle)) and len(q.indicator_values(handle)) == 0
