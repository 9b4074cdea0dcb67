#pragma once
// A futures date range read as trading dates: from the night session that opens the first trading
// date (15:00 of the trading date before it) to the last trading date's day session.
#include <cstdint>
#include <optional>
#include <vector>

#include "vkb/session_calendar.hpp"

namespace vkb {

struct TradingDateRange {
    bool empty;                    // no trading date between the two days
    std::int64_t first_day;        // calendar days to ask the broker for, both inclusive
    std::int64_t last_day;
    std::int64_t first_trading;    // the trading dates of the range, both inclusive
    std::int64_t last_trading;
};

// Wall-clock nanoseconds [from, until) of a calendar day whose ticks belong to the range.
struct WallWindow {
    std::int64_t from_ns, until_ns;
};

// `start_day`, `end_day`: days since the epoch. A start on a non-trading day begins with the next
// trading date, an end on one stops at the trading date before it.
TradingDateRange futures_trading_range(const SessionCalendar& calendar, std::int64_t start_day, std::int64_t end_day);

// The parts of calendar `day` that are in session and count for a trading date of `range`: the
// night tail up to its closing print at 05:00:00 (when a night session opened the day before), the
// day session up to 15:00, and the night from 15:00 (when `day` is a trading date).
std::vector<WallWindow> futures_day_windows(const SessionCalendar& calendar, const TradingDateRange& range,
                                            std::int64_t day);

// The calendar days a futures range is read from, each with the parts of it that count.
struct FuturesRangeDays {
    std::int64_t first_day;                        // the days are first_day, first_day + 1, ...
    std::vector<std::vector<WallWindow>> windows;  // futures_day_windows of each day
    // Where the first day starts counting when it is the day before the first trading date and only its
    // night session is wanted.
    std::optional<std::int64_t> lead_in_since;
};

FuturesRangeDays futures_range_days(const SessionCalendar& calendar, std::int64_t start_day, std::int64_t end_day);

}  // namespace vkb
