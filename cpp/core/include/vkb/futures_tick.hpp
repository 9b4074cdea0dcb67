#pragma once
// Futures prices move in whole ticks of the contract's own tick size (1 point for TXF, 0.05 for
// EXF, 0.2 for FXF), with no snap onto the stock grid.
#include <cstdint>

namespace vkb {

// Moves a price tick_count ticks up or down. A walk down stops at the lowest price one tick or
// more above zero that the walk can reach; tick_count <= 0 returns the price untouched. Prices
// and ticks in whole hundredths are walked in exact integer hundredths.
// Throws std::domain_error for a tick size that is not a positive number, std::overflow_error
// when the walk leaves the range of prices the grid accepts.
double slip_futures_price(double price, std::int64_t tick_count, bool up, double tick_size);

}  // namespace vkb
