#include <doctest/doctest.h>

#include <vector>

#include "vkb/civil_time.hpp"
#include "vkb/trading_date_range.hpp"

using namespace vkb;

namespace {
std::int64_t day(int y, int m, int d) { return days_from_civil(y, m, d); }
std::int64_t wall_ns(int y, int m, int d, int h) { return (day(y, m, d) * 86400 + h * 3600) * 1'000'000'000LL; }
std::vector<std::int64_t> starts(const std::vector<WallWindow>& windows) {
    std::vector<std::int64_t> out;
    for (const WallWindow& w : windows) out.push_back(w.from_ns);
    return out;
}
}  // namespace

TEST_CASE("a Monday start opens with Friday's night session, a Friday end stops before Friday's night") {
    SessionCalendar calendar;
    const TradingDateRange r = futures_trading_range(calendar, day(2024, 3, 4), day(2024, 3, 8));
    CHECK_FALSE(r.empty);
    CHECK(r.first_day == day(2024, 3, 1));
    CHECK(r.last_day == day(2024, 3, 8));
    CHECK(starts(futures_day_windows(calendar, r, day(2024, 3, 1))) == std::vector<std::int64_t>{wall_ns(2024, 3, 1, 15)});
    CHECK(starts(futures_day_windows(calendar, r, day(2024, 3, 2))) == std::vector<std::int64_t>{wall_ns(2024, 3, 2, 0)});
    CHECK(futures_day_windows(calendar, r, day(2024, 3, 3)).empty());
    const auto friday = futures_day_windows(calendar, r, day(2024, 3, 8));
    REQUIRE(friday.size() == 2);
    CHECK(friday.back().until_ns == wall_ns(2024, 3, 8, 15));
}

TEST_CASE("weekend ends of a range move to the trading dates inside it") {
    SessionCalendar calendar;
    const TradingDateRange r = futures_trading_range(calendar, day(2024, 3, 2), day(2024, 3, 10));
    CHECK(r.first_day == day(2024, 3, 1));
    CHECK(r.first_trading == day(2024, 3, 4));
    CHECK(r.last_trading == day(2024, 3, 8));
    CHECK(r.last_day == day(2024, 3, 8));
}

TEST_CASE("holidays are skipped when looking for the opening night") {
    SessionCalendar calendar;
    calendar.set_holidays({day(2024, 3, 1)});
    const TradingDateRange r = futures_trading_range(calendar, day(2024, 3, 4), day(2024, 3, 4));
    CHECK(r.first_day == day(2024, 2, 29));
    CHECK(starts(futures_day_windows(calendar, r, day(2024, 2, 29))) == std::vector<std::int64_t>{wall_ns(2024, 2, 29, 15)});
    CHECK(futures_day_windows(calendar, r, day(2024, 3, 1)).empty());
}

TEST_CASE("a range without a trading date is empty") {
    SessionCalendar calendar;
    CHECK(futures_trading_range(calendar, day(2024, 3, 2), day(2024, 3, 3)).empty);
    CHECK(futures_trading_range(calendar, day(2024, 3, 5), day(2024, 3, 4)).empty);
}

TEST_CASE("a Monday range keeps the Friday night's closing print at Saturday 05:00:00") {
    SessionCalendar calendar;
    const TradingDateRange r = futures_trading_range(calendar, day(2024, 3, 4), day(2024, 3, 4));
    const auto saturday = futures_day_windows(calendar, r, day(2024, 3, 2));
    REQUIRE(saturday.size() == 1);
    const std::int64_t close_print = wall_ns(2024, 3, 2, 5);
    CHECK(saturday[0].from_ns <= close_print);
    CHECK(close_print < saturday[0].until_ns);
    CHECK(saturday[0].until_ns <= close_print + 1'000'000'000);
}

TEST_CASE("the days of a range start at the night before its first trading date, counted from 15:00") {
    SessionCalendar calendar;
    const FuturesRangeDays days = futures_range_days(calendar, day(2024, 3, 4), day(2024, 3, 5));
    CHECK(days.first_day == day(2024, 3, 1));
    REQUIRE(days.windows.size() == 5);
    CHECK(days.windows[2].empty());
    CHECK(days.lead_in_since == wall_ns(2024, 3, 1, 15));
}

TEST_CASE("a range without a trading date has no days and no lead-in") {
    SessionCalendar calendar;
    const FuturesRangeDays days = futures_range_days(calendar, day(2024, 3, 9), day(2024, 3, 10));
    CHECK(days.windows.empty());
    CHECK_FALSE(days.lead_in_since.has_value());
}
