// The calendar days a futures date range is read from, and the part of each that counts for it.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "market_values.hpp"
#include "vkb/session_calendar.hpp"
#include "vkb/trading_date_range.hpp"

namespace nb = nanobind;

namespace {

using Windows = std::vector<std::pair<std::int64_t, std::int64_t>>;

nb::tuple futures_range_days(nb::handle holidays, nb::handle start, nb::handle end) {
    std::vector<std::int64_t> closed;
    for (nb::handle day : nb::iter(holidays)) closed.push_back(vkb::py::days_of(day));
    vkb::SessionCalendar calendar;
    calendar.set_holidays(closed);
    const vkb::TradingDateRange range =
        vkb::futures_trading_range(calendar, vkb::py::days_of(start), vkb::py::days_of(end));
    nb::list dates;
    std::vector<Windows> windows;
    for (std::int64_t day = range.first_day; day <= range.last_day; ++day) {
        dates.append(vkb::py::date_of(day));
        Windows kept;
        for (const vkb::WallWindow& w : vkb::futures_day_windows(calendar, range, day))
            kept.emplace_back(w.from_ns, w.until_ns);
        windows.push_back(std::move(kept));
    }
    // The first date is the day before the first trading date when only its night session is wanted.
    std::optional<std::int64_t> lead_in_since;
    if (!range.empty && range.first_day < range.first_trading && !windows.front().empty())
        lead_in_since = windows.front().front().first;
    return nb::make_tuple(dates, nb::cast(windows), nb::cast(lead_in_since));
}

}  // namespace

void bind_futures_days(nb::module_& m) {
    m.def("futures_range_days", &futures_range_days, nb::arg("holidays"), nb::arg("start"), nb::arg("end"),
          nb::sig("def futures_range_days(holidays: collections.abc.Iterable[datetime.date], start: datetime.date, "
                  "end: datetime.date) -> tuple[list[datetime.date], list[list[tuple[int, int]]], int | None]"),
          "期貨日期區間 (交易日) 要讀取的日曆日, 各日屬於區間的牆上時間奈秒 [起, 迄) 區段, 以及首日只取夜盤時的起點.");
}
