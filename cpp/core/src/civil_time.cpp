#include "vkb/civil_time.hpp"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace vkb {

// Howard Hinnant's days-from-civil algorithm.
std::int64_t days_from_civil(int y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

int weekday_from_days(std::int64_t days) {
    // 1970-01-01 was a Thursday (3).
    return static_cast<int>(((days % 7) + 7 + 3) % 7);
}

namespace {

// Wall-clock seconds of 0001-01-01 00:00:00 and of 10000-01-01 00:00:00.
constexpr double kFirstWallSecond = -62135596800.0;
constexpr double kEndWallSecond = 253402300800.0;
// Beyond this many seconds the microseconds no longer fit in 64 bits.
constexpr double kMaxMicrosSeconds = 9.2e12;

std::string number_text(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", value);
    return buf;
}

}  // namespace

bool wall_clock_in_range(double epoch_seconds, int utc_offset_hours) {
    const double wall = epoch_seconds + utc_offset_hours * 3600.0;
    return wall >= kFirstWallSecond && wall < kEndWallSecond;
}

std::int64_t to_wall_micros(double epoch_seconds, int utc_offset_hours) {
    if (!(std::fabs(epoch_seconds) < kMaxMicrosSeconds))
        throw std::domain_error("timestamp out of range: " + number_text(epoch_seconds));
    const double whole = std::floor(epoch_seconds);
    auto micros = static_cast<std::int64_t>(std::llround((epoch_seconds - whole) * 1e6));
    auto secs = static_cast<std::int64_t>(whole) + std::int64_t{utc_offset_hours} * 3600;
    return secs * 1000000 + micros;
}

CivilDateTime to_civil(double epoch_seconds, int utc_offset_hours) {
    const std::int64_t wall = to_wall_micros(epoch_seconds, utc_offset_hours);
    std::int64_t secs = wall >= 0 ? wall / 1000000 : -((-wall + 999999) / 1000000);
    const int micros = static_cast<int>(wall - secs * 1000000);
    std::int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
    const std::int64_t sod = secs - days * 86400;
    CivilDateTime t{};
    civil_from_days(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(sod / 3600);
    t.minute = static_cast<int>(sod % 3600 / 60);
    t.second = static_cast<int>(sod % 60);
    t.microsecond = micros;
    return t;
}

std::string format_date(int year, int month, int day) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", year, month, day);
    return buf;
}

std::string format_datetime(const CivilDateTime& t, bool micros) {
    char buf[40];
    if (micros)
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%06d", t.year, t.month, t.day,
                      t.hour, t.minute, t.second, t.microsecond);
    else
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                      t.hour, t.minute, t.second);
    return buf;
}

}  // namespace vkb
