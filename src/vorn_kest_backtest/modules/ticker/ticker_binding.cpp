// The compiled Ticker: attributes in constructor order and the replay's methods; the Python Ticker over it adds
// the file, frame and broker methods and checks send_ticks' arguments.
#include <nanobind/stl/string.h>

#include "tick_queues.hpp"
#include "ticker_impl.hpp"

namespace nb = nanobind;
using vkb::py::Ticker;

void bind_ticker(nb::module_& m) {
    nb::class_<Ticker>(m, "Ticker", "歷史 Tick 下載、快取、合併與逐筆回放", nb::is_weak_referenceable())
        .def(nb::init<nb::object>(), nb::arg("kest_api").none())
        .def_prop_rw(
            "api", [](Ticker& t) { return t.api; }, [](Ticker& t, nb::object v) { t.api = std::move(v); },
            nb::for_setter(nb::arg("value").none()))
        .def_ro("allow_next_tick_flag_queue", &Ticker::allow_next_tick_flag_queue)
        .def_ro("backfilling_notify_finish_queue", &Ticker::backfilling_notify_finish_queue)
        .def_prop_rw(
            "backfilling_finish_flag", [](Ticker& t) { return t.engine().backfilling_finished(); },
            [](Ticker&, const nb::object& v) {
                throw nb::attribute_error(
                    ("backfilling_finish_flag 是唯讀屬性, 由回補流程設定, 不能指定: " + nb::cast<std::string>(nb::repr(v)))
                        .c_str());
            },
            nb::for_setter(nb::arg("value").none()))
        .def_prop_rw(
            "exit_send_thread_flag", [](Ticker& t) { return t.engine().exit_requested(); },
            [](Ticker& t, bool v) { t.set_exit_flag(v); })
        .def_rw("tick_file_save_path", &Ticker::tick_file_save_path)
        .def_ro("tick_queue", &Ticker::tick_queue)
        .def_rw("code_market_map", &Ticker::code_market_map)
        .def_ro("tick_df_schema", &Ticker::tick_df_schema)
        .def_rw("current_send_ticks_params", &Ticker::current_send_ticks_params)
        .def_prop_ro(
            "failed_days",
            [](Ticker& t) {
                nb::list copy;
                for (nb::handle day : t.failed_days) copy.append(nb::dict(nb::borrow<nb::dict>(day)));
                return copy;
            },
            "上次 send_ticks 無法載入的日子: [{\"code\", \"date\", \"reason\"}, ...]")
        .def_rw("_failed_days", &Ticker::failed_days)
        .def("_send_ticks", &Ticker::send_ticks, nb::arg("codes"), nb::arg("start_from"), nb::arg("end_to"),
             nb::arg("backfilling_start_from").none(), nb::arg("backfilling_end_to").none(),
             nb::sig("def _send_ticks(self, codes: list[dict[str, str]], start_from: str, end_to: str, "
                     "backfilling_start_from: str | None, backfilling_end_to: str | None) -> None"),
             "開始在背景逐筆傳送 Tick 資料 (參數已檢查)")
        .def("pop_tick", &Ticker::pop_tick, "取出下一筆 Tick 或狀態資料 (等待時釋放 GIL)")
        .def("last_quote", &Ticker::last_quote,
             nb::sig("def last_quote(self) -> tuple[float, float, int, int] | None"),
             "pop_tick 最後取出的 Tick 的 (委買價, 委賣價, 委買量, 委賣量); 無報價或不是 Tick 時為 None")
        .def("allow_next_tick", &Ticker::allow_next_tick, "允許傳送下一筆 Tick")
        .def("stop_send_ticks", &Ticker::stop_send_ticks, "停止傳送 Tick 資料")
        .def("backfilling", &Ticker::backfilling, nb::arg("codes").none(), nb::arg("start_from").none() = nb::none(),
             nb::arg("end_to").none() = nb::none(),
             nb::sig("def backfilling(self, codes: list[dict[str, str]] | None, start_from: str | datetime.date | None = None, "
                     "end_to: str | datetime.date | None = None) -> None"),
             "回補 Tick 資料")
        .def("_Ticker__push_tick_to_queue", &Ticker::push_tick_to_queue, nb::arg("df").none(), "逐筆傳送資料表的 Tick")
        .def("_Ticker__notify_backfilling_finish", &Ticker::notify_backfilling_finish, "通知回補完成");
}
