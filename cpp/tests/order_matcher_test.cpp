#include <doctest/doctest.h>

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vkb/contract_grid.hpp"
#include "vkb/order_matcher.hpp"
#include "vkb/session_calendar.hpp"

using namespace vkb;

namespace {

const ContractGrid kStock = ContractGrid::for_stock("2330");
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

MatchOrder order(std::int64_t id, bool buy, OrderKind kind, double limit = kNaN, double stop = kNaN) {
    MatchOrder o;
    o.id = id;
    o.buy = buy;
    o.kind = kind;
    o.limit = limit;
    o.stop = stop;
    o.session_start = 100.0;
    o.session_end = 200.0;
    return o;
}

struct Outcome {
    double time = 0.0;
    MatchEvent event;
};

// Feeds (time, price) trades of one code and keeps every event.
std::vector<Outcome> tape(OrderMatcher& matcher, std::initializer_list<std::pair<double, double>> trades) {
    std::vector<Outcome> out;
    for (const auto& [time, price] : trades)
        for (const MatchEvent& e : matcher.on_trade("2330", {time, price}))
            out.push_back({time, e});
    return out;
}

}  // namespace

TEST_CASE("a limit marketable on arrival fills at the trade, a rested one at its limit however far through") {
    OrderMatcher m;
    m.set_rules({.through = false});
    m.add("2330", order(1, true, OrderKind::Limit, 100.0), kStock);
    auto events = tape(m, {{101, 98.0}});
    REQUIRE(events.size() == 1);
    CHECK(events[0].event.price == 98.0);
    CHECK(events[0].event.limit == 100.0);

    m.add("2330", order(2, true, OrderKind::Limit, 104.0), kStock);
    events = tape(m, {{102, 104.5}, {103, 103.0}});
    REQUIRE(events.size() == 1);
    CHECK(events[0].event.order.rested);
    CHECK(events[0].event.price == 104.0);  // never through its limit, never worse

    m.add("2330", order(3, false, OrderKind::Limit, 101.0), kStock);
    events = tape(m, {{104, 100.5}, {105, 101.0}});
    REQUIRE(events.size() == 1);
    CHECK(events[0].event.price == 101.0);
    CHECK_FALSE(m.has_orders("2330"));
}

TEST_CASE("a market order fills at the next trade, or at the quote's side with quote fills") {
    OrderMatcher m;
    m.add("2330", order(1, true, OrderKind::Market), kStock);
    m.add("2330", order(2, false, OrderKind::Market), kStock);
    m.set_quote_fills(true);
    const auto events = m.on_trade("2330", {101, 100.0, 99.5, 100.5});
    REQUIRE(events.size() == 2);
    CHECK(events[0].price == 100.5);
    CHECK(events[1].price == 99.5);
    m.add("2330", order(3, false, OrderKind::Market), kStock);
    CHECK(m.on_trade("2330", {102, 100.0, 0.0, kNaN})[0].price == 100.0);  // no bid: the trade
}

TEST_CASE("a stop triggers at or through its price and fills at the next trade; a stop-limit then works as a limit") {
    OrderMatcher m;
    m.add("2330", order(1, false, OrderKind::Stop, kNaN, 95.0), kStock);
    auto events = tape(m, {{101, 96.0}, {102, 95.0}});
    CHECK(events.empty());
    CHECK(m.find(1)->triggered);
    events = tape(m, {{103, 94.0}});
    REQUIRE(events.size() == 1);
    CHECK(events[0].event.price == 94.0);

    m.add("2330", order(2, true, OrderKind::StopLimit, 52.2, 52.0), kStock);
    events = tape(m, {{104, 51.8}, {105, 52.0}, {106, 52.3}, {107, 52.1}});
    REQUIRE(events.size() == 1);
    CHECK(events[0].time == 107);
    CHECK(events[0].event.price == 52.2);  // rested at 52.3 after its trigger: filled at its limit
    CHECK(events[0].event.limit == 52.2);
}

TEST_CASE("a day order expires at its session's end, a good-till-cancel one stays, none sees trades before its session") {
    OrderMatcher m;
    MatchOrder day = order(1, true, OrderKind::Limit, 90.0);
    MatchOrder kept = order(2, true, OrderKind::Limit, 80.0);
    kept.good_till_cancel = true;
    m.add("2330", day, kStock);
    m.add("2330", kept, kStock);
    CHECK(tape(m, {{99, 85.0}}).empty());  // before the session: not its trade
    auto events = tape(m, {{150, 95.0}, {250, 75.0}});
    REQUIRE(events.size() == 2);
    CHECK(events[0].event.kind == MatchEvent::Kind::Expire);
    CHECK(events[0].event.time == 200.0);
    CHECK(events[1].event.order.id == 2);
    CHECK(events[1].event.price == 80.0);  // rested at 95, then traded through
}

TEST_CASE("cancel takes an order out; an id works once") {
    OrderMatcher m;
    m.add("2330", order(1, true, OrderKind::Limit, 90.0), kStock);
    CHECK_THROWS_AS(m.add("2330", order(1, true, OrderKind::Limit, 90.0), kStock), std::invalid_argument);
    CHECK(m.remove(1));
    CHECK_FALSE(m.remove(1));
    CHECK(tape(m, {{150, 80.0}}).empty());
}

TEST_CASE("a trailing stop follows the best trade onto the grid and never moves back") {
    OrderMatcher m;
    MatchOrder trailing = order(1, false, OrderKind::Stop);
    trailing.trail = Trail{0.02, true};
    trailing.best = 110.0;
    trailing.stop = trailing_stop_level(kStock, false, 110.0, *trailing.trail);
    CHECK(trailing.stop == 107.5);  // 107.8 snapped down onto the 0.5 grid
    m.add("2330", trailing, kStock);
    CHECK(tape(m, {{101, 120.0}, {102, 118.0}}).empty());
    CHECK(m.find(1)->stop == 117.5);
    CHECK(m.find(1)->best == 120.0);
    auto events = tape(m, {{103, 117.5}, {104, 117.0}});
    REQUIRE(events.size() == 1);
    CHECK(events[0].event.price == 117.0);
    CHECK(trailing_stop_level(kStock, true, 95.0, Trail{3.0, false}) == 98.0);
    CHECK(trailing_stop_level(ContractGrid::for_futures(1.0), true, 17000.0, Trail{0.001, true}) == 17017.0);
}

TEST_CASE("work matches one order alone, as on the tick it was placed on") {
    OrderMatcher m;
    m.add("2330", order(1, true, OrderKind::Market), kStock);
    m.add("2330", order(2, true, OrderKind::Market), kStock);
    const auto events = m.work(2, {150, 100.0});
    REQUIRE(events.size() == 1);
    CHECK(events[0].order.id == 2);
    CHECK(m.find(1) != nullptr);
    CHECK(m.work(2, {151, 100.0}).empty());
}

TEST_CASE("a bracket's exits cancel each other: the first to fill takes the other out on the same trade") {
    OrderMatcher m;
    m.add("2330", order(1, false, OrderKind::Limit, 105.0), kStock);  // take-profit
    m.add("2330", order(2, false, OrderKind::Stop, kNaN, 95.0), kStock);  // stop-loss
    m.add("2330", order(3, true, OrderKind::Limit, 90.0), kStock);  // not linked
    m.link({1, 2});
    auto events = tape(m, {{101, 94.0}});  // the stop triggers; it fills at the next trade
    CHECK(events.empty());
    events = tape(m, {{102, 106.0}});  // both could fill: the first added wins
    REQUIRE(events.size() == 2);
    CHECK(events[0].event.kind == MatchEvent::Kind::Fill);
    CHECK(events[0].event.order.id == 1);
    CHECK(events[0].event.price == 105.0);  // rested at 94: at its limit
    CHECK(events[1].event.kind == MatchEvent::Kind::OneCancelled);
    CHECK(events[1].event.order.id == 2);
    CHECK(events[1].event.by == 1);
    CHECK(m.find(2) == nullptr);
    CHECK(m.find(3) != nullptr);
    CHECK_THROWS_AS(m.link({2, 3}), std::invalid_argument);
}

TEST_CASE("the matcher's daily bands follow each stock's days") {
    OrderMatcher m;
    m.bands().observe("2330", ProductType::Stock, kStock, 1 * kMicrosPerDay, 100.0);
    m.bands().observe("2330", ProductType::Stock, kStock, 2 * kMicrosPerDay, 101.0);
    CHECK(m.bands().outside("2330", 110.1));
    CHECK_FALSE(m.bands().outside("2330", 110.0));
}

TEST_CASE("a trade told by its time in seconds moves the band by the exchange's date, on the stock's grid") {
    OrderMatcher m;
    // 23:30 UTC on day 0 is day 1 at UTC+8: the next trade, hours later the same exchange day, sets no reference.
    m.observe_band("2330", ProductType::Stock, 86400.0 - 1800.0, 100.0, 8);
    m.observe_band("2330", ProductType::Stock, 86400.0 + 3600.0, 103.0, 8);
    CHECK_FALSE(m.bands().band("2330"));
    m.observe_band("2330", ProductType::Stock, 2 * 86400.0, 101.0, 8);
    // Around the day's last trade, 103 +/- 10.3 rounded inward: 113.3 onto the 0.5 step of prices 100-500,
    // 92.7 already on the 0.1 step below 100.
    const auto band = m.bands().band("2330");
    REQUIRE(band);
    CHECK(band->first == doctest::Approx(92.7));
    CHECK(band->second == doctest::Approx(113.0));
}

TEST_CASE("events are named as the account acts on them") {
    CHECK(std::string(event_name(MatchEvent::Kind::Fill)) == "Fill");
    CHECK(std::string(event_name(MatchEvent::Kind::Expire)) == "Expire");
    CHECK(std::string(event_name(MatchEvent::Kind::OneCancelled)) == "OneCancelled");
    CHECK(std::string(event_name(MatchEvent::Kind::Cancelled)) == "Cancelled");
}

TEST_CASE("order kinds are read by their API names only") {
    CHECK(parse_order_kind("Market") == OrderKind::Market);
    CHECK(parse_order_kind("Limit") == OrderKind::Limit);
    CHECK(parse_order_kind("Stop") == OrderKind::Stop);
    CHECK(parse_order_kind("StopLimit") == OrderKind::StopLimit);
    CHECK_FALSE(parse_order_kind("limit"));
    CHECK_FALSE(parse_order_kind(""));
}

TEST_CASE("each print counts once toward the code's average print") {
    OrderMatcher m;
    m.prints("2330").count(10);
    m.prints("2330").count(30);
    CHECK(m.prints("2330").volume == 40.0);
    CHECK(m.prints("2330").prints == 2);
    CHECK(m.prints("0050").prints == 0);
}

TEST_CASE("through, the default: a print at the limit does not fill, on arrival or resting; a trade beyond does") {
    OrderMatcher m;
    CHECK(m.rules().through);
    m.add("2330", order(1, true, OrderKind::Limit, 100.0), kStock);
    auto events = tape(m, {{101, 100.0}, {102, 100.0}});
    CHECK(events.empty());
    CHECK(m.find(1)->rested);
    events = tape(m, {{103, 99.5}});
    REQUIRE(events.size() == 1);
    CHECK(events[0].event.price == 100.0);
}

TEST_CASE("touch: a print at the limit fills it, on arrival or resting") {
    OrderMatcher m;
    m.set_rules({.through = false});
    m.add("2330", order(1, true, OrderKind::Limit, 100.0), kStock);
    auto events = tape(m, {{101, 100.0}});
    REQUIRE(events.size() == 1);
    CHECK(events[0].event.price == 100.0);
    m.add("2330", order(2, false, OrderKind::Limit, 101.0), kStock);
    events = tape(m, {{102, 100.5}, {103, 101.0}});
    REQUIRE(events.size() == 1);
    CHECK(events[0].time == 103);
}

TEST_CASE("queue: a rested limit fills once the volume printed at its price exceeds the volume ahead of it") {
    OrderMatcher m;
    m.set_rules({.queue = true});
    PrintStats& prints = m.prints("2330");
    prints.volume += 20.0;  // two prints of 10 before the order
    prints.prints += 2;
    m.add("2330", order(1, true, OrderKind::Limit, 100.0), kStock);
    CHECK(m.find(1)->ahead == 10.0);
    CHECK(m.on_trade("2330", {101, 100.0, kNaN, kNaN, 6}).empty());  // 4 still ahead
    CHECK(m.on_trade("2330", {102, 100.0, kNaN, kNaN, 4}).empty());  // exactly worked off: not yet
    const auto events = m.on_trade("2330", {103, 100.0, kNaN, kNaN, 1});
    REQUIRE(events.size() == 1);
    CHECK(events[0].price == 100.0);
    CHECK(events[0].quantity == 1);

    m.add("2330", order(2, false, OrderKind::Limit, 101.0), kStock, {100.5, 101.0, 7.0, 50.0});  // at the ask
    CHECK(m.find(2)->ahead == 50.0);
    CHECK(m.on_trade("2330", {104, 101.0, kNaN, kNaN, 30}).empty());
    CHECK(m.on_trade("2330", {105, 101.5, kNaN, kNaN, 1}).size() == 1);  // traded through: filled at once
}

TEST_CASE("queue: the size quoted at the order's own price on its side is ahead of it, else the average print") {
    OrderMatcher m;
    PrintStats& prints = m.prints("2330");
    prints.volume += 30.0;
    prints.prints += 3;
    const BookQuote quote{99.5, 100.0, 40.0, 25.0};
    struct Case {
        bool buy;
        double limit;
        double ahead;
    };
    std::int64_t id = 0;
    for (const Case c : {Case{true, 99.5, 40.0},    // a buy at the bid: the bid size
                         Case{false, 100.0, 25.0},  // a sell at the ask: the ask size
                         Case{true, 99.0, 10.0},    // below the bid: the estimate
                         Case{false, 99.5, 10.0},   // a sell at the bid: not its side
                         Case{true, 100.0, 10.0}}) {
        m.add("2330", order(++id, c.buy, OrderKind::Limit, c.limit), kStock, quote);
        CHECK(m.find(id)->ahead == c.ahead);
    }
    m.add("2330", order(++id, true, OrderKind::Limit, 99.5), kStock, {99.5, 100.0, 0.0, 25.0});  // no bid size
    CHECK(m.find(id)->ahead == 10.0);
    CHECK_FALSE(quoted_ahead(order(0, true, OrderKind::StopLimit, 99.5, 99.0), quote));
}

TEST_CASE("queue with through: prints at a rested limit work off the queue and then fill it") {
    OrderMatcher m;
    m.set_rules({.through = true, .queue = true});
    m.add("2330", order(1, true, OrderKind::Limit, 99.5), kStock, {99.5, 100.0, 5.0, 5.0});
    CHECK(m.on_trade("2330", {101, 99.5, kNaN, kNaN, 5}).empty());  // arrives at its limit: rests, queue done
    const auto events = m.on_trade("2330", {102, 99.5, kNaN, kNaN, 1});
    REQUIRE(events.size() == 1);
    CHECK(events[0].price == 99.5);
}

TEST_CASE("partial: fills take at most the printed volume and the remainder works on") {
    OrderMatcher m;
    m.set_rules({.partial = true});
    MatchOrder big = order(1, true, OrderKind::Market);
    big.quantity = 5;
    big.partial = true;
    m.add("2330", big, kStock);
    MatchOrder whole = order(2, true, OrderKind::Market);  // not allowed parts (a bracket's order)
    whole.quantity = 5;
    m.add("2330", whole, kStock);
    auto events = m.on_trade("2330", {101, 100.0, kNaN, kNaN, 2});
    REQUIRE(events.size() == 2);
    CHECK(events[0].quantity == 2);
    CHECK(events[1].quantity == 5);
    CHECK(m.find(1)->filled == 2);
    events = m.on_trade("2330", {102, 100.5, kNaN, kNaN, 4});
    REQUIRE(events.size() == 1);
    CHECK(events[0].quantity == 3);
    CHECK(events[0].order.filled == 5);
    CHECK_FALSE(m.has_orders("2330"));
}

TEST_CASE("latency: an order and a cancel reach the book only after it, in tape time") {
    OrderMatcher m;
    m.set_rules({.latency = 0.5});
    MatchOrder market = order(1, true, OrderKind::Market);
    market.placed_at = 100.0;
    m.add("2330", market, kStock);
    CHECK(m.on_trade("2330", {100.2, 100.0}).empty());
    REQUIRE(m.on_trade("2330", {100.6, 100.5}).size() == 1);

    MatchOrder raced = order(2, true, OrderKind::Limit, 99.0), cancelled = order(3, true, OrderKind::Limit, 99.0);
    raced.placed_at = cancelled.placed_at = 100.0;
    m.add("2330", raced, kStock);
    m.add("2330", cancelled, kStock);
    CHECK(m.on_trade("2330", {101.0, 100.0}).empty());
    CHECK(m.request_cancel(2, 101.0));
    auto events = m.on_trade("2330", {101.2, 98.5});  // the cancel is still on its way: both fill
    REQUIRE(events.size() == 2);
    CHECK(events[0].kind == MatchEvent::Kind::Fill);

    MatchOrder late = order(4, true, OrderKind::Limit, 99.0);
    late.placed_at = 101.0;
    m.add("2330", late, kStock);
    CHECK(m.request_cancel(4, 102.0));
    events = m.on_trade("2330", {102.6, 98.0});
    REQUIRE(events.size() == 1);
    CHECK(events[0].kind == MatchEvent::Kind::Cancelled);
    CHECK(events[0].time == 102.5);
    CHECK_THROWS_AS(m.set_rules({.latency = -1.0}), std::invalid_argument);
}
