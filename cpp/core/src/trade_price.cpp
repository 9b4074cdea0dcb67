#include "vkb/trade_price.hpp"

#include <algorithm>

namespace vkb {

std::optional<std::size_t> first_bad_trade_price(std::span<const double> prices) {
    const auto bad = std::find_if_not(prices.begin(), prices.end(), is_trade_price);
    if (bad == prices.end()) return std::nullopt;
    return static_cast<std::size_t>(bad - prices.begin());
}

}  // namespace vkb
