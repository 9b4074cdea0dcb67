#pragma once
// Trading-session calendar of the Taiwan exchanges on the naive exchange wall clock
// (microseconds since 1970-01-01 00:00 of that clock).
#include <cstdint>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

#include "records/product_type.hpp"

namespace vkb {

inline constexpr std::int64_t kMicrosPerSecond = 1'000'000;
inline constexpr std::int64_t kMicrosPerMinute = 60 * kMicrosPerSecond;
inline constexpr std::int64_t kMicrosPerHour = 60 * kMicrosPerMinute;
inline constexpr std::int64_t kMicrosPerDay = 24 * kMicrosPerHour;
inline constexpr std::int64_t kNanosPerMicro = 1000;
inline constexpr std::int64_t kNanosPerDay = kMicrosPerDay * kNanosPerMicro;
// Session windows in seconds of the day, both bounds carrying ticks (the closing auction prints at the
// end). Stocks 09:00-13:30; futures day session 08:45-13:45, night session 15:00 to 05:00 of the
// next morning.
inline constexpr int kStockOpenSecond = 9 * 3600;
inline constexpr int kStockCloseSecond = 13 * 3600 + 30 * 60;
// The stock closing call auction from 13:25: no continuous trades, one print at the close.
inline constexpr int kStockClosingCallSecond = 13 * 3600 + 25 * 60;
inline constexpr int kFuturesDayOpenSecond = 8 * 3600 + 45 * 60;
inline constexpr int kFuturesDayCloseSecond = 13 * 3600 + 45 * 60;
inline constexpr int kNightStartSecond = 15 * 3600;
inline constexpr int kNightEndSecond = 5 * 3600;

// Whether a futures tick at this second of the day belongs to the night session begun the evening
// before: its part after midnight, up to its closing print stamped within the second 05:00:00.
inline bool in_night_tail(std::int64_t second_of_day) { return second_of_day <= kNightEndSecond; }

// Floor division and flooring to a multiple, correct for negative values.
inline std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
inline std::int64_t floor_to(std::int64_t a, std::int64_t step) { return floor_div(a, step) * step; }
inline std::int64_t second_of_day(std::int64_t wall_us) {
    return floor_div(wall_us - floor_to(wall_us, kMicrosPerDay), kMicrosPerSecond);
}

// The calendar day of the latest night-session opening (15:00) at or before a wall-clock time. It
// changes at every 15:00, so wherever the trading date of a futures tick changes (every product's
// sessions leave 15:00 between two trading dates); it may also change within one trading date, across
// a weekend or a holiday.
inline std::int64_t night_opening_day(std::int64_t wall_us) {
    return floor_div(wall_us - std::int64_t{kNightStartSecond} * kMicrosPerSecond, kMicrosPerDay);
}

// Inclusive range of seconds of the day during which a market is closed.
struct ClosedInterval {
    int start_second;
    int end_second;
};

// One trading session: the calendar day it starts on and its wall-clock bounds (both inclusive).
struct TradingSession {
    std::int64_t start_day;
    bool night;
    std::int64_t start_us;
    std::int64_t end_us;
};

class SessionCalendar {
public:
    SessionCalendar();

    void set_closed(ProductType market, std::vector<ClosedInterval> intervals);
    const std::vector<ClosedInterval>& closed(ProductType market) const;

    void set_holidays(const std::vector<std::int64_t>& days);
    std::vector<std::int64_t> holidays() const;  // sorted
    bool is_holiday(std::int64_t days) const { return holidays_.count(days) != 0; }
    // A weekday that is not a listed holiday.
    bool is_trading_date(std::int64_t days) const;
    std::int64_t next_trading_date_after(std::int64_t days) const;
    std::int64_t previous_trading_date_before(std::int64_t days) const;

    // Whether a minute starting at `wall_us` may carry a virtual tick. Closed: the market's closed
    // intervals, listed holidays, Sundays, Saturdays except the futures night session that began on
    // a Friday (Saturday before 05:00), and any after-midnight futures minute whose previous evening
    // had no night session (the day before was a weekend day or a holiday).
    bool is_open_minute(ProductType market, std::int64_t wall_us) const;

    // The trading date a futures tick counts for: the night session from 15:00 belongs to the next
    // trading date, its night tail after midnight likewise; the day session to its own date.
    std::int64_t futures_trading_date(std::int64_t wall_us) const;
    // The trading date a tick of `market` counts for: a stock tick's calendar date, a futures tick's
    // `futures_trading_date`.
    std::int64_t trading_date(ProductType market, std::int64_t wall_us) const;

    // Sessions with ticks stamped on calendar day `days`, in time order: for futures the night session
    // begun the evening before, the day session and the night session begun that day. A listed holiday
    // has none, so a night session before it stops at midnight; the caller keeps that day's part.
    std::vector<TradingSession> sessions_touching(ProductType market, std::int64_t days) const;

    // The session an order placed at `wall_us` works in: the one under way, else the next to open.
    // A session's last print ends it (its end is inclusive for ticks), so an order placed on that
    // print, when nothing can trade any more, works in the next session.
    TradingSession order_session(ProductType market, std::int64_t wall_us) const;

    // The same answers for epoch seconds, read on the wall clock `utc_offset_hours` ahead of UTC. Throw
    // std::domain_error for a time no wall clock holds (NaN, beyond 64-bit microseconds).
    // order_session's bounds as epoch seconds (start, end).
    std::pair<double, double> order_session_at(ProductType market, double epoch_seconds, int utc_offset_hours) const;
    std::int64_t trading_date_at(ProductType market, double epoch_seconds, int utc_offset_hours) const;
    // trading_date_at of each stamp into `out`, of the same length: one call for a whole equity series.
    void trading_dates_at(ProductType market, std::span<const double> epoch_seconds, int utc_offset_hours,
                          std::int64_t* out) const;

    // Changes with every setter call, so that what was worked out from the calendar can be kept until then.
    std::uint64_t revision() const { return revision_; }

private:
    std::vector<ClosedInterval> stock_closed_;
    std::vector<ClosedInterval> future_closed_;
    std::unordered_set<std::int64_t> holidays_;
    std::uint64_t revision_ = 0;
};

}  // namespace vkb
