#pragma once
// Daily price limits: a trade may not leave +/-10% of its reference price, each limit rounded onto the
// contract's grid inward (limit-up down to a grid point, limit-down up to one). The reference of a stock is
// the previous trading day's last trade; of a futures contract the last trade of its previous day session,
// standing in for that session's settlement price (index futures have a single level, no wider steps).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "records/product_type.hpp"
#include "vkb/contract_grid.hpp"

namespace vkb {

inline constexpr std::int64_t kDailyLimitPercent = 10;

// (limit-down, limit-up) around a reference price.
std::pair<double, double> daily_band(const ContractGrid& grid, double reference);

// Whether a trade at this second of the day sets the reference of the next trading date's band: every
// stock trade, a futures trade of the day session only.
bool sets_band_reference(ProductType market, std::int64_t second_of_day);

class DailyBands {
public:
    // A trade of `code` at wall clock `wall_us`. Only a code's last trade of a day session and the first
    // trade after it (of the next session) need to be told for the band to follow it. The first trade told
    // fixes the code's grid.
    void observe(std::string_view code, ProductType market, const ContractGrid& grid, std::int64_t wall_us,
                 double price);
    // (limit-down, limit-up) now; none before a previous session's last trade is known.
    std::optional<std::pair<double, double>> band(std::string_view code) const;
    // The band when `price` lies outside it, else none.
    std::optional<std::pair<double, double>> outside(std::string_view code, double price) const;

private:
    struct Seen {
        ContractGrid grid;
        std::int64_t day = 0;        // calendar day of the last reference-setting trade
        std::optional<double> last;  // that trade's price
        std::optional<std::pair<double, double>> band;
    };
    std::unordered_map<std::string, Seen> seen_;
};

}  // namespace vkb
