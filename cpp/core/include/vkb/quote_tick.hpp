#pragma once
// One buffered tick of a code: 32 bytes, the code itself is kept once per code.
#include <cstdint>

#include "records/product_type.hpp"

namespace vkb {

struct QuoteTick {
    std::int64_t dt_us = 0;  // naive exchange wall clock, microseconds since 1970-01-01
    double close = 0.0;
    std::int64_t qty = 0;
    std::int8_t tick_type = 0;
    bool is_simulate = false;
    bool is_virtual = false;
    ProductType market = ProductType::Stock;
};

static_assert(sizeof(QuoteTick) <= 32);

}  // namespace vkb
