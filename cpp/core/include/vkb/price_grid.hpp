#pragma once
// The exchange price grid in whole hundredths ("cents"): every tick size is a multiple of 0.01,
// so a walk over the grid is exact integer arithmetic and each step lands on a grid point.
#include <cstdint>
#include <string_view>

namespace vkb {

struct GridSnap {
    std::int64_t cents;       // snapped price
    std::int64_t tick_cents;  // tick size of the band the unsnapped price fell in
};

// Far beyond any exchange price, and keeps cents * tick arithmetic inside 64 bits.
inline constexpr double kMaxAbsPrice = 1e13;

// Exchange-traded funds ("00...") have their own bands: 0.01 below 50, 0.05 from 50 up.
bool is_fund_code(std::string_view code);

// Tick size of the band holding a price (lower bound inclusive, upper bound exclusive).
std::int64_t band_tick_cents(bool fund, double price);
std::int64_t band_tick_cents(bool fund, std::int64_t cents);

// Ceiling of an arbitrary price onto the grid. A price within rounding noise of a grid point is
// that grid point (1.1 stays 1.1 even though 1.1 * 100 is 110.00000000000001 in binary).
// Throws std::domain_error for NaN, std::overflow_error for infinite or absurdly large prices.
GridSnap ceil_to_grid(std::string_view code, double price);

// Ceiling of an exact cent amount onto the grid of its band.
std::int64_t ceil_cents_to_grid(bool fund, std::int64_t cents);

// The lowest price the grid holds: a walk down stops there (a price at or below it stays).
inline constexpr std::int64_t kLowestGridCents = 1;

// Moves a price tick_count grid steps up or down; the first step snaps an off-grid price upward
// and uses the tick of the band the raw price fell in. tick_count <= 0 returns the price untouched.
// The walk is worked out band by band, so its cost does not grow with tick_count. Throws
// std::overflow_error when the walk leaves the range ceil_to_grid accepts.
double slip_price(std::string_view code, double price, std::int64_t tick_count, bool up);

inline double cents_to_price(std::int64_t cents) { return static_cast<double>(cents) / 100.0; }

}  // namespace vkb
