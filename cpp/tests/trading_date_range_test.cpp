#include <doctest/doctest.h>

#include "vkb/civil_time.hpp"
#include "vkb/trading_date_range.hpp"

using namespace vkb;

namespace {
std::int64_t day(int y, int m, int d) { return days_from_civil(y, m, d); }
std::int64_t wall_ns(int y, int m, int d, int h) { return (day(y, m, d) * 86400 + h * 3600) * 1'000'000'000LL; }
}  // namespace

TEST_CASE("a Monday start opens with Friday's night session, a Friday end stops before Friday's night") {
    SessionCalendar calendar;
    const TradingDateRange r = futures_trading_range(calendar, day(2024, 3, 4), day(2024, 3, 8));
    CHECK_FALSE(r.empty);
    CHECK(r.first_day == day(2024, 3, 1));
    CHECK(r.last_day == day(2024, 3, 8));
    CHECK(r.from_wall_ns == wall_ns(2024, 3, 1, 15));
    CHECK(r.until_wall_ns == wall_ns(2024, 3, 8, 15));
}

TEST_CASE("weekend ends of a range move to the trading dates inside it") {
    SessionCalendar calendar;
    const TradingDateRange r = futures_trading_range(calendar, day(2024, 3, 2), day(2024, 3, 10));
    CHECK(r.first_day == day(2024, 3, 1));
    CHECK(r.from_wall_ns == wall_ns(2024, 3, 1, 15));
    CHECK(r.last_day == day(2024, 3, 8));
    CHECK(r.until_wall_ns == wall_ns(2024, 3, 8, 15));
}

TEST_CASE("holidays are skipped when looking for the opening night") {
    SessionCalendar calendar;
    calendar.set_holidays({day(2024, 3, 1)});
    const TradingDateRange r = futures_trading_range(calendar, day(2024, 3, 4), day(2024, 3, 4));
    CHECK(r.first_day == day(2024, 2, 29));
    CHECK(r.from_wall_ns == wall_ns(2024, 2, 29, 15));
}

TEST_CASE("a range without a trading date is empty") {
    SessionCalendar calendar;
    CHECK(futures_trading_range(calendar, day(2024, 3, 2), day(2024, 3, 3)).empty);
    CHECK(futures_trading_range(calendar, day(2024, 3, 5), day(2024, 3, 4)).empty);
}
