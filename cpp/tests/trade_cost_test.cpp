#include <doctest/doctest.h>

#include <cmath>
#include <optional>
#include <string_view>

#include "vkb/trade_cost.hpp"

using namespace vkb;

namespace {

// Three ticks of slippage against the order, as the default settings have it.
FeeRule limit_rule(bool buy, double limit) {
    FeeRule rule{0.001425, 0.003, 0.0, 3, buy};
    rule.sell = !buy;
    rule.limit_price = limit;
    return rule;
}

double booked(double price, const FeeRule& rule) {
    return compute_trade_cost("2330", price, 1, kSharesPerLot, rule, false).price;
}

}  // namespace

TEST_CASE("a limit fill is never booked worse than its limit, slippage included") {
    CHECK(booked(592.0, limit_rule(true, 592.0)) == 592.0);  // 595 after slippage
    CHECK(booked(592.0, limit_rule(true, 594.0)) == 594.0);
    CHECK(booked(592.0, limit_rule(true, 600.0)) == 595.0);  // room enough: slipped as usual
    CHECK(booked(595.0, limit_rule(false, 595.0)) == 595.0);  // 592 after slippage
    CHECK(booked(597.0, limit_rule(false, 595.0)) == 595.0);
    CHECK(compute_trade_cost("2330", 52.1, 1, kSharesPerLot, limit_rule(true, 52.2), false).price == 52.2);
}

TEST_CASE("the fee and tax of a limit fill are worked out on the price within the limit") {
    const TradeCost c = compute_trade_cost("2330", 592.0, 2, kSharesPerLot, limit_rule(false, 591.0), false);
    CHECK(c.price == 591.0);
    CHECK(c.origin_price == 592.0);
    CHECK(c.fee == 0.001425 * 2 * 1000 * 591.0);
    CHECK(c.tax == 0.003 * 2 * 1000 * 591.0);
}

TEST_CASE("slippage never carries a price further past a limit it is already beyond") {
    CHECK(slipped_within_limit(101.0, 102.5, 100.0, true) == 101.0);
    CHECK(slipped_within_limit(99.0, 97.5, 100.0, false) == 99.0);
}

TEST_CASE("slippage in the order's favour is kept under a limit") {
    FeeRule rule = limit_rule(true, 600.0);
    rule.slip_up = false;
    CHECK(booked(592.0, rule) == 589.0);
}

TEST_CASE("a futures limit fill stays at its limit in whole contract ticks") {
    FeeRule rule{0.00002, 0.00002, 0.0, 3, true};
    rule.futures_tick = 1.0;
    rule.futures = true;
    rule.limit_price = 17001.0;
    CHECK(compute_trade_cost("TXFR1", 17000.0, 1, 200, rule, false).price == 17001.0);
}

TEST_CASE("stored slippage settings resolve to a direction, reversed for a covering price") {
    struct Case {
        std::optional<std::string_view> stored;
        bool reverse;
        bool up;
    };
    for (const Case& c : {Case{"up", false, true}, Case{"up", true, false}, Case{"down", false, false},
                          Case{"down", true, true}, Case{"sideways", false, false}, Case{"sideways", true, false},
                          Case{std::nullopt, false, true}, Case{std::nullopt, true, false}}) {
        FeeSettings settings{0.001425, 0.003, 10.0, 3, c.stored};
        CAPTURE(c.reverse);
        CHECK(resolve_fee_rule(settings, "2330", false, false, c.reverse, std::nullopt).slip_up == c.up);
    }
}

TEST_CASE("a resolved rule carries the settings and slips futures in whole contract ticks") {
    const FeeSettings settings{0.00002, 0.00002, 5.0, 3, "up"};
    const FeeRule stock = resolve_fee_rule(settings, "2330", false, true, false, BrokerFees{});
    CHECK(stock.futures_tick == 0.0);
    CHECK(stock.sell);
    CHECK(stock.broker.has_value());
    CHECK(stock.fixed_cost == 5.0);
    const FeeRule futures = resolve_fee_rule(settings, "TXFR1", true, false, false, std::nullopt);
    CHECK(futures.futures);
    CHECK_FALSE(futures.broker.has_value());
    CHECK(compute_trade_cost("TXFR1", 17000.0, 1, 200, futures, false).price == 17003.0);
}

TEST_CASE("only a positive finite price is tradable") {
    for (const double bad : {0.0, -1.0, std::nan(""), HUGE_VAL, -HUGE_VAL}) CHECK_FALSE(is_tradable_price(bad));
    CHECK(is_tradable_price(0.01));
}
