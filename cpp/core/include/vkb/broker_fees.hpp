#pragma once
// A Taiwan retail broker's charges: a discounted fee with a minimum per fill and the securities
// transaction tax on sells (shares, ETFs, cash day trades), rounded down to whole NT$ as the broker
// bills them, and the futures transaction tax as the exchange levies it: per contract, rounded to
// the nearest NT$, times the contracts.
#include <cstdint>
#include <optional>
#include <string_view>

namespace vkb {

struct BrokerFees {
    double fee_discount = 0.6;
    double min_fee = 20.0;
    double future_fee_per_contract = 50.0;
};

inline constexpr double kBrokerStockFeeRate = 0.001425;
inline constexpr double kShareSellTaxRate = 0.003;
inline constexpr double kEtfSellTaxRate = 0.001;
inline constexpr double kDayTradeSellTaxRate = 0.0015;
inline constexpr double kFuturesTaxRate = 0.00002;
// The flat-rate settings an account starts with: a fee and a tax as shares of each fill's value.
inline constexpr double kFlatStockFeeRate = kBrokerStockFeeRate;
inline constexpr double kFlatStockTaxRate = kShareSellTaxRate;
inline constexpr double kFlatFuturesFeeRate = kFuturesTaxRate;
inline constexpr double kFlatFuturesTaxRate = kFuturesTaxRate;

// Exchange-traded funds are the codes beginning "00".
bool is_etf_code(std::string_view code);

// floor(0.1425% x amount x discount), at least the minimum fee.
double broker_stock_fee(double amount, const BrokerFees& fees);
double broker_futures_fee(std::int64_t contracts, const BrokerFees& fees);
// A sell of shares: ETF rate for an ETF, the day-trade rate when it covers a buy of the same
// trading day, else the share rate.
double broker_stock_sell_tax(std::string_view code, double amount, bool day_trade);
// `amount` is the value of all `contracts` (price x point value x contracts). Each contract's tax,
// 0.002% of its value, is rounded to the nearest NT$ with halves up (the exchange's own example
// charges 9 for 8.5), then multiplied by the contracts.
double broker_futures_tax(double amount, std::int64_t contracts);

// Tax of a matched pair of `qty` lots or contracts, charged at the cover: the sell leg of a stock
// pair, both legs of a futures pair.
double broker_pair_tax(std::string_view code, bool futures, double entry_amount, double exit_amount,
                       std::int64_t qty, bool covering_buy, bool same_day);

// Days since the epoch on the exchange clock, for telling day trades from overnight ones.
std::int64_t exchange_day(double epoch_seconds, int utc_offset_hours);
// Both times on one exchange trading day (a cash day trade under broker fees); a missing time never is.
bool same_trading_day(std::optional<double> a, std::optional<double> b, int utc_offset_hours);

}  // namespace vkb
