#pragma once
// A futures date range read as trading dates: from the night session that opens the first trading
// date (15:00 of the trading date before it) to the last trading date's day session.
#include <cstdint>

#include "vkb/session_calendar.hpp"

namespace vkb {

struct TradingDateRange {
    bool empty;                  // no trading date between the two days
    std::int64_t first_day;      // calendar days to ask the broker for, both inclusive
    std::int64_t last_day;
    std::int64_t from_wall_ns;   // ticks kept: from_wall_ns <= ts < until_wall_ns (exchange wall clock)
    std::int64_t until_wall_ns;  // 15:00 of the last trading date, where its night session opens
};

// `start_day`, `end_day`: days since the epoch. A start on a non-trading day begins with the next
// trading date, an end on one stops at the trading date before it.
TradingDateRange futures_trading_range(const SessionCalendar& calendar, std::int64_t start_day, std::int64_t end_day);

}  // namespace vkb
