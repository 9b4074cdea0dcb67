#pragma once
// Text of an epoch timestamp on the exchange clock, refusing what a calendar cannot hold.
#include <string>

namespace vkb {

// "%Y-%m-%d %H:%M:%S.%f" at utc_offset_hours. Throws std::domain_error for NaN or a year outside
// 1..9999, std::overflow_error for a timestamp no 64-bit clock holds.
std::string format_exchange_datetime(double epoch_seconds, int utc_offset_hours);
// "%Y-%m-%d" of the same clock, with the same refusals.
std::string format_exchange_date(double epoch_seconds, int utc_offset_hours);

}  // namespace vkb
