#pragma once
// The one place where the money of a position is worked out: FIFO cover matching, the profit
// and ratio of a matched pair, cover totals, how entries and covers move the capital, and the
// valuation of open positions for the position views.
#include <cstdint>
#include <optional>
#include <string_view>

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

// The two sides of a matched pair. Tax is paid once, at the cover: the entry side is priced as it
// was booked at entry (tax ignored), the exit side with tax.
inline TradeCost entry_side_cost(std::string_view code, double price, std::int64_t qty, std::int64_t multiplier,
                                 const FeeRule& rule) {
    return compute_trade_cost(code, price, qty, multiplier, rule, true);
}
inline TradeCost exit_side_cost(std::string_view code, double price, std::int64_t qty, std::int64_t multiplier,
                                const FeeRule& rule) {
    return compute_trade_cost(code, price, qty, multiplier, rule, false);
}

// The covering side's cost with the pair's tax. Entries are booked without tax; under broker fees
// the whole tax of the pair (broker_pair_tax) is charged here, so a short's sell leg pays its tax too.
// same_day: both legs fall on one trading day (a cash day trade).
TradeCost with_pair_tax(TradeCost exit, const TradeCost& entry, std::string_view code, const FeeRule& exit_rule,
                        bool covering_buy, bool same_day);

// What an entry charged, kept with its open position: a cover settles the entry side at the
// price and costs actually paid, whatever the fee or slippage settings say by then, so booked
// profit and the capital moved agree over every round trip.
struct BookedEntry {
    TradeCost cost;              // for the quantity still open (cost.qty)
    std::int64_t multiplier = 1;  // smallest units per lot or contract, as at the entry

    // The part for `matched` of the open quantity: costs pro rata, and the last part takes all
    // that is left, so the parts always add up to what was charged.
    TradeCost share(std::int64_t matched) const;
    // Lowers the open quantity and the costs by a part taken with share().
    void release(const TradeCost& part);
};
BookedEntry book_entry_cost(const TradeCost& entry, std::int64_t multiplier);

// An open position as the views show it. principal and entry_charges are what its entry booked
// (entry price after slippage x quantity x unit; fee + fixed cost). pnl is what covering it at
// mark_price would book now, through the same pricing of both sides and the same settle_pair as a
// real cover, so a view and the cover that follows agree; 0 without a mark.
struct OpenValuation {
    double principal = 0.0;
    double entry_charges = 0.0;
    double pnl = 0.0;
};
// The same valuation for an entry whose charges were booked (the part still open).
OpenValuation value_booked_position(std::string_view code, const TradeCost& entry, std::optional<double> mark_price,
                                    std::int64_t multiplier, const FeeRule& exit_rule, bool long_position,
                                    bool same_day = false);
OpenValuation value_open_position(std::string_view code, double entry_price, std::optional<double> mark_price,
                                  std::int64_t qty, std::int64_t multiplier, const FeeRule& entry_rule,
                                  const FeeRule& exit_rule, bool long_position, bool same_day = false);

// Open positions of one code taken together, before costs: quantity, the quantity-weighted entry
// price and the price move to a mark, (mark - entry) x quantity x unit, negated for a short.
struct HoldingSummary {
    std::int64_t quantity = 0;
    double total_price = 0.0;  // sum of entry price x quantity
    double pnl = 0.0;

    void add(double entry_price, std::int64_t qty);
    void mark(double entry_price, double mark_price, std::int64_t qty, std::int64_t unit, bool long_position);
    double average_price() const;  // 0 while nothing is held
};

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

// A fill of a positive quantity at a tradable price whose smallest units or entry money leave the
// range the account counts in, booked against `capital`.
bool fill_too_large(std::string_view code, double price, std::int64_t qty, std::int64_t multiplier,
                    const FeeRule& rule, double capital);

// Entry: the principal and the entry costs leave the account.
double capital_after_entry(double capital, const TradeCost& entry);
// Cover of shorts: principal back plus the price difference less the exit cost.
// Cover of longs: the proceeds less the exit cost.
double capital_after_cover(double capital, const CoverTotals& totals, bool covering_buy);

}  // namespace vkb
