#include "vkb/price_grid.hpp"

#include <cmath>
#include <stdexcept>

namespace vkb {

namespace {

// Far beyond any exchange price, and keeps cents * tick arithmetic inside 64 bits.
constexpr double kMaxAbsPrice = 1e13;
// Relative distance below which a scaled price counts as sitting on a grid point.
constexpr double kSnapTolerance = 1e-12;

std::int64_t ceil_div(std::int64_t a, std::int64_t b) {
    return a >= 0 ? (a + b - 1) / b : -((-a) / b);
}

std::int64_t tolerant_ceil(double q) {
    const double nearest = std::nearbyint(q);
    if (std::fabs(q - nearest) <= kSnapTolerance * std::fmax(1.0, std::fabs(q)))
        return static_cast<std::int64_t>(nearest);
    return static_cast<std::int64_t>(std::ceil(q));
}

}  // namespace

bool is_fund_code(std::string_view code) { return code.starts_with("00"); }

std::int64_t band_tick_cents(bool fund, double price) {
    if (fund) return price < 50.0 ? 1 : 5;
    if (price < 10.0) return 1;
    if (price < 50.0) return 5;
    if (price < 100.0) return 10;
    if (price < 500.0) return 50;
    if (price < 1000.0) return 100;
    return 500;
}

std::int64_t band_tick_cents(bool fund, std::int64_t cents) {
    if (fund) return cents < 5000 ? 1 : 5;
    if (cents < 1000) return 1;
    if (cents < 5000) return 5;
    if (cents < 10000) return 10;
    if (cents < 50000) return 50;
    if (cents < 100000) return 100;
    return 500;
}

GridSnap ceil_to_grid(std::string_view code, double price) {
    if (std::isnan(price)) throw std::domain_error("cannot convert float NaN to integer");
    if (!(std::fabs(price) <= kMaxAbsPrice)) throw std::overflow_error("cannot convert float infinity to integer");
    const std::int64_t tick = band_tick_cents(is_fund_code(code), price);
    // Scale as price * (ticks per unit) for sub-unit ticks and price / tick otherwise.
    const double scaled = tick <= 100 ? price * static_cast<double>(100 / tick)
                                      : price / static_cast<double>(tick / 100);
    return {tolerant_ceil(scaled) * tick, tick};
}

std::int64_t ceil_cents_to_grid(bool fund, std::int64_t cents) {
    const std::int64_t tick = band_tick_cents(fund, cents);
    return ceil_div(cents, tick) * tick;
}

double slip_price(std::string_view code, double price, std::int64_t tick_count, bool up) {
    if (tick_count <= 0) return price;
    const bool fund = is_fund_code(code);
    const GridSnap first = ceil_to_grid(code, price);
    std::int64_t cents = first.cents;
    std::int64_t step = first.tick_cents;
    for (std::int64_t i = 0; i < tick_count; ++i) {
        if (i > 0) step = band_tick_cents(fund, cents);
        cents = ceil_cents_to_grid(fund, up ? cents + step : cents - step);
    }
    return cents_to_price(cents);
}

}  // namespace vkb
