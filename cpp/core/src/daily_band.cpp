#include "vkb/daily_band.hpp"

#include <cmath>

#include "vkb/price_grid.hpp"
#include "vkb/session_calendar.hpp"

namespace vkb {

namespace {

// Room for a limit written in decimal and compared in binary.
constexpr double kRoom = 1e-9;

}  // namespace

std::pair<double, double> daily_band(const ContractGrid& grid, double reference) {
    // In whole hundredths the limits are exact: reference x 110 / 100 floored, x 90 / 100 ceiled.
    const auto cents = static_cast<std::int64_t>(std::llround(reference * 100.0));
    const std::int64_t up = floor_div(cents * (100 + kDailyLimitPercent), 100);
    const std::int64_t down = -floor_div(-cents * (100 - kDailyLimitPercent), 100);
    return {cents_to_price(grid.ceil_cents(down)), cents_to_price(grid.floor_cents(up))};
}

bool sets_band_reference(ProductType market, std::int64_t second_of_day) {
    return market == ProductType::Stock ||
           (kFuturesDayOpenSecond <= second_of_day && second_of_day <= kFuturesDayCloseSecond);
}

void DailyBands::observe(std::string_view code, ProductType market, const ContractGrid& grid, std::int64_t wall_us,
                         double price) {
    auto found = seen_.find(std::string(code));
    if (found == seen_.end()) found = seen_.emplace(std::string(code), Seen{grid, 0, std::nullopt, std::nullopt}).first;
    Seen& seen = found->second;
    const std::int64_t day = floor_div(wall_us, kMicrosPerDay);
    const bool sets_reference = sets_band_reference(market, second_of_day(wall_us));
    // A trade past the reference-setting session (a later day's, or a futures night trade) trades in the band
    // of the session's last trade.
    if (seen.last && (!sets_reference || seen.day != day)) seen.band = daily_band(seen.grid, *seen.last);
    if (sets_reference) {
        seen.day = day;
        seen.last = price;
    }
}

std::optional<std::pair<double, double>> DailyBands::band(std::string_view code) const {
    const auto found = seen_.find(std::string(code));
    if (found == seen_.end()) return std::nullopt;
    return found->second.band;
}

std::optional<std::pair<double, double>> DailyBands::outside(std::string_view code, double price) const {
    const auto band_now = band(code);
    if (!band_now || (band_now->first - kRoom <= price && price <= band_now->second + kRoom)) return std::nullopt;
    return band_now;
}

}  // namespace vkb
