#include <doctest/doctest.h>

#include <cmath>
#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "vkb/civil_time.hpp"
#include "vkb/session_calendar.hpp"

using namespace vkb;

namespace {
std::int64_t wall(int y, int mo, int d, int h, int mi) {
    return days_from_civil(y, mo, d) * kMicrosPerDay + h * kMicrosPerHour + mi * kMicrosPerMinute;
}
}  // namespace

TEST_CASE("stock minutes are open 09:00-13:29 on trading weekdays only") {
    SessionCalendar cal;
    cal.set_holidays({days_from_civil(2024, 10, 10)});
    CHECK(cal.is_open_minute(ProductType::Stock, wall(2024, 1, 2, 9, 0)));
    CHECK(cal.is_open_minute(ProductType::Stock, wall(2024, 1, 2, 13, 29)));
    CHECK_FALSE(cal.is_open_minute(ProductType::Stock, wall(2024, 1, 2, 13, 30)));
    CHECK_FALSE(cal.is_open_minute(ProductType::Stock, wall(2024, 1, 2, 8, 59)));
    CHECK_FALSE(cal.is_open_minute(ProductType::Stock, wall(2024, 1, 6, 10, 0)));   // Saturday
    CHECK_FALSE(cal.is_open_minute(ProductType::Stock, wall(2024, 10, 10, 10, 0)));  // holiday
}

TEST_CASE("futures night session runs into Saturday morning but never into Sunday or after a closed day") {
    SessionCalendar cal;
    cal.set_holidays({days_from_civil(2024, 10, 10)});
    // 2024-01-05 is a Friday.
    CHECK(cal.is_open_minute(ProductType::Future, wall(2024, 1, 5, 23, 59)));
    CHECK(cal.is_open_minute(ProductType::Future, wall(2024, 1, 6, 0, 0)));
    CHECK(cal.is_open_minute(ProductType::Future, wall(2024, 1, 6, 4, 59)));
    CHECK_FALSE(cal.is_open_minute(ProductType::Future, wall(2024, 1, 6, 5, 0)));
    CHECK_FALSE(cal.is_open_minute(ProductType::Future, wall(2024, 1, 6, 9, 0)));
    CHECK_FALSE(cal.is_open_minute(ProductType::Future, wall(2024, 1, 6, 15, 0)));
    CHECK_FALSE(cal.is_open_minute(ProductType::Future, wall(2024, 1, 7, 2, 0)));   // Sunday
    CHECK_FALSE(cal.is_open_minute(ProductType::Future, wall(2024, 1, 8, 2, 0)));   // Monday, no Sunday night
    CHECK(cal.is_open_minute(ProductType::Future, wall(2024, 1, 9, 2, 0)));         // Tuesday
    CHECK_FALSE(cal.is_open_minute(ProductType::Future, wall(2024, 10, 11, 1, 0)));  // after the holiday
    CHECK_FALSE(cal.is_open_minute(ProductType::Future, wall(2024, 1, 9, 13, 45)));
    CHECK_FALSE(cal.is_open_minute(ProductType::Future, wall(2024, 1, 9, 14, 59)));
    CHECK(cal.is_open_minute(ProductType::Future, wall(2024, 1, 9, 8, 45)));
    CHECK(cal.is_open_minute(ProductType::Future, wall(2024, 1, 9, 15, 0)));
}

TEST_CASE("every minute of the closed intervals stays closed on every day of a year") {
    SessionCalendar cal;
    for (auto market : {ProductType::Stock, ProductType::Future})
        for (std::int64_t day = days_from_civil(2024, 1, 1); day < days_from_civil(2025, 1, 1); ++day)
            for (const auto& iv : cal.closed(market))
                for (int s = iv.start_second - iv.start_second % 60; s <= iv.end_second; s += 60)
                    if (s >= iv.start_second)
                        CHECK_FALSE(cal.is_open_minute(market, day * kMicrosPerDay + s * kMicrosPerSecond));
}

TEST_CASE("futures trading date: night session counts for the next trading date") {
    SessionCalendar cal;
    cal.set_holidays({days_from_civil(2024, 10, 10)});
    CHECK(cal.futures_trading_date(wall(2024, 1, 5, 15, 0)) == days_from_civil(2024, 1, 8));
    CHECK(cal.futures_trading_date(wall(2024, 1, 6, 4, 59)) == days_from_civil(2024, 1, 8));
    CHECK(cal.futures_trading_date(wall(2024, 1, 8, 8, 45)) == days_from_civil(2024, 1, 8));
    CHECK(cal.futures_trading_date(wall(2024, 10, 9, 16, 0)) == days_from_civil(2024, 10, 11));
    CHECK(cal.futures_trading_date(wall(2024, 1, 9, 1, 0)) == days_from_civil(2024, 1, 9));
}

TEST_CASE("an order works in the session under way, else in the market's next session") {
    SessionCalendar cal;
    cal.set_holidays({days_from_civil(2024, 10, 10)});
    auto bounds = [&](ProductType market, std::int64_t at) {
        const TradingSession s = cal.order_session(market, at);
        return std::pair{s.start_us, s.end_us};
    };
    // 2024-01-02 is a Tuesday, 2024-01-05 a Friday.
    CHECK(bounds(ProductType::Stock, wall(2024, 1, 2, 10, 0)) ==
          std::pair{wall(2024, 1, 2, 9, 0), wall(2024, 1, 2, 13, 30)});
    CHECK(bounds(ProductType::Stock, wall(2024, 1, 2, 8, 50)) ==
          std::pair{wall(2024, 1, 2, 9, 0), wall(2024, 1, 2, 13, 30)});
    CHECK(bounds(ProductType::Stock, wall(2024, 1, 2, 13, 29)) ==
          std::pair{wall(2024, 1, 2, 9, 0), wall(2024, 1, 2, 13, 30)});
    // The closing print: nothing trades after it in that session.
    CHECK(bounds(ProductType::Stock, wall(2024, 1, 2, 13, 30)) ==
          std::pair{wall(2024, 1, 3, 9, 0), wall(2024, 1, 3, 13, 30)});
    CHECK(bounds(ProductType::Stock, wall(2024, 1, 2, 21, 0)) ==
          std::pair{wall(2024, 1, 3, 9, 0), wall(2024, 1, 3, 13, 30)});
    CHECK(bounds(ProductType::Stock, wall(2024, 1, 5, 21, 0)) ==
          std::pair{wall(2024, 1, 8, 9, 0), wall(2024, 1, 8, 13, 30)});
    CHECK(bounds(ProductType::Stock, wall(2024, 10, 9, 14, 0)) ==
          std::pair{wall(2024, 10, 11, 9, 0), wall(2024, 10, 11, 13, 30)});
    CHECK(bounds(ProductType::Future, wall(2024, 1, 2, 9, 0)) ==
          std::pair{wall(2024, 1, 2, 8, 45), wall(2024, 1, 2, 13, 45)});
    CHECK(bounds(ProductType::Future, wall(2024, 1, 2, 13, 45)) ==
          std::pair{wall(2024, 1, 2, 15, 0), wall(2024, 1, 3, 5, 0)});
    CHECK(bounds(ProductType::Future, wall(2024, 1, 3, 3, 0)) ==
          std::pair{wall(2024, 1, 2, 15, 0), wall(2024, 1, 3, 5, 0)});
    CHECK(bounds(ProductType::Future, wall(2024, 1, 3, 6, 0)) ==
          std::pair{wall(2024, 1, 3, 8, 45), wall(2024, 1, 3, 13, 45)});
    CHECK(bounds(ProductType::Future, wall(2024, 1, 6, 10, 0)) ==
          std::pair{wall(2024, 1, 8, 8, 45), wall(2024, 1, 8, 13, 45)});
}

TEST_CASE("trading date of a tick: stocks by calendar date, futures by the session's trading date") {
    SessionCalendar cal;
    CHECK(cal.trading_date(ProductType::Stock, wall(2024, 1, 5, 13, 30)) == days_from_civil(2024, 1, 5));
    CHECK(cal.trading_date(ProductType::Future, wall(2024, 1, 5, 13, 45)) == days_from_civil(2024, 1, 5));
    CHECK(cal.trading_date(ProductType::Future, wall(2024, 1, 5, 15, 0)) == days_from_civil(2024, 1, 8));
    CHECK(cal.trading_date(ProductType::Future, wall(2024, 1, 6, 0, 30)) == days_from_civil(2024, 1, 8));
}

TEST_CASE("the night session's closing print at 05:00:00 counts for the night's trading date, Saturday's too") {
    SessionCalendar cal;
    const std::int64_t half_second = kMicrosPerSecond / 2;
    CHECK(cal.futures_trading_date(wall(2024, 1, 6, 5, 0)) == days_from_civil(2024, 1, 8));
    CHECK(cal.futures_trading_date(wall(2024, 1, 6, 5, 0) + half_second) == days_from_civil(2024, 1, 8));
    CHECK(cal.futures_trading_date(wall(2024, 1, 9, 5, 0)) == days_from_civil(2024, 1, 9));
    CHECK(cal.futures_trading_date(wall(2024, 1, 6, 5, 0) + kMicrosPerSecond) == days_from_civil(2024, 1, 6));
}

TEST_CASE("the night-opening day changes at every futures trading-date boundary") {
    SessionCalendar cal;
    cal.set_holidays({days_from_civil(2024, 10, 10)});
    // Ticks across a week with a holiday: the day changes wherever the trading date does.
    const std::int64_t ticks[] = {wall(2024, 10, 7, 13, 45), wall(2024, 10, 7, 15, 0), wall(2024, 10, 8, 4, 59),
                                  wall(2024, 10, 8, 8, 45),  wall(2024, 10, 9, 13, 45), wall(2024, 10, 9, 15, 0),
                                  wall(2024, 10, 11, 8, 45), wall(2024, 10, 11, 15, 0), wall(2024, 10, 12, 4, 59),
                                  wall(2024, 10, 14, 8, 45)};
    for (std::size_t i = 1; i < std::size(ticks); ++i)
        if (cal.futures_trading_date(ticks[i]) != cal.futures_trading_date(ticks[i - 1]))
            CHECK(night_opening_day(ticks[i]) != night_opening_day(ticks[i - 1]));
    CHECK(night_opening_day(wall(2024, 10, 9, 14, 59)) == days_from_civil(2024, 10, 8));
    CHECK(night_opening_day(wall(2024, 10, 9, 15, 0)) == days_from_civil(2024, 10, 9));
    CHECK(night_opening_day(wall(1969, 12, 31, 15, 0)) == -1);
}

TEST_CASE("the previous trading date skips weekends and listed holidays") {
    SessionCalendar calendar;
    const std::int64_t monday = days_from_civil(2026, 1, 5);
    calendar.set_holidays({monday - 3});  // that Friday
    CHECK(calendar.previous_trading_date_before(monday) == monday - 4);
    CHECK(calendar.previous_trading_date_before(monday + 1) == monday);
    CHECK(calendar.next_trading_date_after(monday - 4) == monday);
}

TEST_CASE("epoch seconds are read on the exchange clock for trading dates and order sessions") {
    SessionCalendar cal;
    // 2024-01-05 15:00 in Taipei (UTC+8) is 07:00 UTC: a Friday night session, counting for Monday.
    const double friday_night = static_cast<double>(days_from_civil(2024, 1, 5)) * 86400 + 7 * 3600;
    CHECK(cal.trading_date_at(ProductType::Future, friday_night, 8) == days_from_civil(2024, 1, 8));
    CHECK(cal.trading_date_at(ProductType::Stock, friday_night, 8) == days_from_civil(2024, 1, 5));
    const auto [start, end] = cal.order_session_at(ProductType::Future, friday_night, 8);
    CHECK(start == friday_night);
    CHECK(end == friday_night + 14 * 3600);
    const double stamps[] = {friday_night, friday_night - 3600};
    std::int64_t dates[2] = {};
    cal.trading_dates_at(ProductType::Future, stamps, 8, dates);
    CHECK(dates[0] == days_from_civil(2024, 1, 8));
    CHECK(dates[1] == days_from_civil(2024, 1, 5));
    CHECK_THROWS_AS(cal.trading_date_at(ProductType::Stock, std::nan(""), 8), std::domain_error);
}
