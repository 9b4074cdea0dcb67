#pragma once
// The replay driver's way into a QuoteManager: ticks given as values, no record needed.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "records/product_type.hpp"
#include "vkb/quote_desk.hpp"

namespace vkb::py {

// What a caller feeding one code again and again keeps of the code's buffer (clear_ticks voids it).
using QuoteEntryHint = vkb::EntryHint;

struct QuoteValues {
    std::string_view code, market;
    std::optional<ProductType> market_type;  // `market` parsed, when the caller already did
    QuoteEntryHint* hint = nullptr;
    double timestamp = 0.0, close = 0.0;
    std::int64_t qty = 0, tick_type = 0;
    bool is_simulate = false;
    int utc_offset_hours = 8;
};

// The QuoteManager behind a Python object; nullptr when it is not one.
void* quote_manager_of(nanobind::handle quotes);

// add_tick of a tick given as values (checked like a record's); returns the closed bars not yet taken.
std::size_t feed_quote_values(void* quotes, const QuoteValues& tick);

}  // namespace vkb::py
