#include "vkb/bar_rule.hpp"

#include <stdexcept>

#include "vkb/civil_time.hpp"

namespace vkb {

std::optional<BarUnit> parse_bar_unit(std::string_view text) {
    if (text == "m") return BarUnit::Minute;
    if (text == "h") return BarUnit::Hour;
    if (text == "d") return BarUnit::Day;
    if (text == "w") return BarUnit::Week;
    if (text == "mo") return BarUnit::Month;
    if (text == "q") return BarUnit::Quarter;
    if (text == "y") return BarUnit::Year;
    return std::nullopt;
}

std::string_view to_string(BarUnit unit) {
    switch (unit) {
        case BarUnit::Minute: return "m";
        case BarUnit::Hour: return "h";
        case BarUnit::Day: return "d";
        case BarUnit::Week: return "w";
        case BarUnit::Month: return "mo";
        case BarUnit::Quarter: return "q";
        case BarUnit::Year: return "y";
    }
    return "m";
}

std::int64_t max_bar_freq(BarUnit unit) {
    constexpr std::int64_t kDays = 3'660'000;
    switch (unit) {
        case BarUnit::Minute: return kDays * 24 * 60;
        case BarUnit::Hour: return kDays * 24;
        case BarUnit::Day: return kDays;
        case BarUnit::Week: return kDays / 7;
        case BarUnit::Month: return 120'000;
        case BarUnit::Quarter: return 40'000;
        case BarUnit::Year: return 10'000;
    }
    return 0;
}

std::string too_long_bar_message(BarUnit unit, std::string_view shown) {
    return "K 棒長度超過上限 (最長 " + std::to_string(max_bar_freq(unit)) + std::string(to_string(unit)) +
           ", 即一萬年): " + std::string(shown);
}

BarRule checked_bar_rule(BarUnit unit, std::int64_t freq) {
    if (freq < 1) throw std::invalid_argument("'freq' must be a positive integer");
    if (freq > max_bar_freq(unit)) throw std::invalid_argument(too_long_bar_message(unit, std::to_string(freq)));
    return BarRule{unit, freq};
}

namespace {

// 1970-01-05 was the first Monday after the epoch.
constexpr std::int64_t kFirstMonday = 4;

std::int64_t session_anchor(ProductType market, std::int64_t wall_us) {
    const std::int64_t days = floor_div(wall_us, kMicrosPerDay);
    const std::int64_t second = (wall_us - days * kMicrosPerDay) / kMicrosPerSecond;
    if (market == ProductType::Stock) return days * kMicrosPerDay + 9 * kMicrosPerHour;
    if (second >= kNightStartSecond) return days * kMicrosPerDay + kNightStartSecond * kMicrosPerSecond;
    if (in_night_tail(second)) return (days - 1) * kMicrosPerDay + kNightStartSecond * kMicrosPerSecond;
    return days * kMicrosPerDay + 8 * kMicrosPerHour + 45 * kMicrosPerMinute;
}

std::int64_t month_start(std::int64_t wall_us, std::int64_t months_per_bar) {
    int y, m, d;
    civil_from_days(floor_div(wall_us, kMicrosPerDay), y, m, d);
    const std::int64_t index = floor_to(std::int64_t{y - 1970} * 12 + (m - 1), months_per_bar);
    const auto year = static_cast<int>(1970 + floor_div(index, 12));
    const auto month = static_cast<int>(index - floor_div(index, 12) * 12 + 1);
    return days_from_civil(year, month, 1) * kMicrosPerDay;
}

}  // namespace

std::int64_t piece_start(ProductType market, std::int64_t wall_us) {
    const std::int64_t minute = floor_to(wall_us, kMicrosPerMinute);
    if (market == ProductType::Stock) return minute;
    const std::int64_t day = floor_div(minute, kMicrosPerDay) * kMicrosPerDay;
    const std::int64_t minute_second = (minute - day) / kMicrosPerSecond;
    const std::int64_t second = (wall_us - day) / kMicrosPerSecond;
    if (in_night_tail(minute_second) && !in_night_tail(second)) return day + (kNightEndSecond + 1) * kMicrosPerSecond;
    return minute;
}

std::int64_t BarRule::bucket_start(ProductType market, std::int64_t wall_us, const SessionCalendar& calendar) const {
    switch (unit) {
        case BarUnit::Minute: return floor_to(wall_us, freq * kMicrosPerMinute);
        case BarUnit::Hour: {
            const std::int64_t anchor = session_anchor(market, wall_us);
            return anchor + floor_to(wall_us - anchor, freq * kMicrosPerHour);
        }
        case BarUnit::Day: {
            return floor_to(calendar.trading_date(market, wall_us), freq) * kMicrosPerDay;
        }
        case BarUnit::Week: {
            const std::int64_t days = floor_div(wall_us, kMicrosPerDay);
            return (kFirstMonday + floor_to(days - kFirstMonday, 7 * freq)) * kMicrosPerDay;
        }
        case BarUnit::Month: return month_start(wall_us, freq);
        case BarUnit::Quarter: return month_start(wall_us, 3 * freq);
        case BarUnit::Year: return month_start(wall_us, 12 * freq);
    }
    return wall_us;
}

}  // namespace vkb
