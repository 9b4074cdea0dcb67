#include "vkb/accounting.hpp"

#include <algorithm>
#include <cmath>

namespace vkb {

PairSettlement settle_pair(const TradeCost& entry, const TradeCost& exit, bool covering_buy) {
    PairSettlement p;
    p.entry_amount = traded_amount(entry);
    p.exit_amount = traded_amount(exit);
    p.entry_cost = total_cost(entry);
    p.exit_cost = total_cost(exit);
    double divisor;
    if (covering_buy) {
        p.profit = (p.entry_amount - p.exit_amount) - (p.entry_cost + p.exit_cost);
        divisor = p.entry_amount - p.entry_cost;
    } else {
        p.profit = (p.exit_amount - p.entry_amount) - (p.entry_cost + p.exit_cost);
        divisor = p.entry_amount + p.entry_cost;
    }
    p.profit_ratio = divisor == 0 ? 0.0 : p.profit / divisor;
    return p;
}

TradeCost with_pair_tax(TradeCost exit, const TradeCost& entry, std::string_view code, const FeeRule& exit_rule,
                        bool covering_buy, bool same_day) {
    if (exit_rule.broker)
        exit.tax = broker_pair_tax(code, exit_rule.futures, traded_amount(entry), traded_amount(exit), exit.qty,
                                   covering_buy, same_day);
    return exit;
}

BookedEntry book_entry_cost(const TradeCost& entry, std::int64_t multiplier) { return {entry, multiplier}; }

TradeCost BookedEntry::share(std::int64_t matched) const {
    TradeCost part = cost;
    if (matched >= cost.qty) return part;
    const double fraction = static_cast<double>(matched) / static_cast<double>(cost.qty);
    part.qty = matched;
    part.min_qty = matched * multiplier;
    part.fee = cost.fee * fraction;
    part.tax = cost.tax * fraction;
    part.fixed_cost = cost.fixed_cost * fraction;
    return part;
}

void BookedEntry::release(const TradeCost& part) {
    cost.qty -= part.qty;
    cost.min_qty -= part.min_qty;
    cost.fee -= part.fee;
    cost.tax -= part.tax;
    cost.fixed_cost -= part.fixed_cost;
}

OpenValuation value_open_position(std::string_view code, double entry_price, std::optional<double> mark_price,
                                  std::int64_t qty, std::int64_t multiplier, const FeeRule& entry_rule,
                                  const FeeRule& exit_rule, bool long_position, bool same_day) {
    return value_booked_position(code, entry_side_cost(code, entry_price, qty, multiplier, entry_rule), mark_price,
                                 multiplier, exit_rule, long_position, same_day);
}

OpenValuation value_booked_position(std::string_view code, const TradeCost& entry, std::optional<double> mark_price,
                                    std::int64_t multiplier, const FeeRule& exit_rule, bool long_position,
                                    bool same_day) {
    OpenValuation v;
    v.principal = traded_amount(entry);
    v.entry_charges = entry_charges(entry);
    if (mark_price) {
        const TradeCost exit = with_pair_tax(exit_side_cost(code, *mark_price, entry.qty, multiplier, exit_rule), entry,
                                             code, exit_rule, !long_position, same_day);
        v.pnl = settle_pair(entry, exit, !long_position).profit;
    }
    return v;
}

void HoldingSummary::add(double entry_price, std::int64_t qty) {
    quantity += qty;
    total_price += entry_price * static_cast<double>(qty);
}

void HoldingSummary::mark(double entry_price, double mark_price, std::int64_t qty, std::int64_t unit,
                          bool long_position) {
    double difference = mark_price - entry_price;
    if (!long_position) difference = -difference;
    pnl += difference * static_cast<double>(qty) * static_cast<double>(unit);
}

double HoldingSummary::average_price() const {
    return quantity > 0 ? total_price / static_cast<double>(quantity) : 0.0;
}

void CoverTotals::add(const PairSettlement& pair) {
    entry_cost_total += pair.entry_cost;
    exit_cost_total += pair.exit_cost;
    entry_total += pair.entry_amount;
    exit_total += pair.exit_amount;
    profit += pair.profit;
    cost += pair.entry_cost + pair.exit_cost;
}

double CoverTotals::origin_profit(bool covering_buy) const {
    return covering_buy ? entry_total - exit_total : exit_total - entry_total;
}

std::int64_t FifoCover::take(std::int64_t open_qty) {
    const std::int64_t matched = std::min(remaining_, open_qty);
    remaining_ -= matched;
    return matched;
}

bool fill_too_large(std::string_view code, double price, std::int64_t qty, std::int64_t multiplier,
                    const FeeRule& rule, double capital) {
    std::int64_t units = 0;
    if (__builtin_mul_overflow(qty, multiplier, &units)) return true;
    return !std::isfinite(capital_after_entry(capital, entry_side_cost(code, price, qty, multiplier, rule)));
}

double capital_after_entry(double capital, const TradeCost& entry) {
    return capital - (traded_amount(entry) + entry.fee + entry.fixed_cost);
}

double capital_after_cover(double capital, const CoverTotals& t, bool covering_buy) {
    if (covering_buy) return capital + (t.entry_total + (t.entry_total - t.exit_total - t.exit_cost_total));
    return capital + (t.exit_total - t.exit_cost_total);
}

}  // namespace vkb
