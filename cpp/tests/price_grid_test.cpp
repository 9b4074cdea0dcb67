#include <doctest/doctest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "vkb/price_grid.hpp"

using namespace vkb;

TEST_CASE("one tick up and down from every grid price below 10 reaches the neighbouring grid point") {
    for (const std::string code : {"2330", "0050"}) {
        CAPTURE(code);
        for (std::int64_t c = 1; c < 1000; ++c) {
            CAPTURE(c);
            const double p = static_cast<double>(c) / 100.0;
            CHECK(slip_price(code, p, 1, true) == static_cast<double>(c + 1) / 100.0);
            // The walk down stops at the lowest grid price, 0.01.
            CHECK(slip_price(code, p, 1, false) == static_cast<double>(c > 1 ? c - 1 : 1) / 100.0);
        }
    }
}

TEST_CASE("every step of a long walk moves exactly one tick across all bands") {
    for (const std::string code : {"2330", "0056"}) {
        const bool fund = is_fund_code(code);
        std::int64_t cents = 1;
        while (cents < 200000) {
            const double p = cents_to_price(cents);
            const std::int64_t next = cents + band_tick_cents(fund, cents);
            REQUIRE(slip_price(code, p, 1, true) == cents_to_price(next));
            // Down takes the tick of the band the price stands in (10.00 -> 9.95).
            REQUIRE(slip_price(code, cents_to_price(next), 1, false) ==
                    cents_to_price(next - band_tick_cents(fund, next)));
            cents = next;
        }
    }
}

TEST_CASE("multi-tick walks that naive binary arithmetic gets wrong") {
    CHECK(slip_price("2330", 4.1, 3, true) == 4.13);
    CHECK(slip_price("2330", 9.9, 3, false) == 9.87);
    CHECK(slip_price("2330", 9.95, 3, true) == 9.98);
    CHECK(slip_price("2330", 100.0, 3, true) == 101.5);
    CHECK(slip_price("2330", 10.0, 1, false) == 9.95);
    CHECK(slip_price("2330", 9.99, 2, true) == 10.05);
    CHECK(slip_price("0050", 49.99, 2, true) == 50.05);
    CHECK(slip_price("2330", 1000.0, 1, false) == 995.0);
}

TEST_CASE("snapping keeps grid prices and rounds off-grid ones up within their band") {
    struct Case { const char* code; double price; double snapped; std::int64_t tick; };
    for (const Case& k : {Case{"2330", 10.0, 10.0, 5}, Case{"2330", 1000.0, 1000.0, 500},
                          Case{"2330", 999.2, 1000.0, 100}, Case{"0050", 49.991, 50.0, 1},
                          Case{"0050", 120.02, 120.05, 5}, Case{"0050", 1000.0, 1000.0, 5},
                          Case{"2330", 4.13, 4.13, 1}, Case{"2330", 1.1, 1.1, 1}, Case{"2330", 0.29, 0.29, 1},
                          Case{"2330", 1002.0, 1005.0, 500}, Case{"2330", -0.004, 0.0, 1}}) {
        CAPTURE(k.code);
        CAPTURE(k.price);
        const GridSnap s = ceil_to_grid(k.code, k.price);
        CHECK(cents_to_price(s.cents) == k.snapped);
        CHECK(s.tick_cents == k.tick);
    }
}

TEST_CASE("zero or negative tick counts leave an off-grid price alone") {
    CHECK(slip_price("2330", 12.34, 0, true) == 12.34);
    CHECK(slip_price("2330", 12.34, -2, false) == 12.34);
    CHECK(slip_price("2330", 12.34, 1, false) == 12.3);  // snapped up to 12.35 first
}

TEST_CASE("prices no grid can hold are refused") {
    CHECK_THROWS_AS(ceil_to_grid("2330", 0.0 / 0.0), std::domain_error);
    CHECK_THROWS_AS(ceil_to_grid("2330", 1e300), std::overflow_error);
}

namespace {

// One grid step at a time, as the walk is defined; the closed form must agree with it.
double stepwise(const std::string& code, double price, std::int64_t ticks, bool up) {
    if (ticks <= 0) return price;
    const bool fund = is_fund_code(code);
    const GridSnap first = ceil_to_grid(code, price);
    std::int64_t cents = first.cents, step = first.tick_cents;
    for (std::int64_t i = 0; i < ticks; ++i) {
        if (i > 0) step = band_tick_cents(fund, cents);
        if (!up && cents <= kLowestGridCents) break;
        cents = std::max(kLowestGridCents, ceil_cents_to_grid(fund, up ? cents + step : cents - step));
    }
    return cents_to_price(cents);
}

}  // namespace

TEST_CASE("the walk worked out band by band equals the walk taken one step at a time") {
    for (const std::string code : {"2330", "0050"})
        for (double start : {0.01, 0.02, 4.1, 9.99, 10.0, 12.34, 49.99, 50.05, 99.9, 499.5, 999.2, 1000.0, 1234.0})
            for (std::int64_t ticks : {1, 2, 3, 7, 40, 333, 2500})
                for (bool up : {true, false}) {
                    CAPTURE(code);
                    CAPTURE(start);
                    CAPTURE(ticks);
                    CAPTURE(up);
                    CHECK(slip_price(code, start, ticks, up) == stepwise(code, start, ticks, up));
                }
}

TEST_CASE("a huge tick count is worked out at once and stays on the grid") {
    CHECK(slip_price("2330", 100.0, 10000000000000LL, false) == 0.01);
    CHECK(slip_price("2330", 0.01, 5, false) == 0.01);
    CHECK(slip_price("2330", 1000.0, 1000000000LL, true) == 1000.0 + 5.0 * 1000000000.0);
    CHECK_THROWS_AS(slip_price("2330", 100.0, 10000000000000LL, true), std::overflow_error);
    CHECK_THROWS_AS(slip_price("2330", 100.0, INT64_MAX, true), std::overflow_error);
}
