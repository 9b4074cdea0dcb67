#pragma once
// Text of an epoch timestamp on the exchange clock, refusing what a calendar cannot hold.
#include <cstdint>
#include <limits>
#include <span>
#include <string>

#include "vkb/civil_time.hpp"

namespace vkb {

// The exchanges' clock, Asia/Taipei: UTC+8 all year, no daylight saving.
inline constexpr int kExchangeUtcOffsetHours = 8;
// numpy's NaT, for a stamp no calendar holds.
inline constexpr std::int64_t kNotATime = std::numeric_limits<std::int64_t>::min();

// The wall clock at utc_offset_hours of an epoch timestamp. Throws std::domain_error for NaN or a
// year outside 1..9999, std::overflow_error for a timestamp no 64-bit clock holds.
CivilDateTime exchange_civil(double epoch_seconds, int utc_offset_hours);
// "%Y-%m-%d %H:%M:%S.%f" at utc_offset_hours. Throws std::domain_error for NaN or a year outside
// 1..9999, std::overflow_error for a timestamp no 64-bit clock holds.
std::string format_exchange_datetime(double epoch_seconds, int utc_offset_hours);
// "%Y-%m-%d" of the same clock, with the same refusals.
std::string format_exchange_date(double epoch_seconds, int utc_offset_hours);
// Wall-clock microseconds (as to_wall_micros) of each stamp into `out`, of the same length; kNotATime
// where exchange_civil refuses the stamp.
void exchange_wall_micros(std::span<const double> epoch_seconds, int utc_offset_hours, std::int64_t* out);

}  // namespace vkb
