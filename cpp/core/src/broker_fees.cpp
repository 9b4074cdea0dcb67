#include "vkb/broker_fees.hpp"

#include <algorithm>
#include <cmath>

namespace vkb {

namespace {

// Whole NT$ rounded down; the nudge keeps a product such as 0.001425 x 200000 = 285 (a hair below
// in binary) from losing a dollar.
double floor_dollars(double amount) { return std::floor(amount + 1e-7); }

// Whole NT$ nearest, halves up; the same nudge keeps 425,000 x 0.00002 = 8.5 a half and not a hair below.
double nearest_dollars(double amount) { return std::floor(amount + 0.5 + 1e-7); }

}  // namespace

bool is_etf_code(std::string_view code) { return code.substr(0, 2) == "00"; }

double broker_stock_fee(double amount, const BrokerFees& fees) {
    return std::max(floor_dollars(kBrokerStockFeeRate * amount * fees.fee_discount), fees.min_fee);
}

double broker_futures_fee(std::int64_t contracts, const BrokerFees& fees) {
    return fees.future_fee_per_contract * static_cast<double>(contracts);
}

double broker_stock_sell_tax(std::string_view code, double amount, bool day_trade) {
    const double rate = is_etf_code(code) ? kEtfSellTaxRate : day_trade ? kDayTradeSellTaxRate : kShareSellTaxRate;
    return floor_dollars(rate * amount);
}

double broker_futures_tax(double amount, std::int64_t contracts) {
    if (contracts <= 0) return 0.0;
    const double count = static_cast<double>(contracts);
    return nearest_dollars(kFuturesTaxRate * (amount / count)) * count;
}

double broker_pair_tax(std::string_view code, bool futures, double entry_amount, double exit_amount,
                       std::int64_t qty, bool covering_buy, bool same_day) {
    if (futures) return broker_futures_tax(entry_amount, qty) + broker_futures_tax(exit_amount, qty);
    return broker_stock_sell_tax(code, covering_buy ? entry_amount : exit_amount, same_day);
}

std::int64_t exchange_day(double epoch_seconds, int utc_offset_hours) {
    return static_cast<std::int64_t>(std::floor((epoch_seconds + utc_offset_hours * 3600.0) / 86400.0));
}

bool same_trading_day(std::optional<double> a, std::optional<double> b, int utc_offset_hours) {
    return a && b && exchange_day(*a, utc_offset_hours) == exchange_day(*b, utc_offset_hours);
}

}  // namespace vkb
