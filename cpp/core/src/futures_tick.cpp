#include "vkb/futures_tick.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "vkb/price_grid.hpp"

namespace vkb {

namespace {

constexpr std::int64_t kMaxCents = static_cast<std::int64_t>(kMaxAbsPrice * 100);

// A value that sits on whole hundredths, within binary rounding noise, as that many hundredths.
std::optional<std::int64_t> exact_cents(double value) {
    const double scaled = value * 100.0;
    const double nearest = std::nearbyint(scaled);
    if (std::fabs(scaled - nearest) > 1e-9 * std::fmax(1.0, std::fabs(scaled))) return std::nullopt;
    return static_cast<std::int64_t>(nearest);
}

std::int64_t walk(std::int64_t cents, std::int64_t steps, bool up, std::int64_t tick) {
    if (up) {
        if (steps > (kMaxCents - cents) / tick) throw std::overflow_error("price after slippage out of range");
        return cents + steps * tick;
    }
    if (cents <= tick) return cents;
    return cents - std::min(steps, (cents - tick) / tick) * tick;
}

}  // namespace

double slip_futures_price(double price, std::int64_t tick_count, bool up, double tick_size) {
    if (!(tick_size > 0.0) || !std::isfinite(tick_size)) throw std::domain_error("tick size must be positive");
    if (tick_count <= 0) return price;
    if (!(std::fabs(price) <= kMaxAbsPrice)) throw std::overflow_error("price out of range");
    const auto tick = exact_cents(tick_size);
    const auto cents = exact_cents(price);
    if (tick && *tick > 0 && cents) return cents_to_price(walk(*cents, tick_count, up, *tick));
    // Off the hundredths: the same walk in binary floating point.
    if (up) {
        const double moved = price + static_cast<double>(tick_count) * tick_size;
        if (!(moved <= kMaxAbsPrice)) throw std::overflow_error("price after slippage out of range");
        return moved;
    }
    if (price <= tick_size) return price;
    const double room = std::floor((price - tick_size) / tick_size);
    return price - std::fmin(static_cast<double>(tick_count), room) * tick_size;
}

}  // namespace vkb
