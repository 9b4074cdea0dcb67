#include "vkb/indicators.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vkb {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

std::optional<IndicatorKind> parse_indicator_kind(std::string_view text) {
    if (text == "sma") return IndicatorKind::Sma;
    if (text == "ema") return IndicatorKind::Ema;
    if (text == "rsi") return IndicatorKind::Rsi;
    if (text == "atr") return IndicatorKind::Atr;
    if (text == "bollinger_upper") return IndicatorKind::BollingerUpper;
    if (text == "bollinger_lower") return IndicatorKind::BollingerLower;
    if (text == "highest") return IndicatorKind::Highest;
    if (text == "lowest") return IndicatorKind::Lowest;
    if (text == "vwap") return IndicatorKind::SessionVwap;
    return std::nullopt;
}

bool takes_length(IndicatorKind kind) { return kind != IndicatorKind::SessionVwap; }
bool takes_width(IndicatorKind kind) {
    return kind == IndicatorKind::BollingerUpper || kind == IndicatorKind::BollingerLower;
}

void Indicator::push(const KbarColumns& bars, std::size_t i, std::int64_t session) {
    values_.push_back(next_value(bars, i, session));
}

double Indicator::window_mean(const KbarColumns& bars, std::size_t i) const {
    double sum = 0.0;
    for (std::size_t j = i + 1 - static_cast<std::size_t>(length_); j <= i; ++j) sum += bars.close[j];
    return sum / static_cast<double>(length_);
}

double Indicator::next_value(const KbarColumns& bars, std::size_t i, std::int64_t session) {
    const auto n = static_cast<std::size_t>(length_);
    const bool full = i + 1 >= n;
    switch (kind_) {
        case IndicatorKind::Sma: return full ? window_mean(bars, i) : kNaN;
        case IndicatorKind::Ema: {
            if (!full) return kNaN;
            const double alpha = 2.0 / (static_cast<double>(length_) + 1.0);
            average_ = i + 1 == n ? window_mean(bars, i) : average_ + alpha * (bars.close[i] - average_);
            return average_;
        }
        case IndicatorKind::Rsi: {
            if (i == 0) return kNaN;
            const double change = bars.close[i] - bars.close[i - 1];
            const double up = std::max(change, 0.0), down = std::max(-change, 0.0);
            if (i < n) {
                gain_ += up;
                loss_ += down;
                return kNaN;
            }
            if (i == n) {
                gain_ = (gain_ + up) / static_cast<double>(length_);
                loss_ = (loss_ + down) / static_cast<double>(length_);
            } else {
                gain_ = (gain_ * static_cast<double>(length_ - 1) + up) / static_cast<double>(length_);
                loss_ = (loss_ * static_cast<double>(length_ - 1) + down) / static_cast<double>(length_);
            }
            if (loss_ == 0.0) return gain_ == 0.0 ? 50.0 : 100.0;
            return 100.0 - 100.0 / (1.0 + gain_ / loss_);
        }
        case IndicatorKind::Atr: {
            double range = bars.high[i] - bars.low[i];
            if (i > 0)
                range = std::max({range, std::fabs(bars.high[i] - bars.close[i - 1]),
                                  std::fabs(bars.low[i] - bars.close[i - 1])});
            if (i + 1 < n) {
                average_ += range;
                return kNaN;
            }
            if (i + 1 == n)
                average_ = (average_ + range) / static_cast<double>(length_);
            else
                average_ = (average_ * static_cast<double>(length_ - 1) + range) / static_cast<double>(length_);
            return average_;
        }
        case IndicatorKind::BollingerUpper:
        case IndicatorKind::BollingerLower: {
            if (!full) return kNaN;
            const double mean = window_mean(bars, i);
            double squares = 0.0;
            for (std::size_t j = i + 1 - n; j <= i; ++j) squares += (bars.close[j] - mean) * (bars.close[j] - mean);
            const double band = width_ * std::sqrt(squares / static_cast<double>(length_));
            return kind_ == IndicatorKind::BollingerUpper ? mean + band : mean - band;
        }
        case IndicatorKind::Highest:
            return full ? *std::max_element(bars.high.begin() + static_cast<std::ptrdiff_t>(i + 1 - n),
                                            bars.high.begin() + static_cast<std::ptrdiff_t>(i + 1))
                        : kNaN;
        case IndicatorKind::Lowest:
            return full ? *std::min_element(bars.low.begin() + static_cast<std::ptrdiff_t>(i + 1 - n),
                                            bars.low.begin() + static_cast<std::ptrdiff_t>(i + 1))
                        : kNaN;
        case IndicatorKind::SessionVwap: {
            if (!started_ || session != session_) {
                started_ = true;
                session_ = session;
                price_volume_ = volume_ = 0.0;
            }
            const auto volume = static_cast<double>(bars.volume[i]);
            price_volume_ += (bars.high[i] + bars.low[i] + bars.close[i]) / 3.0 * volume;
            volume_ += volume;
            return volume_ > 0.0 ? price_volume_ / volume_ : kNaN;
        }
    }
    return kNaN;
}

}  // namespace vkb
