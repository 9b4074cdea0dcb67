#include "vkb/price_grid.hpp"

#include <algorithm>
#include <cmath>
#include <array>
#include <limits>
#include <span>
#include <stdexcept>

namespace vkb {

namespace {

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

namespace {

// Exclusive upper bound of the band holding `cents`; every bound is a multiple of the ticks on
// both of its sides, so a walk that reaches it stands on the next band's grid.
constexpr std::array<std::int64_t, 2> kFundBounds{5000, 100000};
constexpr std::array<std::int64_t, 5> kStockBounds{1000, 5000, 10000, 50000, 100000};

std::span<const std::int64_t> band_bounds(bool fund) {
    if (fund) return kFundBounds;
    return kStockBounds;
}

std::int64_t band_upper_cents(bool fund, std::int64_t cents) {
    for (const std::int64_t bound : band_bounds(fund))
        if (cents < bound) return bound;
    return std::numeric_limits<std::int64_t>::max();
}

// Inclusive lower bound of the band holding `cents` (the lowest band reaches down to one cent).
std::int64_t band_lower_cents(bool fund, std::int64_t cents) {
    std::int64_t lower = kLowestGridCents;
    for (const std::int64_t bound : band_bounds(fund))
        if (cents >= bound) lower = bound;
    return lower;
}

constexpr std::int64_t kMaxGridCents = static_cast<std::int64_t>(kMaxAbsPrice * 100);

// Walks a grid price up band by band: inside a band every step is that band's tick.
std::int64_t walk_up(bool fund, std::int64_t cents, std::int64_t steps) {
    while (steps > 0) {
        const std::int64_t tick = band_tick_cents(fund, cents);
        const std::int64_t upper = std::min(band_upper_cents(fund, cents), kMaxGridCents + tick);
        const std::int64_t to_bound = (upper - cents) / tick;
        if (steps < to_bound) return cents + steps * tick;
        if (upper > kMaxGridCents) throw std::overflow_error("price after slippage out of range");
        cents += to_bound * tick;
        steps -= to_bound;
    }
    return cents;
}

// Walks a grid price down band by band, stopping at the lowest grid price. A step down from a
// band's lower bound still takes that band's tick (10.00 -> 9.95).
std::int64_t walk_down(bool fund, std::int64_t cents, std::int64_t steps) {
    while (steps > 0 && cents > kLowestGridCents) {
        const std::int64_t tick = band_tick_cents(fund, cents);
        const std::int64_t lower = band_lower_cents(fund, cents);
        if (lower == kLowestGridCents) return std::max(kLowestGridCents, cents - std::min(steps, cents) * tick);
        const std::int64_t to_leave = (cents - lower) / tick + 1;
        if (steps < to_leave) return cents - steps * tick;
        cents = lower - tick;
        steps -= to_leave;
    }
    return cents;
}

}  // namespace

double slip_price(std::string_view code, double price, std::int64_t tick_count, bool up) {
    if (tick_count <= 0) return price;
    const bool fund = is_fund_code(code);
    // The first step takes the tick of the band the raw price fell in, then lands on the grid.
    const GridSnap first = ceil_to_grid(code, price);
    if (!up && first.cents <= kLowestGridCents) return cents_to_price(first.cents);
    std::int64_t cents = ceil_cents_to_grid(fund, up ? first.cents + first.tick_cents : first.cents - first.tick_cents);
    if (!up) cents = std::max(cents, kLowestGridCents);
    return cents_to_price(up ? walk_up(fund, cents, tick_count - 1) : walk_down(fund, cents, tick_count - 1));
}

}  // namespace vkb
