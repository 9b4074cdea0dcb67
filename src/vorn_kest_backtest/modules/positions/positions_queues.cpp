// Position request and notify queues. The methods only call put/get on whatever queue object the
// attribute holds, so any blocking queue with the queue.Queue methods can stand behind them; a
// waiting get releases the GIL inside the queue itself, so other threads keep running.
#include <string>

#include "positions_support.hpp"

namespace vkb::py {

namespace {

void put_on(nb::handle self, nb::handle queue_name, nb::handle item) {
    get_attr(self, queue_name).attr(keys().put)(item);
}

nb::object take_from(nb::handle self, nb::handle queue_name) {
    return get_attr(self, queue_name).attr(keys().get)();
}

}  // namespace

void bind_positions_queues(PositionsClass& cls) {
    cls.def(
        "add_positions_to_queue",
        method<kind::Any>("add_positions_to_queue", {"positions"}, [](Self self, nb::handle positions) {
            if (!PyList_Check(positions.ptr()) && !PyDict_Check(positions.ptr()))
                raise_exception("不支援的持有部位格式: " +
                                str_text(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(positions.ptr())))));
            put_on(self.h, keys().fetch_position_queue, positions);
        }),
        nb::sig("def add_positions_to_queue(self, positions: list | dict) -> None"),
        "將持有部位加入 Queue\n\npositions: 持有部位 (list 或 dict, 含子類別; 放入的是物件本身, 不是複本).");

    cls.def(
        "pop_positions",
        method("pop_positions", {}, [](Self self) { return take_from(self.h, keys().fetch_position_queue); }),
        nb::sig("def pop_positions(self) -> list | dict"),
        "從 Queue 取出持有部位 (沒有資料時一直等待)");

    cls.def(
        "add_finish_notify_to_queue",
        method("add_finish_notify_to_queue", {},
               [](Self self) { put_on(self.h, keys().finish_fetch_position_queue, Py_True); }),
        nb::sig("def add_finish_notify_to_queue(self) -> None"),
        "加入取得持有部位完成的通知 (True)");

    cls.def(
        "pop_finish_notify",
        method("pop_finish_notify", {}, [](Self self) {
            nb::object notice = take_from(self.h, keys().finish_fetch_position_queue);
            // Cleared only once the notice is in hand: the waiting side is answered.
            self.p->wait_fetch_position_response.store(false);
            return notice;
        }),
        nb::sig("def pop_finish_notify(self) -> bool"),
        "取出完成通知 (沒有通知時一直等待), 之後將 wait_fetch_position_response_flag 設為 False");
}

}  // namespace vkb::py
