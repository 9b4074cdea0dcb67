#pragma once
// The replayed columns of a combined tick frame, kept as arrays until a record is handed out.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vkb {

struct TickBatch {
    std::vector<std::int64_t> ts_ns;
    std::vector<double> close;
    std::vector<std::int64_t> volume;
    std::vector<std::int64_t> tick_type;
    std::vector<std::uint32_t> code_index;  // into codes / markets
    std::vector<std::string> codes;
    std::vector<std::string> markets;
    int utc_offset_hours = 8;

    std::size_t size() const { return ts_ns.size(); }

    // Same arithmetic as the Python helper (int / 1e9, minus whole seconds), so equal bit for bit.
    double timestamp(std::size_t row) const {
        return static_cast<double>(ts_ns[row]) / 1e9 -
               static_cast<double>(std::int64_t{utc_offset_hours} * 3600);
    }
};

}  // namespace vkb
