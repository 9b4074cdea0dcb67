#include "vkb/trading_date_range.hpp"

namespace vkb {

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::int64_t kNsPerDay = 86'400 * kNsPerSecond;
// Holidays never run for months; the bound only guards against a malformed table.
constexpr std::int64_t kSearchDays = 366;

std::int64_t night_opens_ns(std::int64_t day) { return day * kNsPerDay + kNightStartSecond * kNsPerSecond; }

std::int64_t previous_trading_date(const SessionCalendar& calendar, std::int64_t day) {
    for (std::int64_t d = day - 1; d >= day - kSearchDays; --d)
        if (calendar.is_trading_date(d)) return d;
    return day - 1;
}

}  // namespace

TradingDateRange futures_trading_range(const SessionCalendar& calendar, std::int64_t start_day, std::int64_t end_day) {
    std::int64_t first = start_day;
    while (first <= end_day && !calendar.is_trading_date(first)) ++first;
    std::int64_t last = end_day;
    while (last >= first && !calendar.is_trading_date(last)) --last;
    if (first > last) return {true, start_day, start_day - 1, 0, 0};
    const std::int64_t opening = previous_trading_date(calendar, first);
    return {false, opening, last, night_opens_ns(opening), night_opens_ns(last)};
}

}  // namespace vkb
