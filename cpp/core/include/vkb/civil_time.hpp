#pragma once
// Calendar arithmetic on epoch seconds at a fixed UTC offset (the exchange clock).
#include <cstdint>
#include <string>

namespace vkb {

struct CivilDateTime {
    int year, month, day, hour, minute, second, microsecond;
};

// Days since 1970-01-01 for a proleptic Gregorian date.
std::int64_t days_from_civil(int year, int month, int day);
void civil_from_days(std::int64_t days, int& year, int& month, int& day);
// 0 = Monday ... 6 = Sunday.
int weekday_from_days(std::int64_t days);

// Epoch seconds (fractional part carried as microseconds) to the wall clock at utc_offset_hours.
CivilDateTime to_civil(double epoch_seconds, int utc_offset_hours);
// Microseconds since the epoch of the wall clock (naive, as if UTC) at utc_offset_hours.
// Throws std::domain_error, quoting the value, for NaN or a time whose microseconds leave 64 bits.
std::int64_t to_wall_micros(double epoch_seconds, int utc_offset_hours);
// Whether the wall clock at utc_offset_hours falls in the years 1 to 9999 (false for NaN).
bool wall_clock_in_range(double epoch_seconds, int utc_offset_hours);
// Epoch seconds of a broker's nanosecond stamp, which is the wall clock written as if it were UTC.
// Computed as ns / 1e9 minus whole offset seconds, so every caller gets the same bits.
inline double wall_ns_to_epoch_seconds(std::int64_t wall_ns, int utc_offset_hours) {
    return static_cast<double>(wall_ns) / 1e9 - static_cast<double>(std::int64_t{utc_offset_hours} * 3600);
}

std::string format_date(int year, int month, int day);            // %Y-%m-%d
std::string format_datetime(const CivilDateTime& t, bool micros);   // %Y-%m-%d %H:%M:%S[.%f]

}  // namespace vkb
