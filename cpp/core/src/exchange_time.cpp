#include "vkb/exchange_time.hpp"

#include <cmath>
#include <stdexcept>

namespace vkb {

namespace {
// About year 33658; microseconds since the epoch stay far inside 64 bits below it.
constexpr double kWholeSecondsOnly = 1e12;
}  // namespace

CivilDateTime exchange_civil(double epoch_seconds, int utc_offset_hours) {
    if (std::isnan(epoch_seconds)) throw std::domain_error("Invalid value NaN (not a number)");
    if (!(std::fabs(epoch_seconds) < 1e17)) throw std::overflow_error("timestamp out of range for platform time_t");
    // Far outside 1..9999 the microsecond clock would overflow: only the year is worked out.
    if (std::fabs(epoch_seconds) > kWholeSecondsOnly) {
        int year = 0, month = 0, day = 0;
        const auto seconds = static_cast<std::int64_t>(epoch_seconds) + std::int64_t{utc_offset_hours} * 3600;
        civil_from_days(seconds / 86400, year, month, day);
        throw std::domain_error("year " + std::to_string(year) + " is out of range");
    }
    const CivilDateTime t = to_civil(epoch_seconds, utc_offset_hours);
    if (t.year < 1 || t.year > 9999) throw std::domain_error("year " + std::to_string(t.year) + " is out of range");
    return t;
}

std::string format_exchange_datetime(double epoch_seconds, int utc_offset_hours) {
    return format_datetime(exchange_civil(epoch_seconds, utc_offset_hours), true);
}

std::string format_exchange_date(double epoch_seconds, int utc_offset_hours) {
    const CivilDateTime t = exchange_civil(epoch_seconds, utc_offset_hours);
    return format_date(t.year, t.month, t.day);
}

void exchange_wall_micros(std::span<const double> epoch_seconds, int utc_offset_hours, std::int64_t* out) {
    for (std::size_t i = 0; i < epoch_seconds.size(); ++i) {
        try {
            exchange_civil(epoch_seconds[i], utc_offset_hours);
            out[i] = to_wall_micros(epoch_seconds[i], utc_offset_hours);
        } catch (const std::exception&) {
            out[i] = kNotATime;
        }
    }
}

}  // namespace vkb
