#include "vkb/daily_band.hpp"

namespace vkb {

namespace {

// Room for an edge computed in binary: a limit exactly on the band is never refused by rounding.
constexpr double kRoom = 1e-9;

}  // namespace

void DailyBands::observe(std::string_view code, std::int64_t day, double close) {
    const auto found = seen_.find(std::string(code));
    if (found == seen_.end()) {
        seen_.emplace(std::string(code), Seen{day, close, std::nullopt});
        return;
    }
    Seen& seen = found->second;
    if (seen.day != day) seen.previous = seen.close;
    seen.day = day;
    seen.close = close;
}

std::optional<std::pair<double, double>> DailyBands::band(std::string_view code) const {
    const auto found = seen_.find(std::string(code));
    if (found == seen_.end() || !found->second.previous) return std::nullopt;
    const double previous = *found->second.previous;
    return std::make_pair(previous * (1 - kDailyLimit), previous * (1 + kDailyLimit));
}

std::optional<std::pair<double, double>> DailyBands::outside(std::string_view code, double price) const {
    const auto band_now = band(code);
    if (!band_now || (band_now->first * (1 - kRoom) <= price && price <= band_now->second * (1 + kRoom)))
        return std::nullopt;
    return band_now;
}

}  // namespace vkb
