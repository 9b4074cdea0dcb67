#pragma once
// What a trade price must be before any tick carrying it is cached, replayed or marked into equity.
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>

namespace vkb {

// A trade happened at a finite price above 0; a 0, a negative or a NaN is a bad row of its source.
inline bool is_trade_price(double price) { return std::isfinite(price) && price > 0.0; }

// Index of the first price that is not a trade price, if any.
std::optional<std::size_t> first_bad_trade_price(std::span<const double> prices);

}  // namespace vkb
