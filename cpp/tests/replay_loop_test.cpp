#include <doctest/doctest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "vkb/order_matcher.hpp"
#include "vkb/replay_loop.hpp"

using namespace vkb;

namespace {

// 2024-01-02 (a Tuesday) 00:00 at the exchange, in epoch seconds.
constexpr double kDay = 1704124800.0;
constexpr double kHour = 3600.0;

// Writes down what the loop asks, in order.
struct Calls final : ReplayListener {
    std::vector<std::string> log;
    std::vector<double> sampled;
    bool holds = true;
    std::size_t bars = 0;

    void code_added(std::size_t code) override { log.push_back("added " + std::to_string(code)); }
    void replacing(std::size_t code, bool keep_previous) override {
        if (keep_previous) log.push_back("keep " + std::to_string(code));
    }
    std::size_t feed_quotes(std::size_t) override { return bars; }
    double sample_minute(double timestamp) override {
        sampled.push_back(timestamp);
        return std::floor(timestamp / 60.0) * 60.0 + 60.0;
    }
    bool roll_holds(std::size_t code) override {
        log.push_back("asked " + std::to_string(code));
        return holds;
    }
    void roll(std::size_t code) override { log.push_back("roll " + std::to_string(code)); }
    void matched(std::size_t code, const std::vector<MatchEvent>& events) override {
        log.push_back("matched " + std::to_string(code) + " x" + std::to_string(events.size()));
    }
    void bars_closed(std::size_t code) override { log.push_back("bars " + std::to_string(code)); }
    void on_tick(std::size_t code) override { log.push_back("tick " + std::to_string(code)); }
    void progress(std::size_t handled) override { log.push_back("progress " + std::to_string(handled)); }
};

LoopTick tick(std::string_view code, std::string_view market, double timestamp, double close, std::int64_t qty = 1) {
    LoopTick t{code, market, {}};
    t.values.timestamp = timestamp;
    t.values.close = close;
    t.values.bid_price = t.values.ask_price = std::nan("");
    t.values.qty = qty;
    return t;
}

}  // namespace

TEST_CASE("the equity is sampled once per minute, before the tick that starts the next one") {
    OrderMatcher matcher;
    Calls calls;
    ReplayLoopOptions options;
    options.samples_equity = true;
    ReplayLoop loop(matcher, calls, options);
    const double start = kDay + 9 * kHour;
    for (double offset : {0.0, 10.0, 59.0, 60.0, 61.0, 185.0}) loop.step(tick("2330", "Stock", start + offset, 600.0));
    CHECK(calls.sampled == std::vector<double>{start, start + 60.0, start + 185.0});
    REQUIRE(loop.last_stamp());
    CHECK(*loop.last_stamp() == start + 185.0);
    CHECK(loop.handled() == 6);
}

TEST_CASE("codes are indexed as first seen and the changed ones are listed once until cleared") {
    OrderMatcher matcher;
    Calls calls;
    ReplayLoop loop(matcher, calls, {});
    const double t = kDay + 9 * kHour;
    loop.step(tick("2330", "Stock", t, 600.0, 3));
    loop.step(tick("2317", "Stock", t + 1, 100.0));
    loop.step(tick("2330", "Stock", t + 2, 601.0, 2));
    CHECK(calls.log == std::vector<std::string>{"added 0", "added 1"});
    CHECK(loop.changed() == std::vector<std::size_t>{0, 1});
    CHECK(loop.codes()[0].tick.close == 601.0);
    CHECK(matcher.prints("2330").prints == 2);
    CHECK(matcher.prints("2330").volume == 5.0);
    loop.clear_changed();
    loop.step(tick("2317", "Stock", t + 3, 101.0));
    CHECK(loop.changed() == std::vector<std::size_t>{1});
}

TEST_CASE("a stock's first trade of a new exchange date sets its daily band from the last close") {
    OrderMatcher matcher;
    Calls calls;
    ReplayLoop loop(matcher, calls, {});
    loop.step(tick("2330", "Stock", kDay + 13 * kHour, 600.0));
    const double next_day = kDay + 24 * kHour + 9 * kHour;
    loop.step(tick("2330", "Stock", next_day, 610.0));
    CHECK(loop.codes()[0].day - 1 == static_cast<std::int64_t>(kDay + 8 * kHour) / 86400);
    const auto band = matcher.bands().band("2330");
    REQUIRE(band);
    CHECK(band->first == doctest::Approx(540.0));
    CHECK(band->second == doctest::Approx(660.0));
}

TEST_CASE("the roll is asked only at a code's new night opening, and told after the quotes") {
    OrderMatcher matcher;
    Calls calls;
    ReplayLoopOptions options;
    options.watches_roll = true;
    options.calls_on_tick = true;
    ReplayLoop loop(matcher, calls, options);
    loop.step(tick("TXFA4", "Future", kDay + 10 * kHour, 17000.0));
    loop.step(tick("TXFA4", "Future", kDay + 11 * kHour, 17010.0));   // same trading date
    loop.step(tick("TXFA4", "Future", kDay + 15 * kHour, 17020.0));   // the night session: a new date
    calls.holds = false;
    loop.step(tick("TXFA4", "Future", kDay + 39 * kHour, 17030.0));  // next night, nothing held
    CHECK(calls.log == std::vector<std::string>{"added 0", "tick 0", "tick 0", "asked 0", "keep 0", "roll 0",
                                                 "tick 0", "asked 0", "tick 0"});
}

TEST_CASE("only a code with working orders meets the matcher, and closed bars are told when asked for") {
    OrderMatcher matcher;
    Calls calls;
    calls.bars = 1;
    ReplayLoopOptions options;
    options.bar_events = true;
    ReplayLoop loop(matcher, calls, options);
    MatchOrder buy;
    buy.id = 1;
    buy.buy = true;
    buy.kind = OrderKind::Market;
    buy.quantity = 1;
    buy.session_start = 0.0;
    buy.session_end = kDay + 2 * 24 * kHour;
    matcher.add("2330", buy, ContractGrid::for_stock("2330"));
    const double t = kDay + 9 * kHour;
    loop.step(tick("2317", "Stock", t, 100.0));
    loop.step(tick("2330", "Stock", t + 1, 600.0));
    loop.step(tick("2330", "Stock", t + 2, 601.0));
    CHECK(calls.log == std::vector<std::string>{"added 0", "bars 0", "added 1", "matched 1 x1", "bars 1", "bars 1"});
}

TEST_CASE("a tick carries a quote when either side is priced") {
    TickValues tick;
    tick.bid_price = tick.ask_price = std::nan("");
    CHECK_FALSE(tick.has_quote());
    tick.ask_price = 100.5;
    CHECK(tick.has_quote());
    tick.bid_price = 100.0;
    tick.ask_price = std::nan("");
    CHECK(tick.has_quote());
}

TEST_CASE("each tick counts toward its code's prints; progress every 0 ticks is refused") {
    OrderMatcher matcher;
    Calls calls;
    ReplayLoop loop(matcher, calls, {});
    loop.step(tick("2330", "Stock", kDay + 9 * kHour, 600.0, 5));
    loop.step(tick("2330", "Stock", kDay + 9 * kHour + 1, 601.0, 7));
    CHECK(matcher.prints("2330").volume == 12.0);
    CHECK(matcher.prints("2330").prints == 2);
    ReplayLoopOptions never;
    never.progress_every = 0;
    CHECK_THROWS_AS(ReplayLoop(matcher, calls, never), std::invalid_argument);
}
