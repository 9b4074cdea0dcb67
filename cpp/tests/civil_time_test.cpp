#include <doctest/doctest.h>

#include "vkb/civil_time.hpp"
#include "vkb/exchange_time.hpp"

#include <cmath>
#include <cstdint>
#include <stdexcept>

using namespace vkb;

TEST_CASE("epoch zero is eight o'clock in the exchange zone") {
    auto t = to_civil(0.0, 8);
    CHECK(format_datetime(t, true) == "1970-01-01 08:00:00.000000");
}

TEST_CASE("days round-trip across leap years and before the epoch") {
    for (std::int64_t d : {-800000LL, -1LL, 0LL, 59LL, 11016LL, 19723LL, 2932896LL}) {
        int y, m, dd;
        civil_from_days(d, y, m, dd);
        CHECK(days_from_civil(y, m, dd) == d);
    }
    CHECK(days_from_civil(2024, 2, 29) - days_from_civil(2024, 2, 28) == 1);
    CHECK(weekday_from_days(days_from_civil(2024, 1, 6)) == 5);  // a Saturday
}

TEST_CASE("fractional seconds carry as microseconds, negative times floor") {
    auto t = to_civil(1704158100.25, 8);  // 2024-01-02 09:15:00.25 in Taipei
    CHECK(format_datetime(t, true) == "2024-01-02 09:15:00.250000");
    auto n = to_civil(-0.5, 0);
    CHECK(format_datetime(n, true) == "1969-12-31 23:59:59.500000");
}

TEST_CASE("times whose microseconds leave 64 bits are refused, quoting the value") {
    for (double ts : {9.3e12, -9.3e12, 5e16, 0.0 / 0.0}) {
        CAPTURE(ts);
        CHECK_THROWS_AS(to_wall_micros(ts, 8), std::domain_error);
    }
    CHECK_THROWS_WITH(to_wall_micros(9.3e12, 8), "timestamp out of range: 9300000000000");
    CHECK(to_wall_micros(1704158100.25, 8) == (1704158100LL + 8 * 3600) * 1000000 + 250000);
}

TEST_CASE("the wall clock range is the years 1 to 9999") {
    CHECK(wall_clock_in_range(0.0, 8));
    CHECK(wall_clock_in_range(253402300799.0 - 8 * 3600, 8));
    CHECK_FALSE(wall_clock_in_range(253402300800.0 - 8 * 3600, 8));
    CHECK(wall_clock_in_range(-62135596800.0, 0));
    CHECK_FALSE(wall_clock_in_range(-62135596801.0, 0));
    CHECK_FALSE(wall_clock_in_range(0.0 / 0.0, 8));
}

TEST_CASE("wall-clock microseconds of a series mark what no calendar holds as not a time") {
    const double stamps[] = {0.25, std::nan(""), 1e15, -86400.5};
    std::int64_t wall[4] = {};
    exchange_wall_micros(stamps, 8, wall);
    CHECK(wall[0] == 8 * 3600 * 1'000'000LL + 250'000);
    CHECK(wall[1] == kNotATime);
    CHECK(wall[2] == kNotATime);
    CHECK(wall[3] == to_wall_micros(-86400.5, 8));
}
