// The exchange clock for Python: epoch seconds <-> naive wall-clock time at BASIC_INFO.utc_offset_hours.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <string>

#include "market_values.hpp"
#include "common/rule_text.hpp"
#include "positions/numpy_columns.hpp"
#include "vkb/civil_time.hpp"
#include "vkb/exchange_time.hpp"
#include "vkb/session_calendar.hpp"

namespace nb = nanobind;

namespace {

using Seconds = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu, nb::c_contig>;

nb::object exchange_datetime(double epoch_seconds) {
    const vkb::CivilDateTime t = vkb::exchange_civil(epoch_seconds, vkb::py::exchange_utc_offset());
    return vkb::py::import_attr("datetime", "datetime")(t.year, t.month, t.day, t.hour, t.minute, t.second,
                                                         t.microsecond);
}

nb::object exchange_wall_micros(const Seconds& epoch_seconds) {
    const std::size_t n = epoch_seconds.shape(0);
    auto out = vkb::py::owned_column<std::int64_t>(n);
    vkb::exchange_wall_micros({epoch_seconds.data(), n}, vkb::py::exchange_utc_offset(), out.data);
    return out.array;
}

// Written from the session table, so the help cannot drift from the rule.
const std::string& night_opening_doc() {
    static const std::string doc = "最近一次 (含當下) 夜盤開盤 " + vkb::py::clock_text(vkb::kNightStartSecond) +
                                   " 的日曆日 (1970-01-01 起的日數); 期貨 Tick 的交易日改變時必定改變.";
    return doc;
}

}  // namespace

void bind_exchange_clock(nb::module_& m) {
    m.attr("NS_PER_DAY") = vkb::kNanosPerDay;
    m.attr("EXCHANGE_UTC_OFFSET_HOURS") = vkb::kExchangeUtcOffsetHours;
    m.def("exchange_datetime", &exchange_datetime, nb::arg("epoch_seconds"),
          nb::sig("def exchange_datetime(epoch_seconds: float) -> datetime.datetime"),
          "epoch 秒數在交易所時鐘上的時間 (不帶時區), 與本機時區無關.");
    m.def("exchange_wall_micros", &exchange_wall_micros, nb::arg("epoch_seconds"),
          "每個 epoch 秒數在交易所時鐘上的微秒數 (可視為 datetime64[us]); 無法表示的值為 NaT.");
    m.def("exchange_wall_micros",
          [](double epoch_seconds) { return vkb::to_wall_micros(epoch_seconds, vkb::py::exchange_utc_offset()); },
          nb::arg("epoch_seconds"));
    m.def("wall_ns_to_epoch_seconds", &vkb::wall_ns_to_epoch_seconds, nb::arg("ts"), nb::arg("utc_offset_hours"),
          "券商的奈秒時間戳記是交易所牆上時間 (當作 UTC 寫入); 轉為真正的 epoch 秒數.");
    m.def("night_opening_day",
          [](double epoch_seconds) {
              return vkb::night_opening_day(vkb::to_wall_micros(epoch_seconds, vkb::py::exchange_utc_offset()));
          },
          nb::arg("epoch_seconds"),
          night_opening_doc().c_str());
}
