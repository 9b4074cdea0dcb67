// The calendar days a futures date range is read from, and the part of each that counts for it.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "vkb/session_calendar.hpp"
#include "vkb/trading_date_range.hpp"

namespace nb = nanobind;

namespace {

nb::tuple futures_range_windows(const std::vector<std::int64_t>& holidays, std::int64_t start, std::int64_t end) {
    vkb::SessionCalendar calendar;
    calendar.set_holidays(holidays);
    const vkb::FuturesRangeDays days = vkb::futures_range_days(calendar, start, end);
    std::vector<std::vector<std::pair<std::int64_t, std::int64_t>>> windows;
    for (const std::vector<vkb::WallWindow>& day : days.windows) {
        windows.emplace_back();
        for (const vkb::WallWindow& w : day) windows.back().emplace_back(w.from_ns, w.until_ns);
    }
    return nb::make_tuple(days.first_day, windows, days.lead_in_since);
}

}  // namespace

void bind_futures_days(nb::module_& m) {
    m.def("futures_range_windows", &futures_range_windows, nb::arg("holidays"), nb::arg("start"), nb::arg("end"),
          nb::sig("def futures_range_windows(holidays: list[int], start: int, end: int) -> "
                  "tuple[int, list[list[tuple[int, int]]], int | None]"),
          "期貨日期區間 (交易日, 1970-01-01 起的日數) 要讀取的首個日曆日, 各日屬於區間的牆上時間奈秒 [起, 迄) 區段, "
          "以及首日只取夜盤時的起點.");
}
