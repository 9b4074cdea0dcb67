#include <doctest/doctest.h>

#include <span>
#include <stdexcept>
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

TEST_CASE("no bar rule splits a piece, so bars seeded from pieces equal bars folded from the ticks") {
    const SessionCalendar calendar;
    const BarRule rules[] = {{BarUnit::Minute, 1}, {BarUnit::Minute, 7}, {BarUnit::Hour, 1}, {BarUnit::Hour, 5},
                             {BarUnit::Hour, 24}, {BarUnit::Day, 1},    {BarUnit::Day, 3},  {BarUnit::Week, 1},
                             {BarUnit::Month, 1}};
    for (ProductType market : {ProductType::Stock, ProductType::Future}) {
        // Two days of ticks every 1.3 seconds, around the clock.
        std::vector<QuoteTick> ticks;
        for (std::int64_t dt = at(0, 0, 0); dt < at(0, 0, 0) + 2 * kMicrosPerDay; dt += 1'300'000) {
            QuoteTick t = tick(dt, static_cast<double>(dt % 97));
            t.market = market;
            ticks.push_back(t);
        }
        BarPieces pieces;
        pieces.update(ticks, 0);
        for (const BarRule& rule : rules) {
            CAPTURE(static_cast<int>(rule.unit));
            CAPTURE(rule.freq);
            bool one_bucket = true;
            for (const QuoteTick& t : ticks)
                one_bucket &= rule.bucket_start(market, t.dt_us, calendar) ==
                              rule.bucket_start(market, piece_start(market, t.dt_us), calendar);
            CHECK(one_bucket);
            KbarCache folded(rule), seeded(rule);
            folded.update(ticks, calendar);
            seeded.seed(pieces, market, calendar);
            CHECK(seeded.bars().start == folded.bars().start);
            CHECK(seeded.bars().open == folded.bars().open);
            CHECK(seeded.bars().high == folded.bars().high);
            CHECK(seeded.bars().low == folded.bars().low);
            CHECK(seeded.bars().close == folded.bars().close);
            CHECK(seeded.bars().volume == folded.bars().volume);
            CHECK(seeded.consumed() == ticks.size());
        }
    }
}

TEST_CASE("the futures night's closing minute is two pieces: its closing second and the rest") {
    CHECK(piece_start(ProductType::Future, at(5, 0, 0) + 500'000) == at(5, 0, 0));
    CHECK(piece_start(ProductType::Future, at(5, 0, 1)) == at(5, 0, 1));
    CHECK(piece_start(ProductType::Future, at(5, 0, 59)) == at(5, 0, 1));
    CHECK(piece_start(ProductType::Stock, at(5, 0, 59)) == at(5, 0, 0));
    CHECK(piece_start(ProductType::Future, at(13, 44, 59)) == at(13, 44, 0));
}

TEST_CASE("a catch-up before ticks go leaves the bars the next update would have made") {
    const SessionCalendar calendar;
    // A late tick for the 09:00 bar arrives after the 09:01 bar opened: the cache last updated while 09:00
    // was the newest bar still takes it, whether or not it caught up in between.
    const std::vector<QuoteTick> ticks = {tick(at(9, 0, 5), 10.0), tick(at(9, 1, 5), 11.0), tick(at(9, 0, 50), 12.0)};
    KbarCache direct(BarRule{BarUnit::Minute, 1}), caught(BarRule{BarUnit::Minute, 1});
    const std::span<const QuoteTick> all(ticks);
    direct.update(all.first(1), calendar);
    caught.update(all.first(1), calendar);
    caught.catch_up(all.first(2), 0, calendar);
    caught.catch_up(all, 0, calendar);
    direct.update(all, calendar);
    caught.update(all.subspan(3), 3, calendar);
    CHECK(direct.bars().close == std::vector<double>{12.0, 11.0});
    CHECK(caught.bars().close == direct.bars().close);
    CHECK(caught.bars().volume == direct.bars().volume);
}

TEST_CASE("a cache refuses to go on when ticks it had not seen were dropped") {
    const SessionCalendar calendar;
    const std::vector<QuoteTick> ticks = {tick(at(9, 0, 5), 10.0)};
    KbarCache cache(BarRule{BarUnit::Minute, 1});
    CHECK_THROWS_AS(cache.update(ticks, 4, calendar), std::logic_error);
    BarPieces pieces;
    CHECK_THROWS_AS(pieces.update(ticks, 4), std::logic_error);
}

TEST_CASE("a bar rule takes 1 up to ten thousand years of its unit") {
    CHECK(checked_bar_rule(BarUnit::Year, 10'000).freq == 10'000);
    CHECK(checked_bar_rule(BarUnit::Minute, 1).unit == BarUnit::Minute);
    CHECK_THROWS_WITH_AS(checked_bar_rule(BarUnit::Hour, 0), "'freq' must be a positive integer", std::invalid_argument);
    CHECK_THROWS_WITH_AS(checked_bar_rule(BarUnit::Month, 120'001), "K 棒長度超過上限 (最長 120000mo, 即一萬年): 120001",
                         std::invalid_argument);
    CHECK(too_long_bar_message(BarUnit::Day, "2**70") == "K 棒長度超過上限 (最長 3660000d, 即一萬年): 2**70");
}
