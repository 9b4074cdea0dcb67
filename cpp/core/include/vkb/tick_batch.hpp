#pragma once
// The replayed columns of a combined tick frame, kept as arrays until a record is handed out.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vkb/civil_time.hpp"

namespace vkb {

// A tick carries a quote when at least one side is priced; a missing side is NaN.
inline bool carries_quote(double bid_price, double ask_price) {
    return !(std::isnan(bid_price) && std::isnan(ask_price));
}

struct TickBatch {
    std::vector<std::int64_t> ts_ns;
    std::vector<double> close;
    std::vector<std::int64_t> volume;
    std::vector<double> bid_price, ask_price;  // NaN where the quote is missing
    std::vector<std::int64_t> bid_volume, ask_volume;  // the quoted sizes, 0 where missing
    std::vector<std::int64_t> tick_type;
    std::vector<std::uint32_t> code_index;  // into codes / markets
    std::vector<std::string> codes;
    std::vector<std::string> markets;
    int utc_offset_hours = 8;

    std::size_t size() const { return ts_ns.size(); }

    double timestamp(std::size_t row) const { return wall_ns_to_epoch_seconds(ts_ns[row], utc_offset_hours); }
};

}  // namespace vkb
