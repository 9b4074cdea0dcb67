#pragma once
// One row of a cached tick day, as the broker gives it (nanosecond exchange time).
#include <cstdint>

namespace vkb {

struct TickRow {
    std::int64_t ts_ns = 0;
    double close = 0.0;
    std::int64_t volume = 0;
    double bid_price = 0.0;
    std::int64_t bid_volume = 0;
    double ask_price = 0.0;
    std::int64_t ask_volume = 0;
    std::int64_t tick_type = 0;
};

}  // namespace vkb
