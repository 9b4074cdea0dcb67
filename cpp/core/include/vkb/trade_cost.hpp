#pragma once
// Cost of one fill: slipped price, fee, tax, fixed cost and quantity in the smallest unit.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

#include "vkb/broker_fees.hpp"

namespace vkb {

// One product kind's fee settings, resolved for one action.
struct FeeRule {
    double fee_rate = 0.0;
    double tax_rate = 0.0;
    double fixed_cost = 0.0;
    std::int64_t slip_ticks = 0;
    bool slip_up = true;
    double futures_tick = 0.0;  // above 0: slip in whole ticks of this size instead of the stock grid
    // Set: the broker's charges replace the fee and tax rates (slippage and fixed cost still apply).
    std::optional<BrokerFees> broker = std::nullopt;
    bool futures = false;
    bool sell = false;
    // Set for a limit fill: the booked price is never worse than this limit.
    std::optional<double> limit_price = std::nullopt;
};

struct TradeCost {
    double fee = 0.0;
    double tax = 0.0;  // 0 when tax is ignored
    double fixed_cost = 0.0;
    std::int64_t qty = 0;
    std::int64_t min_qty = 0;  // shares for stocks, index points x contract value for futures
    double price = 0.0;        // after slippage
    double origin_price = 0.0;
};

inline constexpr std::int64_t kSharesPerLot = 1000;
inline constexpr std::int64_t kDefaultContractValue = 2000;
// Fresh settings slip every fill this many ticks: buys up, sells down.
inline constexpr std::int64_t kDefaultSlipTicks = 3;
// The per-trade fixed cost a reset of the settings puts back (a new account starts at 0).
inline constexpr std::int64_t kResetPerTradeCost = 10;

// One product kind's stored settings for one action. direction: the stored text, none when the
// stored value is not text.
struct FeeSettings {
    double fee_rate = 0.0;
    double tax_rate = 0.0;
    double fixed_cost = 0.0;
    std::int64_t slip_ticks = 0;
    std::optional<std::string_view> direction;
};

// The rule for a fill of `code`: futures slip in whole ticks of their contract; `reverse` slips
// against the stored direction, and a direction that is not text slips up unless reversed.
FeeRule resolve_fee_rule(const FeeSettings& settings, std::string_view code, bool futures, bool sell, bool reverse,
                         const std::optional<BrokerFees>& broker);

// A price or limit a fill can carry.
inline bool is_tradable_price(double value) { return value > 0.0 && std::isfinite(value); }

// A stored "down" turns up when reversed and anything else turns down; unreversed only "up" is up.
bool slippage_goes_up(std::string_view stored_direction, bool reverse);

// A limit order never trades through its limit: slippage stops at the limit (a buy is never booked
// above it, a sell never below), and a price already beyond the limit is not slipped further.
double slipped_within_limit(double price, double slipped, double limit, bool buy);

// fee = rate x quantity x multiplier x slipped price, evaluated left to right like the formula.
// A rule with a limit price books the slipped price within that limit.
// Under broker fees a fill is charged on its own: the fee with its minimum, and the tax of that leg
// alone (a stock buy pays none, a stock sell the overnight rate).
// Throws std::overflow_error when quantity x multiplier leaves 64 bits.
TradeCost compute_trade_cost(std::string_view code, double price, std::int64_t quantity,
                             std::int64_t multiplier, const FeeRule& rule, bool ignore_tax);

inline double traded_amount(const TradeCost& c) { return c.price * static_cast<double>(c.min_qty); }
inline double total_cost(const TradeCost& c) { return c.fee + c.tax + c.fixed_cost; }
inline double entry_charges(const TradeCost& c) { return c.fee + c.fixed_cost; }

}  // namespace vkb
