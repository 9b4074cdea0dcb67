"""Construction state, queues, contracts, cache names and paths."""

from __future__ import annotations

import os
import queue

import polars as pl
import pytest
from fake_sdk import FakeSdk

from vorn_kest_backtest.modules.ticker.ticker import Ticker


@pytest.fixture
def ticker() -> Ticker:
    return Ticker(FakeSdk())


def test_new_ticker_has_one_permit_and_empty_queues(ticker, data_dir):
    assert ticker.allow_next_tick_flag_queue.qsize() == 1
    assert ticker.allow_next_tick_flag_queue.get(timeout=1) is True
    assert ticker.allow_next_tick_flag_queue.empty()
    assert ticker.tick_queue.empty() and ticker.backfilling_notify_finish_queue.empty()
    assert ticker.backfilling_finish_flag is False and ticker.exit_send_thread_flag is False
    assert ticker.code_market_map == {} and ticker.current_send_ticks_params == {}
    assert ticker.tick_file_save_path == os.path.join(str(data_dir), "ticks")
    assert data_dir.is_dir() and not (data_dir / "ticks").exists()


def test_attributes_are_declared_in_constructor_order():
    # On the compiled Ticker, which keeps them; the Python Ticker over it adds methods only.
    compiled = Ticker.__base__
    names = [n for n in vars(compiled) if not n.startswith("_") and not callable(getattr(compiled, n))]
    assert names == [
        "api", "allow_next_tick_flag_queue", "backfilling_notify_finish_queue", "backfilling_finish_flag",
        "exit_send_thread_flag", "tick_file_save_path", "tick_queue", "code_market_map", "tick_df_schema",
        "current_send_ticks_params", "failed_days",
    ]


def test_schema_columns_and_dtypes(ticker):
    assert list(ticker.tick_df_schema.items()) == [
        ("ts", pl.Int64), ("close", pl.Float64), ("volume", pl.Int64), ("bid_price", pl.Float64),
        ("bid_volume", pl.Int64), ("ask_price", pl.Float64), ("ask_volume", pl.Int64), ("tick_type", pl.Int64),
    ]


@pytest.mark.parametrize("name", ["tick_queue", "backfilling_notify_finish_queue"])
def test_queues_behave_like_queue_queue(ticker, name):
    q = getattr(ticker, name)
    with pytest.raises(queue.Empty):
        q.get_nowait()
    with pytest.raises(queue.Empty):
        q.get(timeout=0.01)
    with pytest.raises(queue.Empty):
        q.get(block=False)
    item = {"any": object()}
    q.put(item)
    q.put_nowait(2)
    assert q.qsize() == 2 and not q.empty()
    assert q.get(timeout=1) is item
    assert q.get(True, 1) == 2
    with pytest.raises(ValueError):
        q.get(timeout=-1)


def test_permit_queue_counts_every_put_as_a_permit(ticker):
    q = ticker.allow_next_tick_flag_queue
    q.put(True)
    q.put_nowait(True)
    ticker.allow_next_tick()
    assert q.qsize() == 4
    assert [q.get(timeout=1) for _ in range(4)] == [True] * 4
    with pytest.raises(queue.Empty):
        q.get(timeout=0.01)


@pytest.mark.parametrize(
    "market, family", [("Stock", "stock"), ("Future", "future"), ("", "future"), ("stock", "future")]
)
def test_contract_family_follows_market(ticker, market, family):
    code = "2330" if family == "stock" else "TXFR1"
    assert ticker._Ticker__make_kest_contract_object(code, market) == (family, code)


def test_unknown_code_fails_with_the_sdk_lookup_error(ticker):
    with pytest.raises(KeyError):
        ticker._Ticker__make_kest_contract_object("9999", "Stock")


def test_cache_file_name_and_path(ticker, data_dir):
    name = ticker._Ticker__tick_filename_formatter("TXFR1", "2024-03-05")
    assert name == "TXFR1 2024-03-05 - ticks.csv"
    path = ticker._Ticker__generate_save_path(name, "kest", "ticks")
    assert path == os.path.join(str(data_dir), "kest", "ticks", "TXFR1 2024-03-05 - ticks.csv")
    assert (data_dir / "kest" / "ticks").is_dir()
    assert ticker._Ticker__generate_save_path(None, "kest") == os.path.join(str(data_dir), "kest")


def test_data_dir_is_read_at_every_call(ticker, tmp_path, monkeypatch):
    from vorn_kest_backtest.constant import BASIC_INFO

    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path / "elsewhere"))
    assert ticker._Ticker__generate_save_path("f.csv", "kest").startswith(str(tmp_path / "elsewhere"))


@pytest.mark.parametrize("code", ["../2330", "a/b", "a\\b", "..", "23\x0030"])
def test_unsafe_codes_and_dates_are_refused(ticker, code, data_dir):
    with pytest.raises(ValueError, match="不安全"):
        ticker._Ticker__tick_filename_formatter(code, "2024-01-02")
    with pytest.raises(ValueError):
        ticker._Ticker__tick_filename_formatter("2330", code)
    with pytest.raises(ValueError):
        ticker.fetch_kest_history_ticks(code, "Stock", "2024-01-02", "2024-01-02")
    assert not (data_dir / "kest").exists()
    assert ticker.api.calls == []


@pytest.mark.parametrize("code, date, named", [(2330, "2024-01-02", "code"), ("2330", None, "date")])
def test_formatter_wants_text(ticker, code, date, named):
    with pytest.raises(TypeError, match=named):
        ticker._Ticker__tick_filename_formatter(code, date)


def test_save_path_file_name_must_be_text_or_none(ticker):
    with pytest.raises(TypeError, match="file_name"):
        ticker._Ticker__generate_save_path(5, "kest")
