#pragma once
// Where a k-bar starts for a tick, per bar unit and length.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "records/product_type.hpp"
#include "vkb/session_calendar.hpp"

namespace vkb {

enum class BarUnit { Minute, Hour, Day, Week, Month, Quarter, Year };

std::optional<BarUnit> parse_bar_unit(std::string_view text);  // m h d w mo q y
std::string_view to_string(BarUnit unit);

// The longest bar of a unit, in units: 10,000 years (3,660,000 days). Longer bars would put their
// start outside any calendar and overflow the microsecond clock on the way.
std::int64_t max_bar_freq(BarUnit unit);
// Why a bar of `shown` units (its length as the caller wrote it) is refused as longer than that.
std::string too_long_bar_message(BarUnit unit, std::string_view shown);

// Bucket rules on the naive exchange wall clock:
// - m, w, mo, q, y: truncation counted from 1970-01-01 as a data-frame truncate does
//   (weeks start on Monday, months/quarters/years on the 1st).
// - h: stock hours start at 09:00; futures hours at the session start, 08:45 for the day
//   session and 15:00 for the night session (its part after midnight included).
// - d: stocks by calendar date; futures by trading date (the night session from 15:00 and its
//   part after midnight count for the next trading date); labelled with that date at 00:00.
// The start of the shortest stretch of wall time around `wall_us` that no bar rule splits: its minute,
// except that the futures night session's closing minute (05:00) splits after its first second, where
// the night tail ends. Every rule's bucket_start is the same for all times of one stretch, so bars
// folded from stretches equal bars folded from their ticks.
std::int64_t piece_start(ProductType market, std::int64_t wall_us);

struct BarRule {
    BarUnit unit;
    std::int64_t freq;  // 1 .. max_bar_freq(unit)

    std::int64_t bucket_start(ProductType market, std::int64_t wall_us, const SessionCalendar& calendar) const;
};

// The rule of `freq` units; throws std::invalid_argument when freq is below 1 or above max_bar_freq(unit).
BarRule checked_bar_rule(BarUnit unit, std::int64_t freq);

}  // namespace vkb
