"""Position request and notify queues between threads."""

from __future__ import annotations

import collections
import queue
import threading

import pytest

from vorn_kest_backtest.modules.positions.positions import Positions

TIMEOUT = 10


class TaggedList(list):
    pass


class TaggedDict(dict):
    pass


@pytest.mark.parametrize(("first", "second"), [
    pytest.param([{"code": "2330"}], [], id="lists"),
    pytest.param({"code": "2330"}, {"code": "2317"}, id="mappings"),
    pytest.param(TaggedList([1]), TaggedDict(code="2330"), id="subtypes"),
    pytest.param(collections.OrderedDict(code="2330"), [{"code": "2317"}], id="mixed"),
])
def test_positions_come_out_in_the_order_put_and_uncopied(first, second):
    p = Positions()
    p.add_positions_to_queue(first)
    p.add_positions_to_queue(second)
    assert p.pop_positions() is first
    assert p.pop_positions() is second
    assert p.fetch_position_queue.empty()


@pytest.mark.parametrize("value", [({"code": "2330"},), 3, 1.5, "2330", None], ids=repr)
def test_other_formats_are_refused_with_their_type_and_nothing_is_queued(value):
    p = Positions()
    with pytest.raises(Exception) as info:
        p.add_positions_to_queue(value)
    assert type(info.value) is Exception
    assert str(info.value) == "不支援的持有部位格式: " + str(type(value))
    assert p.fetch_position_queue.empty()


def test_taking_the_finish_notice_clears_the_flag_and_returns_true():
    p = Positions()
    p.wait_fetch_position_response_flag = True
    p.add_finish_notify_to_queue()
    assert p.wait_fetch_position_response_flag is True
    assert p.pop_finish_notify() is True
    assert p.wait_fetch_position_response_flag is False


@pytest.mark.parametrize(("pop", "put", "expected"), [
    pytest.param("pop_positions", lambda p: p.add_positions_to_queue([{"code": "2330"}]), [{"code": "2330"}],
                 id="positions"),
    pytest.param("pop_finish_notify", lambda p: p.add_finish_notify_to_queue(), True, id="finish-notice"),
])
def test_a_waiting_pop_is_released_by_a_put_from_another_thread(pop, put, expected):
    p = Positions()
    p.wait_fetch_position_response_flag = True
    results = []
    waiting = threading.Event()

    def consumer():
        waiting.set()
        results.append(getattr(p, pop)())

    worker = threading.Thread(target=consumer, daemon=True)
    worker.start()
    assert waiting.wait(TIMEOUT)
    put(p)  # runs while the consumer waits inside the pop
    worker.join(TIMEOUT)
    assert not worker.is_alive()
    assert results == [expected]
    assert p.wait_fetch_position_response_flag is (pop != "pop_finish_notify")


class RecordingQueue:
    """Any object with put/get can stand behind the queue attributes."""

    def __init__(self):
        self.items = queue.LifoQueue()

    def put(self, item):
        self.items.put(item)

    def get(self):
        return self.items.get(timeout=TIMEOUT)


def test_the_methods_use_whatever_queue_the_attributes_hold():
    p = Positions()
    p.fetch_position_queue = RecordingQueue()
    p.finish_fetch_position_queue = RecordingQueue()
    p.add_positions_to_queue([1])
    p.add_positions_to_queue([2])
    assert p.pop_positions() == [2]
    p.add_finish_notify_to_queue()
    assert p.pop_finish_notify() is True
