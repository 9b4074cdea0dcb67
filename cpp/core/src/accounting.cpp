#include "vkb/accounting.hpp"

#include <algorithm>

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

double capital_after_entry(double capital, const TradeCost& entry) {
    return capital - (traded_amount(entry) + entry.fee + entry.fixed_cost);
}

double capital_after_cover(double capital, const CoverTotals& t, bool covering_buy) {
    if (covering_buy) return capital + (t.entry_total + (t.entry_total - t.exit_total - t.exit_cost_total));
    return capital + (t.exit_total - t.exit_cost_total);
}

}  // namespace vkb
