#include "vkb/trading_date_range.hpp"

namespace vkb {

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;

}  // namespace

TradingDateRange futures_trading_range(const SessionCalendar& calendar, std::int64_t start_day, std::int64_t end_day) {
    std::int64_t first = start_day;
    while (first <= end_day && !calendar.is_trading_date(first)) ++first;
    std::int64_t last = end_day;
    while (last >= first && !calendar.is_trading_date(last)) --last;
    if (first > last) return {true, start_day, start_day - 1, first, last};
    return {false, calendar.previous_trading_date_before(first), last, first, last};
}

std::vector<WallWindow> futures_day_windows(const SessionCalendar& calendar, const TradingDateRange& range,
                                            std::int64_t day) {
    std::vector<WallWindow> windows;
    if (range.empty || calendar.is_holiday(day)) return windows;
    const std::int64_t midnight = day * kNanosPerDay;
    const std::int64_t night_end = midnight + kNightEndSecond * kNsPerSecond;
    // The night session's closing print is stamped within the second 05:00:00, Saturday's too.
    const std::int64_t night_close_until = night_end + kNsPerSecond;
    const std::int64_t night_start = midnight + kNightStartSecond * kNsPerSecond;
    auto counts = [&](std::int64_t trading) { return range.first_trading <= trading && trading <= range.last_trading; };
    if (calendar.is_trading_date(day - 1) && counts(calendar.next_trading_date_after(day - 1)))
        windows.push_back({midnight, night_close_until});
    if (calendar.is_trading_date(day) && counts(day)) windows.push_back({night_end, night_start});
    if (calendar.is_trading_date(day) && counts(calendar.next_trading_date_after(day)))
        windows.push_back({night_start, midnight + kNanosPerDay});
    return windows;
}

FuturesRangeDays futures_range_days(const SessionCalendar& calendar, std::int64_t start_day, std::int64_t end_day) {
    const TradingDateRange range = futures_trading_range(calendar, start_day, end_day);
    FuturesRangeDays days{range.first_day, {}, std::nullopt};
    for (std::int64_t day = range.first_day; day <= range.last_day; ++day)
        days.windows.push_back(futures_day_windows(calendar, range, day));
    if (!range.empty && range.first_day < range.first_trading && !days.windows.front().empty())
        days.lead_in_since = days.windows.front().front().from_ns;
    return days;
}

}  // namespace vkb
