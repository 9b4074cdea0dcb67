#include "vkb/session_calendar.hpp"

#include <algorithm>

#include "vkb/civil_time.hpp"

namespace vkb {

namespace {
constexpr int hms(int h, int m, int s) { return h * 3600 + m * 60 + s; }

TradingSession session(std::int64_t day, bool night, int start_second, std::int64_t end_day, int end_second) {
    return {day, night, day * kMicrosPerDay + start_second * kMicrosPerSecond,
            end_day * kMicrosPerDay + end_second * kMicrosPerSecond};
}

TradingSession night_session(std::int64_t day) {
    return session(day, true, kNightStartSecond, day + 1, kNightEndSecond);
}
}  // namespace

// A minute is closed from a session's end up to the second before the next one opens.
SessionCalendar::SessionCalendar()
    : stock_closed_{{kStockCloseSecond, hms(23, 59, 59)}, {hms(0, 0, 0), kStockOpenSecond - 1}},
      future_closed_{{kFuturesDayCloseSecond, kNightStartSecond - 1},
                     {kNightEndSecond, kFuturesDayOpenSecond - 1}} {}

void SessionCalendar::set_closed(ProductType market, std::vector<ClosedInterval> intervals) {
    (market == ProductType::Stock ? stock_closed_ : future_closed_) = std::move(intervals);
    ++revision_;
}

const std::vector<ClosedInterval>& SessionCalendar::closed(ProductType market) const {
    return market == ProductType::Stock ? stock_closed_ : future_closed_;
}

void SessionCalendar::set_holidays(const std::vector<std::int64_t>& days) {
    holidays_ = std::unordered_set<std::int64_t>(days.begin(), days.end());
    ++revision_;
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

std::int64_t SessionCalendar::previous_trading_date_before(std::int64_t days) const {
    for (std::int64_t d = days - 1; d >= days - 366; --d)
        if (is_trading_date(d)) return d;
    return days - 1;
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
    if (in_night_tail(second)) return next_trading_date_after(days - 1);
    return days;
}

std::int64_t SessionCalendar::trading_date(ProductType market, std::int64_t wall_us) const {
    return market == ProductType::Stock ? floor_div(wall_us, kMicrosPerDay) : futures_trading_date(wall_us);
}

std::vector<TradingSession> SessionCalendar::sessions_touching(ProductType market, std::int64_t days) const {
    std::vector<TradingSession> sessions;
    if (is_holiday(days)) return sessions;
    if (market == ProductType::Stock) {
        if (is_trading_date(days)) sessions.push_back(session(days, false, kStockOpenSecond, days, kStockCloseSecond));
        return sessions;
    }
    if (is_trading_date(days - 1)) sessions.push_back(night_session(days - 1));
    if (is_trading_date(days)) {
        sessions.push_back(session(days, false, kFuturesDayOpenSecond, days, kFuturesDayCloseSecond));
        sessions.push_back(night_session(days));
    }
    return sessions;
}

TradingSession SessionCalendar::order_session(ProductType market, std::int64_t wall_us) const {
    // From the day before: a night session begun then may still be under way. Holidays never run for
    // months; the bound only guards against a malformed table.
    const std::int64_t today = floor_div(wall_us, kMicrosPerDay);
    for (std::int64_t d = today - 1; d <= today + 366; ++d)
        for (const TradingSession& s : sessions_touching(market, d))
            if (s.end_us > wall_us) return s;
    return session(today + 1, false, market == ProductType::Stock ? kStockOpenSecond : kFuturesDayOpenSecond,
                   today + 1, market == ProductType::Stock ? kStockCloseSecond : kFuturesDayCloseSecond);
}

std::pair<double, double> SessionCalendar::order_session_at(ProductType market, double epoch_seconds,
                                                            int utc_offset_hours) const {
    const TradingSession s = order_session(market, to_wall_micros(epoch_seconds, utc_offset_hours));
    return {wall_ns_to_epoch_seconds(s.start_us * kNanosPerMicro, utc_offset_hours),
            wall_ns_to_epoch_seconds(s.end_us * kNanosPerMicro, utc_offset_hours)};
}

std::int64_t SessionCalendar::trading_date_at(ProductType market, double epoch_seconds, int utc_offset_hours) const {
    return trading_date(market, to_wall_micros(epoch_seconds, utc_offset_hours));
}

void SessionCalendar::trading_dates_at(ProductType market, std::span<const double> epoch_seconds,
                                       int utc_offset_hours, std::int64_t* out) const {
    for (std::size_t i = 0; i < epoch_seconds.size(); ++i)
        out[i] = trading_date_at(market, epoch_seconds[i], utc_offset_hours);
}

}  // namespace vkb
