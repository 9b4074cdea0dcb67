#pragma once
// Indicators over closed k-bars, updated once per closed bar. Each holds one value per closed bar
// (NaN until enough bars have closed).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "vkb/kbar_cache.hpp"
#include "vkb/shared_column.hpp"

namespace vkb {

enum class IndicatorKind { Sma, Ema, Rsi, Atr, BollingerUpper, BollingerLower, Highest, Lowest, SessionVwap };

std::optional<IndicatorKind> parse_indicator_kind(std::string_view text);
// Whether the kind takes a window length, and a band width (Bollinger).
bool takes_length(IndicatorKind kind);
bool takes_width(IndicatorKind kind);

// - sma: mean of the last n closes. ema: alpha 2/(n+1), seeded with the sma of the first n closes.
// - rsi: Wilder's smoothing of gains and losses over n close changes (first value at bar n);
//   100 when there were no losses, 50 when the closes did not move at all.
// - atr: Wilder's smoothing of the true range, seeded with the mean of the first n true ranges
//   (the first bar's true range is its high minus low).
// - bollinger_upper / bollinger_lower: sma(n) plus / minus width times the population standard
//   deviation of the last n closes.
// - highest / lowest: highest high / lowest low of the last n bars.
// - vwap: volume-weighted typical price (high + low + close) / 3 since the session's first bar,
//   NaN while the session has traded no volume.
class Indicator {
public:
    Indicator(IndicatorKind kind, std::int64_t length, double width) : kind_(kind), length_(length), width_(width) {}

    // Bar i of `bars` has closed; `session` tells the bar's trading session (for vwap).
    void push(const KbarColumns& bars, std::size_t i, std::int64_t session);

    // Shared: a view of the values keeps those it saw.
    const SharedColumn<double>& values() const { return values_; }
    IndicatorKind kind() const { return kind_; }
    std::int64_t length() const { return length_; }
    double width() const { return width_; }

private:
    double next_value(const KbarColumns& bars, std::size_t i, std::int64_t session);
    double window_mean(const KbarColumns& bars, std::size_t i) const;

    IndicatorKind kind_;
    std::int64_t length_;
    double width_;
    SharedColumn<double> values_;
    // Running state of the smoothed kinds.
    double average_ = 0.0, gain_ = 0.0, loss_ = 0.0;
    std::int64_t session_ = 0;
    double price_volume_ = 0.0, volume_ = 0.0;
    bool started_ = false;
};

}  // namespace vkb
