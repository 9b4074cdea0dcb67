#include "vkb/session_calendar.hpp"

#include <algorithm>

#include "vkb/civil_time.hpp"

namespace vkb {

namespace {
constexpr int hms(int h, int m, int s) { return h * 3600 + m * 60 + s; }
}  // namespace

SessionCalendar::SessionCalendar()
    : stock_closed_{{hms(13, 30, 0), hms(23, 59, 59)}, {hms(0, 0, 0), hms(8, 59, 59)}},
      future_closed_{{hms(13, 45, 0), hms(14, 59, 59)}, {hms(5, 0, 0), hms(8, 44, 59)}} {}

void SessionCalendar::set_closed(ProductType market, std::vector<ClosedInterval> intervals) {
    (market == ProductType::Stock ? stock_closed_ : future_closed_) = std::move(intervals);
}

const std::vector<ClosedInterval>& SessionCalendar::closed(ProductType market) const {
    return market == ProductType::Stock ? stock_closed_ : future_closed_;
}

void SessionCalendar::set_holidays(const std::vector<std::int64_t>& days) {
    holidays_ = std::unordered_set<std::int64_t>(days.begin(), days.end());
}

std::vector<std::int64_t> SessionCalendar::holidays() const {
    std::vector<std::int64_t> days(holidays_.begin(), holidays_.end());
    std::sort(days.begin(), days.end());
    return days;
}

bool SessionCalendar::is_trading_date(std::int64_t days) const {
    return weekday_from_days(days) < 5 && !is_holiday(days);
}

std::int64_t SessionCalendar::next_trading_date_after(std::int64_t days) const {
    // Holidays never run for months; the bound only guards against a malformed table.
    for (std::int64_t d = days + 1; d <= days + 366; ++d)
        if (is_trading_date(d)) return d;
    return days + 1;
}

bool SessionCalendar::is_open_minute(ProductType market, std::int64_t wall_us) const {
    const std::int64_t days = floor_div(wall_us, kMicrosPerDay);
    const auto second = static_cast<int>((wall_us - days * kMicrosPerDay) / kMicrosPerSecond);
    for (const auto& iv : closed(market))
        if (iv.start_second <= second && second <= iv.end_second) return false;
    if (is_holiday(days)) return false;
    const int weekday = weekday_from_days(days);
    if (market == ProductType::Future && second < kNightEndSecond)
        return weekday != 6 && is_trading_date(days - 1);
    return weekday < 5;
}

std::int64_t SessionCalendar::futures_trading_date(std::int64_t wall_us) const {
    const std::int64_t days = floor_div(wall_us, kMicrosPerDay);
    const auto second = static_cast<int>((wall_us - days * kMicrosPerDay) / kMicrosPerSecond);
    if (second >= kNightStartSecond) return next_trading_date_after(days);
    if (second < kNightEndSecond) return next_trading_date_after(days - 1);
    return days;
}

}  // namespace vkb
