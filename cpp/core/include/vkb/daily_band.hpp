#pragma once
// Daily price limits of stocks: a trade may not leave +/-10% around the previous trading day's last trade.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace vkb {

inline constexpr double kDailyLimit = 0.10;

class DailyBands {
public:
    // A stock trade on exchange day `day` (days since 1970-01-01). Only a code's last trade of a day and the
    // first of the next need to be told for the band to follow it.
    void observe(std::string_view code, std::int64_t day, double close);
    // (lowest, highest) price allowed today; none before a previous day's close is known.
    std::optional<std::pair<double, double>> band(std::string_view code) const;
    // The band when `price` lies outside it, else none. A price on the band's edge is inside, whatever the
    // rounding of the edge.
    std::optional<std::pair<double, double>> outside(std::string_view code, double price) const;

private:
    struct Seen {
        std::int64_t day = 0;
        double close = 0.0;
        std::optional<double> previous;
    };
    std::unordered_map<std::string, Seen> seen_;
};

}  // namespace vkb
