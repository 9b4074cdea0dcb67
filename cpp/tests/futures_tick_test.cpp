#include <doctest/doctest.h>

#include <cstdint>
#include <stdexcept>

#include "vkb/futures_tick.hpp"

using namespace vkb;

TEST_CASE("futures slip in whole ticks of their own size, without a stock-grid snap") {
    CHECK(slip_futures_price(16357.0, 1, true, 1.0) == 16358.0);
    CHECK(slip_futures_price(16357.0, 3, true, 1.0) == 16360.0);
    CHECK(slip_futures_price(16357.0, 3, false, 1.0) == 16354.0);
    CHECK(slip_futures_price(812.35, 3, true, 0.05) == 812.5);
    CHECK(slip_futures_price(812.35, 1, false, 0.05) == 812.3);
    CHECK(slip_futures_price(1803.4, 3, true, 0.2) == 1804.0);
    CHECK(slip_futures_price(1803.4, 3, false, 0.2) == 1802.8);
    CHECK(slip_futures_price(16357.0, 0, true, 1.0) == 16357.0);
}

TEST_CASE("a futures walk down stops one tick above zero; huge walks are worked out at once") {
    CHECK(slip_futures_price(5.0, 10, false, 1.0) == 1.0);
    CHECK(slip_futures_price(0.5, 3, false, 1.0) == 0.5);
    CHECK(slip_futures_price(16357.0, 10000000000000LL, false, 1.0) == 1.0);
    CHECK_THROWS_AS(slip_futures_price(16357.0, 10000000000000LL, true, 1.0), std::overflow_error);
    CHECK_THROWS_AS(slip_futures_price(16357.0, 1, true, 0.0), std::domain_error);
}
