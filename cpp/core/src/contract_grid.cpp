#include "vkb/contract_grid.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "vkb/contract_terms.hpp"
#include "vkb/price_grid.hpp"
#include "vkb/session_calendar.hpp"

namespace vkb {

namespace {

// Lifts 49.999999999 into the band of 50, as a price computed in binary sits a hair off its bound.
constexpr double kBandTolerance = 1e-9;
// Distance in ticks below which a price counts as lying on the grid.
constexpr double kOnGridTolerance = 1e-6;

// price / tick for a tick in hundredths, exact for the whole and unit-fraction ticks the grids use.
double in_ticks(double price, std::int64_t tick_cents) {
    if (100 % tick_cents == 0) return price * static_cast<double>(100 / tick_cents);
    if (tick_cents % 100 == 0) return price / static_cast<double>(tick_cents / 100);
    return price * 100.0 / static_cast<double>(tick_cents);
}

}  // namespace

ContractGrid ContractGrid::for_stock(std::string_view code) { return {is_fund_code(code), 0}; }

ContractGrid ContractGrid::for_futures(double tick) {
    const double cents = std::nearbyint(tick * 100.0);
    if (!(tick > 0.0) || !std::isfinite(tick) || std::fabs(tick * 100.0 - cents) > 1e-9 || cents > 1e9)
        throw std::invalid_argument(std::to_string(tick));
    return {false, static_cast<std::int64_t>(cents)};
}

ContractGrid ContractGrid::for_code(std::string_view code, ProductType market) {
    return market == ProductType::Stock ? for_stock(code) : for_futures(futures_tick_of(code));
}

std::int64_t ContractGrid::tick_cents_at(double price) const {
    return fixed_tick_cents_ ? fixed_tick_cents_ : band_tick_cents(fund_, price + kBandTolerance);
}

std::int64_t ContractGrid::tick_cents_below(double price) const {
    return fixed_tick_cents_ ? fixed_tick_cents_ : band_tick_cents(fund_, price - kBandTolerance);
}

std::int64_t ContractGrid::nearest_cents(double price) const {
    const std::int64_t tick = tick_cents_at(price);
    return static_cast<std::int64_t>(std::nearbyint(in_ticks(price, tick))) * tick;
}

bool ContractGrid::on_grid(double price) const {
    const double steps = in_ticks(price, tick_cents_at(price));
    return std::fabs(steps - std::nearbyint(steps)) < kOnGridTolerance;
}

std::pair<std::int64_t, std::int64_t> ContractGrid::neighbours_cents(double price) const {
    const std::int64_t tick = tick_cents_at(price);
    // Every band bound is a multiple of the ticks on both its sides, so one step of the price's own
    // band from the point below reaches the next grid point.
    const std::int64_t below = static_cast<std::int64_t>(std::floor(in_ticks(price, tick) + kOnGridTolerance)) * tick;
    return {below, below + tick};
}

std::int64_t ContractGrid::floor_cents(std::int64_t cents) const {
    const std::int64_t tick = fixed_tick_cents_ ? fixed_tick_cents_ : band_tick_cents(fund_, cents);
    return floor_to(cents, tick);
}

std::int64_t ContractGrid::ceil_cents(std::int64_t cents) const {
    const std::int64_t tick = fixed_tick_cents_ ? fixed_tick_cents_ : band_tick_cents(fund_, cents);
    return -floor_to(-cents, tick);
}

}  // namespace vkb
