#pragma once
// The one place where the money of a position is worked out: FIFO cover matching, the profit
// and ratio of a matched pair, cover totals, and how entries and covers move the capital.
// Views that value an open position (profit if covered now) reuse settle_pair.
#include <cstdint>

#include "vkb/trade_cost.hpp"

namespace vkb {

// The covered (older) position is the entry side, the covering trade the exit side.
struct PairSettlement {
    double entry_amount = 0.0;
    double exit_amount = 0.0;
    double entry_cost = 0.0;  // fee + tax + fixed cost of the entry side
    double exit_cost = 0.0;
    double profit = 0.0;
    double profit_ratio = 0.0;  // 0 when the principal it is measured against is 0
};

// covering_buy: a buy covers shorts; otherwise a sell covers longs.
PairSettlement settle_pair(const TradeCost& entry, const TradeCost& exit, bool covering_buy);

struct CoverTotals {
    double entry_total = 0.0;
    double exit_total = 0.0;
    double entry_cost_total = 0.0;
    double exit_cost_total = 0.0;
    double cost = 0.0;
    double profit = 0.0;
    std::int64_t uncovered_qty = 0;

    void add(const PairSettlement& pair);
    bool is_covered() const { return uncovered_qty == 0; }
    // Profit before costs: the price difference over the matched amounts.
    double origin_profit(bool covering_buy) const;
};

// First in, first out: a covering quantity takes from the oldest open positions in turn.
// Each take returns the matched quantity; a position left at 0 is consumed, so only the
// last take of a cover can be partial.
class FifoCover {
public:
    explicit FifoCover(std::int64_t qty) : remaining_(qty) {}
    bool wants_more() const { return remaining_ > 0; }
    std::int64_t take(std::int64_t open_qty);
    std::int64_t remaining() const { return remaining_; }

private:
    std::int64_t remaining_;
};

// A profit of exactly 0 counts as a loss.
inline bool is_winning(double profit) { return profit > 0; }

// Entry: the principal and the entry costs leave the account.
double capital_after_entry(double capital, const TradeCost& entry);
// Cover of shorts: principal back plus the price difference less the exit cost.
// Cover of longs: the proceeds less the exit cost.
double capital_after_cover(double capital, const CoverTotals& totals, bool covering_buy);

}  // namespace vkb
