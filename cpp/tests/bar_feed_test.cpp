#include <doctest/doctest.h>

#include "vkb/bar_feed.hpp"
#include "vkb/civil_time.hpp"

using namespace vkb;

namespace {
std::int64_t wall(int d, int h, int mi, int s = 0) {
    return days_from_civil(2024, 1, d) * kMicrosPerDay + h * kMicrosPerHour + mi * kMicrosPerMinute + s * kMicrosPerSecond;
}
void add(QuoteBook& book, BarFeed& feed, CodeTicks& entry, std::int64_t dt, ProductType market = ProductType::Stock) {
    QuoteTick t;
    t.dt_us = dt;
    t.close = 10.0;
    t.qty = 1;
    t.market = market;
    book.add_tick(entry, t);
    feed.on_tick(book, entry, dt);
}
}  // namespace

TEST_CASE("a session ends the minute after its first closed minute") {
    const SessionCalendar calendar;
    CHECK(session_end_after(calendar, ProductType::Stock, wall(2, 9, 0, 5)) == wall(2, 13, 31));
    CHECK(session_end_after(calendar, ProductType::Stock, wall(2, 13, 30, 0)) == wall(2, 13, 31));
    CHECK(session_end_after(calendar, ProductType::Future, wall(2, 9, 0)) == wall(2, 13, 46));
    CHECK(session_end_after(calendar, ProductType::Future, wall(2, 23, 0)) == wall(3, 5, 1));
}

TEST_CASE("bars close on the next bucket of their code and at the end of their session") {
    QuoteBook book;
    BarFeed feed;
    CodeTicks& stock = book.entry("2330");
    CodeTicks& future = book.entry("TXFR1");
    feed.subscribe(book, stock, BarRule{BarUnit::Minute, 1});
    feed.subscribe(book, stock, BarRule{BarUnit::Day, 1});
    add(book, feed, stock, wall(2, 9, 0, 5));
    add(book, feed, stock, wall(2, 9, 0, 50));
    CHECK(feed.closed_count() == 0);
    add(book, feed, stock, wall(2, 9, 1, 0));
    REQUIRE(feed.closed_count() == 1);
    CHECK(feed.take_closed()[0].index == 0);
    add(book, feed, future, wall(2, 13, 30, 59), ProductType::Future);
    CHECK(feed.closed_count() == 0);
    add(book, feed, future, wall(2, 13, 31), ProductType::Future);
    const auto closed = feed.take_closed();
    REQUIRE(closed.size() == 2);  // the 09:01 minute and the day
    CHECK(feed.subscription(closed[1].subscription).rule.unit == BarUnit::Day);
    feed.finish(book);
    CHECK(feed.closed_count() == 0);
}

TEST_CASE("a week bar stays open across the sessions of its week") {
    QuoteBook book;
    BarFeed feed;
    CodeTicks& stock = book.entry("2330");
    feed.subscribe(book, stock, BarRule{BarUnit::Week, 1});
    add(book, feed, stock, wall(2, 9, 0));
    add(book, feed, stock, wall(3, 9, 0));
    CHECK(feed.closed_count() == 0);
    add(book, feed, stock, wall(8, 9, 0));  // the next Monday
    CHECK(feed.closed_count() == 1);
}
