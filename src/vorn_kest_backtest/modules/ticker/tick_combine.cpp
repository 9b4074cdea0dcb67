// One time-ordered frame of several codes over a date range, failed days logged and skipped.
#include <string>
#include <vector>

#include <nanobind/stl/string.h>

#include "common/py_console.hpp"
#include "tick_frames.hpp"
#include "ticker_impl.hpp"
#include "vkb/civil_time.hpp"

namespace vkb::py {

namespace {

const char* const kNotLoggedIn = "Kestor API 尚未初始化, 請先登入Kestor API";

// Wall-clock microseconds of format_to_dt(text): days are stepped from the start's time of day.
std::int64_t micros_of(const nb::object& text) {
    nb::object dt = utils_module().attr("format_to_dt")(text);
    const std::int64_t days = days_from_civil(nb::cast<int>(dt.attr("year")), nb::cast<int>(dt.attr("month")),
                                              nb::cast<int>(dt.attr("day")));
    const std::int64_t seconds = days * 86400 + nb::cast<std::int64_t>(dt.attr("hour")) * 3600 +
                                 nb::cast<std::int64_t>(dt.attr("minute")) * 60 +
                                 nb::cast<std::int64_t>(dt.attr("second"));
    return seconds * 1000000 + nb::cast<std::int64_t>(dt.attr("microsecond"));
}

std::string day_text_of_micros(std::int64_t micros) {
    const std::int64_t days = micros >= 0 ? micros / 86400000000LL : -((-micros + 86399999999LL) / 86400000000LL);
    int y, m, d;
    civil_from_days(days, y, m, d);
    return format_date(y, m, d);
}

struct DayFailure {
    std::string error, traceback;
};

DayFailure describe(const nb::python_error& e) {
    nb::object lines = nb::module_::import_("traceback").attr("format_exception")(e.value());
    return {nb::cast<std::string>(nb::str(e.value())), nb::cast<std::string>(nb::str("").attr("join")(lines))};
}

void log_failure(const DayFailure& failure, const std::string& code, const std::string& date) {
    nb::dict data;
    data["code"] = code;
    data["timestamp"] = nb::module_::import_("time").attr("time")();
    data["date"] = date;
    nb::dict entry;
    entry["error"] = failure.error;
    entry["traceback"] = failure.traceback;
    entry["data"] = data;
    logger_error(nb::cast<std::string>(nb::module_::import_("json").attr("dumps")(entry)));
}

}  // namespace

std::vector<CodeMarket> code_markets_from(const nb::handle& codes) {
    std::vector<CodeMarket> out;
    for (nb::handle entry : codes)
        out.push_back({nb::cast<std::string>(entry["code"]), nb::cast<std::string>(entry["market"])});
    return out;
}

nb::object Ticker::process_and_combine_ticks(const nb::object& codes, const nb::object& start_from,
                                             const nb::object& end_to) {
    return combine(code_markets_from(codes), start_from, end_to, std::nullopt);
}

nb::object Ticker::combine(const std::vector<CodeMarket>& codes, const nb::object& start_from,
                           const nb::object& end_to, std::optional<std::uint64_t> generation) {
    const std::int64_t start = micros_of(start_from), end = micros_of(end_to);
    // Through the Python method, so a failed day is a Python exception with its type and traceback.
    nb::object auto_fetch = nb::find(this).attr("_Ticker__auto_fetch_ticks");
    nb::list frames;
    for (const CodeMarket& entry : codes) {
        nb::str code(entry.code.c_str(), entry.code.size());
        nb::str market(entry.market.c_str(), entry.market.size());
        code_market_map[code] = market;
        bool login_reported = false;
        for (std::int64_t current = start; current <= end; current += 86400000000LL) {
            if (generation && !engine_->is_current(*generation)) throw ReplayCancelled{};
            const std::string date = day_text_of_micros(current);
            console_print("[yellow]正在取得 " + entry.code + " " + date + " 的 Tick 資料...[/yellow]");
            DayFailure failure;
            try {
                nb::object df = auto_fetch(code, market, nb::str(date.c_str(), date.size()));
                if (frame_height(df) > 0) frames.append(df);
                continue;
            } catch (const nb::python_error& e) {
                failure = describe(e);
            } catch (const std::exception& e) {
                failure = {e.what(), std::string("Error: ") + e.what()};
            }
            log_failure(failure, entry.code, date);
            // Without a login every uncached day fails the same way: say it once per code.
            const bool login_missing = failure.error == kNotLoggedIn;
            if (login_missing && login_reported) continue;
            login_reported = login_reported || login_missing;
            console_print("[red]下載 " + entry.code + " " + date + " 的 Tick 資料失敗, 錯誤訊息: " + failure.error +
                          "[/red]");
        }
    }
    if (frames.size() == 0) return empty_coded_frame(tick_df_schema);
    nb::list order;
    order.append("ts");
    order.append("code");
    return polars().attr("concat")(frames, nb::arg("how") = "vertical").attr("sort")(order);
}

}  // namespace vkb::py
