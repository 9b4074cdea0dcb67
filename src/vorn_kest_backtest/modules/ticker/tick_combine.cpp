// Several codes' ticks over a date range in time order, as one frame or one day at a time; failed days
// logged, kept and skipped.
#include <algorithm>
#include <map>
#include <memory>
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

// Ticks of one code and calendar day; a failed day is logged, reported and kept in failed_days.
class DayLoader {
public:
    // Through the Python method, so a failed day is a Python exception with its type and traceback.
    explicit DayLoader(Ticker& ticker)
        : ticker_(ticker), auto_fetch_(nb::find(&ticker).attr("_Ticker__auto_fetch_ticks")), loud_(!console_quiet()) {}

    // The day's kept ticks; none when it failed. `login_reported`: the code's missing login was said.
    nb::object operator()(const CodeMarket& entry, const DayPlan& plan, std::size_t i, bool& login_reported) {
        const std::string& date = plan.dates[i];
        nb::str code(entry.code.c_str(), entry.code.size());
        nb::str market(entry.market.c_str(), entry.market.size());
        if (loud_) console_print("[yellow]正在取得 " + entry.code + " " + date + " 的 Tick 資料...[/yellow]");
        DayFailure failure;
        bool login_missing = false;
        try {
            nb::object df;
            try {
                df = auto_fetch_(code, market, nb::str(date.c_str(), date.size()));
            } catch (const nb::python_error& e) {
                // Only the evening of the lead-in day is replayed: a broker serving part of a day may
                // have it when the whole day fails (its earlier file is missing or bad).
                if (ends_the_run(e) || i != 0 || !plan.lead_in_since || !nb::hasattr(ticker_.api, "tick_frame"))
                    throw;
                df = ticker_.lead_in_ticks(code, market, date, *plan.lead_in_since);
            }
            // Anything but "Stock" is a future, as for the contract family.
            return entry.market == "Stock" ? df : kept_part(df, plan.windows[i]);
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
        ticker_.failed_days.append(failed);
        // Without a login every uncached day fails the same way: say it once per code.
        if (login_missing && login_reported) return nb::object();
        login_reported = login_reported || login_missing;
        if (loud_)
            console_print((ticker_.simulated_source() ? "[red]產生模擬 Tick 資料 " + entry.code + " " + date + " 失敗"
                                                      : "[red]下載 " + entry.code + " " + date + " 的 Tick 資料失敗") +
                          ", 錯誤訊息: " + failure.error + "[/red]");
        return nb::object();
    }

private:
    Ticker& ticker_;
    nb::object auto_fetch_;
    bool loud_;
};

DayPlan plan_of(const CodeMarket& entry, std::int64_t start, std::int64_t end,
                std::optional<SessionCalendar>& calendar) {
    if (entry.market == "Stock") return stock_days(start, end);
    if (!calendar) calendar = listed_calendar();
    return futures_days(*calendar, start, end);
}

// The stacked frames as they are when already in (ts, code) order, else sorted so.
nb::object in_order(const nb::object& stacked, const nb::list& frames) {
    if (in_time_order(frames)) return stacked;
    nb::list order;
    order.append("ts");
    order.append("code");
    // Stable: ticks of one code at one stamp keep the broker's order.
    return stacked.attr("sort")(order, nb::arg("maintain_order") = true);
}

// Cache files read ahead by the combine on this thread while it runs.
struct Preloading {
    PreloadedDays* outer;
    explicit Preloading(PreloadedDays& days) : outer(std::exchange(preloaded_days(), &days)) {}
    ~Preloading() { preloaded_days() = outer; }
};

}  // namespace

// The dates of a range over all its codes, read in turn.
struct DayStream {
    struct Code {
        CodeMarket entry;
        DayPlan plan;
        std::map<std::string, std::size_t> index;  // date -> position in plan.dates
        bool login_reported;
    };
    std::vector<Code> codes;
    std::vector<std::string> dates;  // every code's dates, in order
    std::size_t next = 0;
};

namespace {

// The failures of a stream, read date by date, listed code by code as a whole-range combine lists them.
nb::list by_code(const nb::list& failed, const DayStream& stream) {
    nb::list ordered;
    std::vector<std::string> seen;
    for (const DayStream::Code& planned : stream.codes) {
        if (std::find(seen.begin(), seen.end(), planned.entry.code) != seen.end()) continue;
        seen.push_back(planned.entry.code);
        for (nb::handle day : failed)
            if (nb::cast<std::string>(day["code"]) == planned.entry.code) ordered.append(day);
    }
    return ordered;
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
    // A replay's days are cached behind it; a direct call returns with its days written.
    std::optional<DeferredCacheWrites> deferred;
    if (generation) deferred.emplace();
    PreloadedDays preloaded;
    Preloading preloading(preloaded);
    DayLoader load(*this);
    std::optional<SessionCalendar> calendar;
    nb::module_ pl = polars();
    nb::list frames;
    for (const CodeMarket& entry : codes) {
        nb::str code(entry.code.c_str(), entry.code.size());
        nb::str market(entry.market.c_str(), entry.market.size());
        code_market_map[code] = market;
        const DayPlan plan = plan_of(entry, start, end, calendar);
        preload_cached_days(code, market, plan.dates, preloaded);
        announce_days(code, market, plan.dates);
        bool login_reported = false;
        for (std::size_t i = 0; i < plan.dates.size(); ++i) {
            if (generation && !engine_->is_current(*generation)) throw ReplayCancelled{};
            nb::object df = load(entry, plan, i, login_reported);
            if (df.is_valid() && frame_height(df) > 0) frames.append(df);
        }
    }
    if (frames.size() == 0) return empty_coded_frame(tick_df_schema);
    return in_order(pl.attr("concat")(frames, nb::arg("how") = "vertical"), frames);
}

std::shared_ptr<DayStream> Ticker::plan_days(const std::vector<CodeMarket>& codes, const nb::object& start_from,
                                             const nb::object& end_to) {
    const std::int64_t start = micros_of(start_from), end = micros_of(end_to);
    auto stream = std::make_shared<DayStream>();
    std::optional<SessionCalendar> calendar;
    std::vector<std::string> dates;
    for (const CodeMarket& entry : codes) {
        nb::str code(entry.code.c_str(), entry.code.size());
        nb::str market(entry.market.c_str(), entry.market.size());
        code_market_map[code] = market;
        DayStream::Code planned{entry, plan_of(entry, start, end, calendar), {}, false};
        for (std::size_t i = 0; i < planned.plan.dates.size(); ++i) planned.index[planned.plan.dates[i]] = i;
        dates.insert(dates.end(), planned.plan.dates.begin(), planned.plan.dates.end());
        announce_days(code, market, planned.plan.dates);
        stream->codes.push_back(std::move(planned));
    }
    // Dates as YYYY-MM-DD sort in time.
    std::sort(dates.begin(), dates.end());
    dates.erase(std::unique(dates.begin(), dates.end()), dates.end());
    stream->dates = std::move(dates);
    return stream;
}

std::size_t Ticker::day_count(const DayStream& stream) const { return stream.dates.size(); }

bool Ticker::stream_day(DayStream& stream, std::optional<std::uint64_t> generation) {
    if (stream.next >= stream.dates.size()) {
        // A reader that outlived its replay must not touch the next replay's list.
        if (!generation || engine_->is_current(*generation)) failed_days = by_code(failed_days, stream);
        if (generation) engine_->finish_live(*generation);
        return false;
    }
    const std::string& date = stream.dates[stream.next++];
    // The day's files are written once it is read, while the replay goes on.
    DeferredCacheWrites deferred;
    DayLoader load(*this);
    nb::list frames;
    for (DayStream::Code& planned : stream.codes) {
        const auto found = planned.index.find(date);
        if (found == planned.index.end()) continue;
        if (generation && !engine_->is_current(*generation)) throw ReplayCancelled{};
        nb::object df = load(planned.entry, planned.plan, found->second, planned.login_reported);
        if (df.is_valid() && frame_height(df) > 0) frames.append(df);
    }
    if (!generation || frames.size() == 0) return true;
    // Days follow each other in time, so ordering each day orders the range.
    nb::object day = in_order(
        frames.size() == 1 ? nb::object(frames[0]) : polars().attr("concat")(frames, nb::arg("how") = "vertical"),
        frames);
    engine_->append_live(*generation, batch_from_frame(day, code_market_map));
    return true;
}

void Ticker::cache_days(const nb::object& codes, const nb::object& start_from, const nb::object& end_to) {
    failed_days = nb::list();
    const std::shared_ptr<DayStream> stream = plan_days(code_markets_from(codes), start_from, end_to);
    while (stream_day(*stream, std::nullopt)) {
    }
    tick_cache_writer().wait_for("");
}

}  // namespace vkb::py
