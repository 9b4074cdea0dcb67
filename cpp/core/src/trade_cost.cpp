#include "vkb/trade_cost.hpp"

#include <algorithm>
#include <stdexcept>

#include "vkb/contract_terms.hpp"
#include "vkb/futures_tick.hpp"
#include "vkb/price_grid.hpp"

namespace vkb {

bool slippage_goes_up(std::string_view stored_direction, bool reverse) {
    return reverse ? stored_direction == "down" : stored_direction == "up";
}

FeeRule resolve_fee_rule(const FeeSettings& settings, std::string_view code, bool futures, bool sell, bool reverse,
                         const std::optional<BrokerFees>& broker) {
    FeeRule rule;
    rule.fee_rate = settings.fee_rate;
    rule.tax_rate = settings.tax_rate;
    rule.fixed_cost = settings.fixed_cost;
    rule.slip_ticks = settings.slip_ticks;
    rule.slip_up = settings.direction ? slippage_goes_up(*settings.direction, reverse) : !reverse;
    rule.broker = broker;
    rule.futures = futures;
    rule.sell = sell;
    if (futures) rule.futures_tick = futures_tick_of(code);
    return rule;
}

double slipped_within_limit(double price, double slipped, double limit, bool buy) {
    return buy ? std::min(slipped, std::max(limit, price)) : std::max(slipped, std::min(limit, price));
}

TradeCost compute_trade_cost(std::string_view code, double price, std::int64_t quantity,
                             std::int64_t multiplier, const FeeRule& rule, bool ignore_tax) {
    TradeCost c;
    c.origin_price = price;
    c.price = rule.futures_tick > 0.0 ? slip_futures_price(price, rule.slip_ticks, rule.slip_up, rule.futures_tick)
                                      : slip_price(code, price, rule.slip_ticks, rule.slip_up);
    if (rule.limit_price) c.price = slipped_within_limit(price, c.price, *rule.limit_price, !rule.sell);
    c.qty = quantity;
    if (__builtin_mul_overflow(quantity, multiplier, &c.min_qty))
        throw std::overflow_error("quantity too large");
    const double q = static_cast<double>(quantity);
    const double m = static_cast<double>(multiplier);
    c.fixed_cost = rule.fixed_cost;
    if (rule.broker) {
        const double amount = traded_amount(c);
        c.fee = rule.futures ? broker_futures_fee(quantity, *rule.broker) : broker_stock_fee(amount, *rule.broker);
        if (ignore_tax) return c;
        if (rule.futures) c.tax = broker_futures_tax(amount, quantity);
        else if (rule.sell) c.tax = broker_stock_sell_tax(code, amount, false);
        return c;
    }
    c.fee = rule.fee_rate * q * m * c.price;
    c.tax = ignore_tax ? 0.0 : rule.tax_rate * q * m * c.price;
    return c;
}

}  // namespace vkb
