#include <doctest/doctest.h>

#include <vector>

#include "vkb/civil_time.hpp"
#include "vkb/kbar_cache.hpp"

using namespace vkb;

namespace {
std::int64_t at(int h, int mi, int s) {
    return days_from_civil(2024, 1, 2) * kMicrosPerDay + h * kMicrosPerHour + mi * kMicrosPerMinute + s * kMicrosPerSecond;
}
QuoteTick tick(std::int64_t dt, double close) {
    QuoteTick t;
    t.dt_us = dt;
    t.close = close;
    t.qty = 1;
    return t;
}
}  // namespace

TEST_CASE("the close of a bar is the last of the ticks that share its latest time") {
    const SessionCalendar calendar;
    const std::vector<QuoteTick> history = {tick(at(9, 0, 5), 10.0), tick(at(9, 0, 30), 11.0),
                                            tick(at(9, 0, 30), 12.0)};
    SUBCASE("folded at once") {
        KbarCache cache(BarRule{BarUnit::Minute, 1});
        cache.update(history, calendar);
        REQUIRE(cache.bars().size() == 1);
        CHECK(cache.bars().close[0] == 12.0);
        CHECK(cache.bars().open[0] == 10.0);
    }
    SUBCASE("folded tick by tick") {
        KbarCache cache(BarRule{BarUnit::Minute, 1});
        std::vector<QuoteTick> growing;
        for (const QuoteTick& t : history) {
            growing.push_back(t);
            cache.update(growing, calendar);
        }
        CHECK(cache.bars().close[0] == 12.0);
    }
}

TEST_CASE("the open of a bar is the first of the ticks that share its earliest time") {
    const SessionCalendar calendar;
    KbarCache cache(BarRule{BarUnit::Minute, 1});
    const std::vector<QuoteTick> history = {tick(at(9, 0, 5), 10.0), tick(at(9, 0, 5), 11.0)};
    cache.update(history, calendar);
    CHECK(cache.bars().open[0] == 10.0);
    CHECK(cache.bars().close[0] == 11.0);
}
