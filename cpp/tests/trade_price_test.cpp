#include <doctest/doctest.h>

#include <limits>
#include <vector>

#include "vkb/trade_price.hpp"

using namespace vkb;

TEST_CASE("a trade price is finite and above 0") {
    CHECK(is_trade_price(0.01));
    CHECK(is_trade_price(std::numeric_limits<double>::denorm_min()));
    CHECK_FALSE(is_trade_price(0.0));
    CHECK_FALSE(is_trade_price(-0.0));
    CHECK_FALSE(is_trade_price(-5.0));
    CHECK_FALSE(is_trade_price(std::numeric_limits<double>::quiet_NaN()));
    CHECK_FALSE(is_trade_price(std::numeric_limits<double>::infinity()));
}

TEST_CASE("the first bad price of a column is found by its index") {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    CHECK_FALSE(first_bad_trade_price(std::vector<double>{}).has_value());
    CHECK_FALSE(first_bad_trade_price(std::vector<double>{588.0, 589.0}).has_value());
    CHECK(first_bad_trade_price(std::vector<double>{588.0, 0.0, -1.0}) == 1u);
    CHECK(first_bad_trade_price(std::vector<double>{588.0, 589.0, nan}) == 2u);
}
