// The exchange clock for Python: epoch seconds <-> naive wall-clock time at BASIC_INFO.utc_offset_hours.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "market_values.hpp"
#include "common/rule_text.hpp"
#include "positions/numpy_columns.hpp"
#include "vkb/civil_time.hpp"
#include "vkb/exchange_time.hpp"
#include "vkb/session_calendar.hpp"

namespace nb = nanobind;

namespace {

using Seconds = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;

constexpr std::int64_t kNanosPerDay = 86'400'000'000'000;
// numpy's NaT.
constexpr std::int64_t kNotATime = std::numeric_limits<std::int64_t>::min();

nb::object naive_datetime(const vkb::CivilDateTime& t) {
    return vkb::py::import_attr("datetime", "datetime")(t.year, t.month, t.day, t.hour, t.minute, t.second,
                                                         t.microsecond);
}

nb::object exchange_datetime(double epoch_seconds) {
    return naive_datetime(vkb::exchange_civil(epoch_seconds, vkb::py::exchange_utc_offset()));
}

nb::object exchange_now() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const double seconds = std::chrono::duration<double>(now).count();
    return exchange_datetime(seconds);
}

// Wall-clock microseconds per timestamp; NaT where no calendar date exists.
nb::object exchange_wall_micros(const Seconds& epoch_seconds) {
    const int offset = vkb::py::exchange_utc_offset();
    const auto view = epoch_seconds.view();
    const std::size_t n = epoch_seconds.shape(0);
    auto out = vkb::py::owned_column<std::int64_t>(n);
    for (std::size_t i = 0; i < n; ++i) {
        try {
            vkb::exchange_civil(view(i), offset);
            out.data[i] = vkb::to_wall_micros(view(i), offset);
        } catch (const std::exception&) {
            out.data[i] = kNotATime;
        }
    }
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
    m.attr("NS_PER_DAY") = kNanosPerDay;
    m.attr("EXCHANGE_UTC_OFFSET_HOURS") = vkb::kExchangeUtcOffsetHours;
    m.def("exchange_datetime", &exchange_datetime, nb::arg("epoch_seconds"),
          nb::sig("def exchange_datetime(epoch_seconds: float) -> datetime.datetime"),
          "epoch 秒數在交易所時鐘上的時間 (不帶時區), 與本機時區無關.");
    m.def("exchange_now", &exchange_now, nb::sig("def exchange_now() -> datetime.datetime"),
          "交易所時鐘的現在時間 (不帶時區).");
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
    m.def("midnight_ns", [](nb::handle day) { return vkb::py::days_of(day) * kNanosPerDay; }, nb::arg("day"),
          nb::sig("def midnight_ns(day: datetime.date) -> int"), "日曆日 00:00 的牆上時間奈秒數.");
}
