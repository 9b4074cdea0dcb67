// Python surface of Ticker: attributes in constructor order, public and (mangled) private methods.
#include <nanobind/stl/string.h>

#include "tick_queues.hpp"
#include "ticker_impl.hpp"

namespace nb = nanobind;
using vkb::py::Ticker;
using vkb::py::ticks_function;

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
        .def(
            "_Ticker__generate_save_path",
            [](Ticker& t, const nb::object& file_name, const nb::args& sub_folder) {
                return t.generate_save_path(file_name, sub_folder);
            },
            nb::arg("file_name").none() = nb::none(), nb::arg("sub_folder"), "產生存檔路徑 (資料夾不存在時建立)")
        .def("_Ticker__tick_filename_formatter", &Ticker::tick_filename_formatter, nb::arg("code").none(), nb::arg("date").none(),
             "Tick 快取檔名")
        .def("_Ticker__make_kest_contract_object", &Ticker::make_kest_contract_object, nb::arg("code").none(),
             nb::arg("market_type").none(), "取得券商 SDK 的合約物件")
        .def(
            "fetch_kest_history_ticks",
            [](Ticker& t, const nb::object& code, const nb::object& product_type, const nb::object& start_from,
               const nb::object& end_to) {
                return ticks_function("fetch", "fetch_history")(nb::find(&t), code, product_type, start_from, end_to);
            },
            nb::arg("code").none(), nb::arg("product_type").none(),
             nb::arg("start_from").none(), nb::arg("end_to").none(), "下載歷史 Tick 資料, 過去的日期存成快取檔")
        .def(
            "_Ticker__auto_fetch_ticks",
            [](Ticker& t, const nb::object& code, const nb::object& product_type, const nb::object& date) {
                return ticks_function("fetch", "auto_fetch")(nb::find(&t), code, product_type, date);
            },
            nb::arg("code").none(), nb::arg("product_type").none(),
             nb::arg("date").none(), "讀取快取檔, 不存在時下載")
        .def("get_ticks_df", &Ticker::get_ticks_df, nb::arg("code").none(), nb::arg("market_type").none(), nb::arg("start_from").none(),
             nb::arg("end_to").none(), "取得單一商品的 Tick 資料表")
        .def(
            "cache_days",
            [](Ticker& t, const nb::object& codes, const nb::object& start_from, const nb::object& end_to) {
                ticks_function("combine", "cache_days")(nb::find(&t), codes, start_from, end_to);
            },
            nb::arg("codes").none(), nb::arg("start_from").none(),
             nb::arg("end_to").none(),
             nb::sig("def cache_days(self, codes: list[dict[str, str]] | None, start_from: str | datetime.date | None, "
                     "end_to: str | datetime.date | None) -> None"),
             "逐日讀取 (或下載並快取) 各商品的 Tick, 不合併也不回放; 無法載入的日子記在 failed_days")
        .def("_Ticker__process_and_combine_ticks", &Ticker::process_and_combine_ticks, nb::arg("codes").none(),
             nb::arg("start_from").none(), nb::arg("end_to").none(), "合併多個商品的 Tick 資料並依時間排序")
        .def("send_ticks", &Ticker::send_ticks, nb::arg("codes").none(), nb::arg("start_from").none(), nb::arg("end_to").none(),
             nb::arg("backfilling_start_from").none() = nb::none(), nb::arg("backfilling_end_to").none() = nb::none(),
             nb::sig("def send_ticks(self, codes: list[dict[str, str]] | None, start_from: str | datetime.date | None, end_to: str | datetime.date | None, "
                     "backfilling_start_from: str | datetime.date | None = None, backfilling_end_to: str | datetime.date | None = None) -> None"),
             "開始在背景逐筆傳送 Tick 資料")
        .def("pop_tick", &Ticker::pop_tick, "取出下一筆 Tick 或狀態資料 (等待時釋放 GIL)")
        .def("last_quote", &Ticker::last_quote,
             nb::sig("def last_quote(self) -> tuple[float, float, int, int] | None"),
             "pop_tick 最後取出的 Tick 的 (委買價, 委賣價, 委買量, 委賣量); 無報價或不是 Tick 時為 None")
        .def("allow_next_tick", &Ticker::allow_next_tick, "允許傳送下一筆 Tick")
        .def("stop_send_ticks", &Ticker::stop_send_ticks, "停止傳送 Tick 資料")
        .def(
            "wait_for_tick_cache",
            [](Ticker&) { ticks_function("cache_writer", "writer").attr("wait_for")(""); },
            "等待回放讀取的日子寫入 Tick 快取 (回放不等快取寫完即開始; 程式結束前也會寫完)")
        .def("backfilling", &Ticker::backfilling, nb::arg("codes").none(), nb::arg("start_from").none() = nb::none(),
             nb::arg("end_to").none() = nb::none(),
             nb::sig("def backfilling(self, codes: list[dict[str, str]] | None, start_from: str | datetime.date | None = None, "
                     "end_to: str | datetime.date | None = None) -> None"),
             "回補 Tick 資料")
        .def("_Ticker__push_tick_to_queue", &Ticker::push_tick_to_queue, nb::arg("df").none(), "逐筆傳送資料表的 Tick")
        .def("_Ticker__notify_backfilling_finish", &Ticker::notify_backfilling_finish, "通知回補完成");
}
