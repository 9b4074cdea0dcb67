// The core's session calendar for Python, on days since 1970-01-01 and epoch seconds; the package's
// TradingCalendar reads the holiday table and converts dates around it.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "market_values.hpp"
#include "positions/numpy_columns.hpp"
#include "vkb/holiday_table.hpp"
#include "vkb/session_calendar.hpp"

namespace nb = nanobind;

namespace {

using vkb::SessionCalendar;
using vkb::py::market_of;
using EpochSeconds = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu, nb::c_contig>;

nb::list sessions_touching(const SessionCalendar& calendar, nb::handle market, std::int64_t day) {
    nb::list sessions;
    for (const vkb::TradingSession& s : calendar.sessions_touching(market_of(market), day))
        sessions.append(nb::make_tuple(s.start_day, s.night ? "night" : "day", s.start_us * vkb::kNanosPerMicro,
                                       s.end_us * vkb::kNanosPerMicro));
    return sessions;
}

nb::object trading_dates_at(const SessionCalendar& calendar, nb::handle market, const EpochSeconds& epoch_seconds,
                            int utc_offset_hours) {
    const std::size_t n = epoch_seconds.shape(0);
    auto out = vkb::py::owned_column<std::int64_t>(n);
    calendar.trading_dates_at(market_of(market), {epoch_seconds.data(), n}, utc_offset_hours, out.data);
    return out.array;
}

}  // namespace

void bind_trading_calendar(nb::module_& m) {
    m.attr("HOLIDAYS_FILE") = vkb::kHolidayFileName;
    // Session bounds in seconds of the exchange day, both inclusive (a session's closing print sits on its end).
    m.attr("STOCK_SESSION_SECONDS") = nb::make_tuple(vkb::kStockOpenSecond, vkb::kStockCloseSecond);
    m.attr("STOCK_CLOSING_CALL_SECOND") = vkb::kStockClosingCallSecond;
    m.attr("FUTURES_DAY_SESSION_SECONDS") = nb::make_tuple(vkb::kFuturesDayOpenSecond, vkb::kFuturesDayCloseSecond);
    m.attr("FUTURES_NIGHT_SESSION_SECONDS") = nb::make_tuple(vkb::kNightStartSecond, vkb::kNightEndSecond);

    nb::class_<SessionCalendar>(m, "SessionCalendar",
                                "交易日與交易時段的規則; 日期為 1970-01-01 起的日數, 時間為 epoch 秒數.")
        .def("__init__",
             [](SessionCalendar* calendar, const std::vector<std::int64_t>& holidays) {
                 new (calendar) SessionCalendar();
                 calendar->set_holidays(holidays);
             },
             nb::arg("holidays"))
        .def("holidays", &SessionCalendar::holidays)
        .def("is_trading_date", &SessionCalendar::is_trading_date, nb::arg("day"))
        .def("next_trading_date_after", &SessionCalendar::next_trading_date_after, nb::arg("day"))
        .def("previous_trading_date_before", &SessionCalendar::previous_trading_date_before, nb::arg("day"))
        .def("sessions_touching", &sessions_touching, nb::arg("market"), nb::arg("day"),
             nb::sig("def sessions_touching(self, market: str, day: int) -> list[tuple[int, str, int, int]]"),
             "(開始日, 種類, 起, 訖) 的交易時段, 起訖為牆上時間奈秒數.")
        .def("order_session_at",
             [](const SessionCalendar& c, nb::handle market, double epoch_seconds, int utc_offset_hours) {
                 return c.order_session_at(market_of(market), epoch_seconds, utc_offset_hours);
             },
             nb::arg("market"), nb::arg("epoch_seconds"), nb::arg("utc_offset_hours"),
             nb::sig("def order_session_at(self, market: str, epoch_seconds: float, utc_offset_hours: int) -> "
                     "tuple[float, float]"))
        .def("trading_date_at",
             [](const SessionCalendar& c, nb::handle market, double epoch_seconds, int utc_offset_hours) {
                 return c.trading_date_at(market_of(market), epoch_seconds, utc_offset_hours);
             },
             nb::arg("market"), nb::arg("epoch_seconds"), nb::arg("utc_offset_hours"),
             nb::sig("def trading_date_at(self, market: str, epoch_seconds: float, utc_offset_hours: int) -> int"))
        .def("trading_dates_at", &trading_dates_at, nb::arg("market"), nb::arg("epoch_seconds"),
             nb::arg("utc_offset_hours"),
             nb::sig("def trading_dates_at(self, market: str, epoch_seconds: numpy.typing.NDArray[numpy.float64], "
                     "utc_offset_hours: int) -> numpy.typing.NDArray[numpy.int64]"));

    m.def("parse_holiday_table", [](const std::string& text) {
              std::istringstream in(text);
              return vkb::parse_holiday_table(in);
          }, nb::arg("text"), "休市日表 (CSV) 各列 \"Date\" 的日期, 以 1970-01-01 起的日數表示.");
}
