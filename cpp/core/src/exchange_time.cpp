#include "vkb/exchange_time.hpp"

#include <cmath>
#include <stdexcept>

#include "vkb/civil_time.hpp"

namespace vkb {

namespace {

CivilDateTime checked_civil(double epoch_seconds, int utc_offset_hours) {
    if (std::isnan(epoch_seconds)) throw std::domain_error("Invalid value NaN (not a number)");
    if (!(std::fabs(epoch_seconds) < 1e17)) throw std::overflow_error("timestamp out of range for platform time_t");
    const CivilDateTime t = to_civil(epoch_seconds, utc_offset_hours);
    if (t.year < 1 || t.year > 9999) throw std::domain_error("year " + std::to_string(t.year) + " is out of range");
    return t;
}

}  // namespace

std::string format_exchange_datetime(double epoch_seconds, int utc_offset_hours) {
    return format_datetime(checked_civil(epoch_seconds, utc_offset_hours), true);
}

std::string format_exchange_date(double epoch_seconds, int utc_offset_hours) {
    const CivilDateTime t = checked_civil(epoch_seconds, utc_offset_hours);
    return format_date(t.year, t.month, t.day);
}

}  // namespace vkb
