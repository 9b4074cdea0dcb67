#pragma once
// The exchange holiday table: a CSV file with a header row whose "Date" column holds "%Y-%m-%d".
#include <cstdint>
#include <istream>
#include <vector>

namespace vkb {

inline constexpr const char* kHolidayFileName = "holidays_search_from_2017.csv";

// Days since 1970-01-01 of each row's "Date", in file order. Throws std::invalid_argument naming the
// header or row that cannot be read.
std::vector<std::int64_t> parse_holiday_table(std::istream& in);

}  // namespace vkb
