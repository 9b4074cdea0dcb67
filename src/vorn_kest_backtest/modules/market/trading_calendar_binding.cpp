// Trading days, session windows and the holiday table for Python, from the core's session calendar.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <ios>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "market_values.hpp"
#include "common/rule_text.hpp"
#include "positions/numpy_columns.hpp"
#include "vkb/civil_time.hpp"
#include "vkb/holiday_table.hpp"
#include "vkb/session_calendar.hpp"

namespace nb = nanobind;

namespace {

using vkb::py::date_of;
using vkb::py::days_of;

constexpr std::int64_t kNanosPerMicro = 1000;

using EpochSeconds = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;

nb::object holiday_table_path() {
    nb::object package = nb::module_::import_("vorn_kest_backtest");
    nb::object root = vkb::py::import_attr("pathlib", "Path")(package.attr("__file__")).attr("resolve")().attr("parent");
    return root / nb::str("static") / nb::str(vkb::kHolidayFileName);
}

// The package's table; a missing or malformed file names itself.
std::vector<std::int64_t> listed_holiday_days() {
    const std::string path = nb::cast<std::string>(nb::str(holiday_table_path()));
    try {
        return vkb::read_holiday_table(path);
    } catch (const std::ios_base::failure&) {
        PyErr_Format(PyExc_FileNotFoundError, "找不到休市日表: %s", path.c_str());
    } catch (const std::invalid_argument& e) {
        PyErr_Format(PyExc_ValueError, "休市日表格式錯誤 (%s): %s", path.c_str(), e.what());
    }
    throw nb::python_error();
}

nb::frozenset date_set(const std::vector<std::int64_t>& days) {
    nb::list dates;
    for (std::int64_t d : days) dates.append(date_of(d));
    return nb::frozenset(dates);
}

class TradingCalendar {
public:
    explicit TradingCalendar(nb::handle holidays) {
        if (holidays.is_none()) {
            calendar_.set_holidays(listed_holiday_days());
            return;
        }
        std::vector<std::int64_t> days;
        for (nb::handle day : nb::iter(holidays)) days.push_back(days_of(day));
        calendar_.set_holidays(days);
    }

    nb::frozenset holidays() const { return date_set(calendar_.holidays()); }
    bool is_trading_day(nb::handle day) const { return calendar_.is_trading_date(days_of(day)); }
    nb::object next_trading_day(nb::handle day) const { return date_of(calendar_.next_trading_date_after(days_of(day))); }
    nb::object previous_trading_day(nb::handle day) const {
        return date_of(calendar_.previous_trading_date_before(days_of(day)));
    }
    std::vector<vkb::TradingSession> sessions_touching(nb::handle market, nb::handle day) const {
        return calendar_.sessions_touching(vkb::py::market_of(market), days_of(day));
    }
    nb::tuple order_session(nb::handle market, double epoch_seconds) const {
        const int offset = vkb::py::exchange_utc_offset();
        const vkb::TradingSession s =
            calendar_.order_session(vkb::py::market_of(market), vkb::to_wall_micros(epoch_seconds, offset));
        return nb::make_tuple(vkb::wall_ns_to_epoch_seconds(s.start_us * kNanosPerMicro, offset),
                              vkb::wall_ns_to_epoch_seconds(s.end_us * kNanosPerMicro, offset));
    }
    nb::object trading_date(nb::handle market, double epoch_seconds) const {
        const std::int64_t wall_us = vkb::to_wall_micros(epoch_seconds, vkb::py::exchange_utc_offset());
        return date_of(calendar_.trading_date(vkb::py::market_of(market), wall_us));
    }
    // One call for a whole equity series: days since 1970-01-01, one per stamp.
    nb::object trading_days(nb::handle market, const EpochSeconds& epoch_seconds) const {
        const vkb::ProductType product = vkb::py::market_of(market);
        const int offset = vkb::py::exchange_utc_offset();
        const auto view = epoch_seconds.view();
        const std::size_t n = epoch_seconds.shape(0);
        auto out = vkb::py::owned_column<std::int64_t>(n);
        for (std::size_t i = 0; i < n; ++i)
            out.data[i] = calendar_.trading_date(product, vkb::to_wall_micros(view(i), offset));
        return out.array;
    }
    nb::tuple state() const { return nb::make_tuple(calendar_.holidays()); }
    void restore(const std::vector<std::int64_t>& days) { calendar_.set_holidays(days); }

private:
    vkb::SessionCalendar calendar_;
};

// Written from the session table, so the help cannot drift from the rule.
const std::string& trading_date_doc() {
    static const std::string doc = "epoch 秒數的 Tick 所屬的交易日: 股票為當日; 期貨夜盤 (" +
                                   vkb::py::clock_text(vkb::kNightStartSecond) +
                                   " 起, 含跨午夜的部分) 屬下一個交易日.";
    return doc;
}

}  // namespace

void bind_trading_calendar(nb::module_& m) {
    m.attr("HOLIDAYS_FILE") = vkb::kHolidayFileName;
    // Session bounds in seconds of the exchange day, both inclusive (a session's closing print sits on its end).
    m.attr("STOCK_SESSION_SECONDS") = nb::make_tuple(vkb::kStockOpenSecond, vkb::kStockCloseSecond);
    m.attr("STOCK_CLOSING_CALL_SECOND") = vkb::kStockClosingCallSecond;
    m.attr("FUTURES_DAY_SESSION_SECONDS") = nb::make_tuple(vkb::kFuturesDayOpenSecond, vkb::kFuturesDayCloseSecond);
    m.attr("FUTURES_NIGHT_SESSION_SECONDS") = nb::make_tuple(vkb::kNightStartSecond, vkb::kNightEndSecond);

    nb::class_<vkb::TradingSession>(m, "Session", "一個交易時段: 開始的日曆日, 種類 (\"day\"/\"night\"), 牆上時間的起訖 (皆含).")
        .def_prop_ro("start_day", [](const vkb::TradingSession& s) { return date_of(s.start_day); },
                     nb::sig("def start_day(self) -> datetime.date"))
        .def_prop_ro("kind", [](const vkb::TradingSession& s) { return s.night ? "night" : "day"; })
        .def_prop_ro("start_ns", [](const vkb::TradingSession& s) { return s.start_us * kNanosPerMicro; })
        .def_prop_ro("end_ns", [](const vkb::TradingSession& s) { return s.end_us * kNanosPerMicro; })
        .def("__eq__", [](const vkb::TradingSession& a, const vkb::TradingSession& b) {
            return a.start_day == b.start_day && a.night == b.night && a.start_us == b.start_us && a.end_us == b.end_us;
        })
        .def("__repr__", [](const vkb::TradingSession& s) {
            return nb::str("Session(start_day={!r}, kind={!r}, start_ns={}, end_ns={})")
                .format(date_of(s.start_day), s.night ? "night" : "day", s.start_us * kNanosPerMicro,
                        s.end_us * kNanosPerMicro);
        });

    nb::class_<TradingCalendar>(m, "TradingCalendar",
                                "台股與期貨的交易日與交易時段; 時間為交易所牆上時間 (當作 UTC) 的奈秒數.\n\n"
                                "`holidays`: 休市日 (預設讀取套件內的休市日表).")
        .def(nb::init<nb::handle>(), nb::arg("holidays") = nb::none(),
             nb::sig("def __init__(self, holidays: collections.abc.Iterable[datetime.date] | None = None) -> None"))
        .def_prop_ro("holidays", &TradingCalendar::holidays,
                     nb::sig("def holidays(self) -> frozenset[datetime.date]"))
        .def("is_trading_day", &TradingCalendar::is_trading_day, nb::arg("day"),
             nb::sig("def is_trading_day(self, day: datetime.date) -> bool"), "週一至週五且不在休市日表中.")
        .def("next_trading_day", &TradingCalendar::next_trading_day, nb::arg("day"),
             nb::sig("def next_trading_day(self, day: datetime.date) -> datetime.date"), "`day` 之後的第一個交易日.")
        .def("previous_trading_day", &TradingCalendar::previous_trading_day, nb::arg("day"),
             nb::sig("def previous_trading_day(self, day: datetime.date) -> datetime.date"), "`day` 之前的最後一個交易日.")
        .def("sessions_touching", &TradingCalendar::sessions_touching, nb::arg("market"), nb::arg("day"),
             nb::sig("def sessions_touching(self, market: str, day: datetime.date) -> list[Session]"),
             "在日曆日 `day` 上有 Tick 的交易時段 (呼叫者只取當日的部分).")
        .def("order_session", &TradingCalendar::order_session, nb::arg("market"), nb::arg("epoch_seconds"),
             nb::sig("def order_session(self, market: str, epoch_seconds: float) -> tuple[float, float]"),
             "在 `epoch_seconds` 下單的委託所屬的交易時段 (開始, 結束), 皆為 epoch 秒數: 進行中的時段, "
             "否則為該市場下一個開盤的時段; 收盤那一筆成交之後已無成交, 在那一刻下的委託屬於下一個時段.")
        .def("trading_date", &TradingCalendar::trading_date, nb::arg("market"), nb::arg("epoch_seconds"),
             nb::sig("def trading_date(self, market: str, epoch_seconds: float) -> datetime.date"),
             trading_date_doc().c_str())
        .def("trading_days", &TradingCalendar::trading_days, nb::arg("market"), nb::arg("epoch_seconds"),
             nb::sig("def trading_days(self, market: str, epoch_seconds: numpy.typing.NDArray[numpy.float64]) -> "
                     "numpy.typing.NDArray[numpy.int64]"),
             "每個 epoch 秒數所屬的交易日 (同 `trading_date`), 以 1970-01-01 起的日數表示 (int64 陣列).")
        .def("__getstate__", &TradingCalendar::state)
        .def("__setstate__", [](TradingCalendar& self, const std::tuple<std::vector<std::int64_t>>& state) {
            new (&self) TradingCalendar(nb::list());
            self.restore(std::get<0>(state));
        });

    m.def("holiday_table_path", &holiday_table_path, nb::sig("def holiday_table_path() -> pathlib.Path"),
          "套件內休市日表的路徑.");
    m.def("listed_holidays", [] { return date_set(listed_holiday_days()); },
          nb::sig("def listed_holidays() -> frozenset[datetime.date]"), "套件內休市日表的日期 (\"Date\" 欄).");
    m.def("read_holiday_dates", [] {
              std::vector<std::string> dates;
              for (std::int64_t d : listed_holiday_days()) {
                  int y = 0, mo = 0, da = 0;
                  vkb::civil_from_days(d, y, mo, da);
                  dates.push_back(vkb::format_date(y, mo, da));
              }
              return dates;
          }, "套件內休市日表的日期文字 (\"%Y-%m-%d\").");
}
