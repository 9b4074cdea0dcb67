// One time-ordered frame of several codes over a date range, failed days logged, kept and skipped.
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include <nanobind/stl/string.h>

#include "common/py_console.hpp"
#include "tick_cache_writer.hpp"
#include "tick_errors.hpp"
#include "tick_frames.hpp"
#include "ticker_impl.hpp"
#include "vkb/civil_time.hpp"
#include "vkb/trading_date_range.hpp"

namespace vkb::py {

namespace {

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
    const std::int64_t days = floor_div(micros, kMicrosPerDay);
    int y, m, d;
    civil_from_days(days, y, m, d);
    return format_date(y, m, d);
}

// Calendar days to fetch for one code and, for futures, the part of them that belongs to the range.
struct DayPlan {
    std::vector<std::string> dates;
    std::vector<std::vector<WallWindow>> windows;  // futures only: per date, the parts kept
    // Futures only: the first date is the day before the first trading date, wanted from its night
    // session (this wall-clock time) on.
    std::optional<std::int64_t> lead_in_since;
};

DayPlan stock_days(std::int64_t start, std::int64_t end) {
    DayPlan plan;
    for (std::int64_t current = start; current <= end; current += kMicrosPerDay)
        plan.dates.push_back(day_text_of_micros(current));
    return plan;
}

// Futures dates are trading dates: a night session counts for the trading date it opens.
DayPlan futures_days(const SessionCalendar& calendar, std::int64_t start, std::int64_t end) {
    const TradingDateRange range =
        futures_trading_range(calendar, floor_div(start, kMicrosPerDay), floor_div(end, kMicrosPerDay));
    DayPlan plan;
    for (std::int64_t day = range.first_day; day <= range.last_day; ++day) {
        plan.dates.push_back(day_text_of_micros(day * kMicrosPerDay));
        plan.windows.push_back(futures_day_windows(calendar, range, day));
    }
    if (!range.empty && range.first_day < range.first_trading && !plan.windows.front().empty())
        plan.lead_in_since = plan.windows.front().front().from_ns;
    return plan;
}

nb::object kept_part(const nb::object& df, const std::vector<WallWindow>& windows) {
    nb::module_ pl = polars();
    nb::object keep = pl.attr("lit")(false);
    for (const WallWindow& w : windows)
        keep = keep.attr("__or__")(
            pl.attr("col")("ts").attr("is_between")(w.from_ns, w.until_ns, nb::arg("closed") = "left"));
    return df.attr("filter")(keep);
}

SessionCalendar listed_calendar() {
    nb::object dates = loaded_module("vorn_kest_backtest.modules.market.market").attr("listed_holidays")();
    std::vector<std::int64_t> days;
    for (nb::handle d : dates)
        days.push_back(days_from_civil(nb::cast<int>(d.attr("year")), nb::cast<int>(d.attr("month")),
                                       nb::cast<int>(d.attr("day"))));
    SessionCalendar calendar;
    calendar.set_holidays(days);
    return calendar;
}

// Whether the day frames, each of one code, already follow each other in time: each sorted, each
// starting after the one before ends. The stacked frame is then in (ts, code) order as it is.
bool in_time_order(const nb::list& frames) {
    bool first = true;
    std::int64_t last_ts = 0;
    for (nb::handle frame : frames) {
        nb::object ts = frame["ts"];
        if (!nb::cast<bool>(ts.attr("is_sorted")())) return false;
        const auto head = nb::cast<std::int64_t>(ts.attr("first")());
        if (!first && head <= last_ts) return false;
        last_ts = nb::cast<std::int64_t>(ts.attr("last")());
        first = false;
    }
    return true;
}

struct DayFailure {
    std::string error, traceback;
};

DayFailure describe(const nb::python_error& e) {
    nb::object lines = nb::module_::import_("traceback").attr("format_exception")(e.value());
    std::string error = nb::cast<std::string>(nb::str(e.value()));
    // A failure without a message still says what it was.
    if (error.empty()) error = nb::cast<std::string>(e.type().attr("__name__"));
    return {std::move(error), nb::cast<std::string>(nb::str("").attr("join")(lines))};
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
    failed_days = nb::list();
    return combine(code_markets_from(codes), start_from, end_to, std::nullopt);
}

nb::object Ticker::combine(const std::vector<CodeMarket>& codes, const nb::object& start_from,
                           const nb::object& end_to, std::optional<std::uint64_t> generation) {
    const std::int64_t start = micros_of(start_from), end = micros_of(end_to);
    const bool loud = !console_quiet();
    // A replay's days are cached behind it; a direct call returns with its days written.
    std::optional<DeferredCacheWrites> deferred;
    if (generation) deferred.emplace();
    PreloadedDays preloaded;
    struct Preloading {
        PreloadedDays* outer;
        explicit Preloading(PreloadedDays& days) : outer(std::exchange(preloaded_days(), &days)) {}
        ~Preloading() { preloaded_days() = outer; }
    } preloading(preloaded);
    // Through the Python method, so a failed day is a Python exception with its type and traceback.
    nb::object auto_fetch = nb::find(this).attr("_Ticker__auto_fetch_ticks");
    std::optional<SessionCalendar> calendar;
    nb::module_ pl = polars();
    nb::list frames;
    for (const CodeMarket& entry : codes) {
        nb::str code(entry.code.c_str(), entry.code.size());
        nb::str market(entry.market.c_str(), entry.market.size());
        code_market_map[code] = market;
        // Anything but "Stock" is a future, as for the contract family.
        const bool stock = entry.market == "Stock";
        if (!stock && !calendar) calendar = listed_calendar();
        const DayPlan plan = stock ? stock_days(start, end) : futures_days(*calendar, start, end);
        preload_cached_days(code, market, plan.dates, preloaded);
        announce_days(code, market, plan.dates);
        bool login_reported = false;
        for (std::size_t i = 0; i < plan.dates.size(); ++i) {
            const std::string& date = plan.dates[i];
            if (generation && !engine_->is_current(*generation)) throw ReplayCancelled{};
            if (loud) console_print("[yellow]正在取得 " + entry.code + " " + date + " 的 Tick 資料...[/yellow]");
            DayFailure failure;
            bool login_missing = false;
            try {
                nb::object df;
                try {
                    df = auto_fetch(code, market, nb::str(date.c_str(), date.size()));
                } catch (const nb::python_error& e) {
                    // Only the evening of the lead-in day is replayed: a broker serving part of a day may
                    // have it when the whole day fails (its earlier file is missing or bad).
                    if (ends_the_run(e) || i != 0 || !plan.lead_in_since || !nb::hasattr(api, "tick_frame")) throw;
                    df = lead_in_ticks(code, market, date, *plan.lead_in_since);
                }
                if (!stock) df = kept_part(df, plan.windows[i]);
                if (frame_height(df) > 0) frames.append(df);
                continue;
            } catch (const nb::python_error& e) {
                if (ends_the_run(e)) throw;
                failure = describe(e);
                login_missing = is_not_logged_in(e);
            } catch (const std::exception& e) {
                failure = {e.what(), std::string("Error: ") + e.what()};
            }
            log_failure(failure, entry.code, date);
            nb::dict failed;
            failed["code"] = code;
            failed["date"] = nb::str(date.c_str(), date.size());
            failed["reason"] = nb::str(failure.error.c_str(), failure.error.size());
            failed_days.append(failed);
            // Without a login every uncached day fails the same way: say it once per code.
            if (login_missing && login_reported) continue;
            login_reported = login_reported || login_missing;
            if (loud)
                console_print((simulated_source() ? "[red]產生模擬 Tick 資料 " + entry.code + " " + date + " 失敗"
                                                  : "[red]下載 " + entry.code + " " + date + " 的 Tick 資料失敗") +
                              ", 錯誤訊息: " + failure.error + "[/red]");
        }
    }
    if (frames.size() == 0) return empty_coded_frame(tick_df_schema);
    nb::object all = pl.attr("concat")(frames, nb::arg("how") = "vertical");
    if (in_time_order(frames)) return all;
    nb::list order;
    order.append("ts");
    order.append("code");
    // Stable: ticks of one code at one stamp keep the broker's order.
    return all.attr("sort")(order, nb::arg("maintain_order") = true);
}

}  // namespace vkb::py
