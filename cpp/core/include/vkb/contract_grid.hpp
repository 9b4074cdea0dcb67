#pragma once
// The price grid of one contract for quoting and generating prices: stock and fund codes follow the
// exchange's bands (price_grid.hpp), a futures family moves by one fixed tick over its whole range.
#include <cstdint>
#include <string_view>
#include <utility>

#include "records/product_type.hpp"

namespace vkb {

class ContractGrid {
public:
    static ContractGrid for_stock(std::string_view code);
    // Throws std::invalid_argument unless the tick is a positive whole number of hundredths.
    static ContractGrid for_futures(double tick);
    // A stock's bands, or the fixed tick of a futures code's family (contract_terms.hpp).
    static ContractGrid for_code(std::string_view code, ProductType market);

    bool is_fund() const { return fund_; }
    // 0 for banded (stock) grids.
    std::int64_t fixed_tick_cents() const { return fixed_tick_cents_; }

    // Tick of the band holding a price; a price on a band bound, or within rounding noise below
    // it, belongs to the upper band.
    std::int64_t tick_cents_at(double price) const;
    // Distance to the next lower grid price: at a band bound, the lower band's tick.
    std::int64_t tick_cents_below(double price) const;
    // Nearest grid point in hundredths (halves to even), using the tick of the price's band.
    std::int64_t nearest_cents(double price) const;
    bool on_grid(double price) const;
    // The grid points either side of a price, in hundredths: the highest at or below it and the
    // lowest above it (an on-grid price is its own lower neighbour).
    std::pair<std::int64_t, std::int64_t> neighbours_cents(double price) const;
    // The highest grid point at or below / the lowest at or above an exact amount in hundredths, on the
    // tick of the band holding it (every band bound is a multiple of the ticks on both its sides).
    std::int64_t floor_cents(std::int64_t cents) const;
    std::int64_t ceil_cents(std::int64_t cents) const;

private:
    ContractGrid(bool fund, std::int64_t fixed_tick_cents) : fund_(fund), fixed_tick_cents_(fixed_tick_cents) {}

    bool fund_;
    std::int64_t fixed_tick_cents_;
};

}  // namespace vkb
