#include "vkb/position_book.hpp"

#include "vkb/broker_fees.hpp"

namespace vkb {

namespace {

void add_to(std::optional<double>& sum, double delta) { sum = sum.value_or(0.0) + delta; }

}  // namespace

HoldingSummary summarize_holding(const SideBook& sides, std::optional<double> close, std::int64_t unit) {
    HoldingSummary s;
    for (const bool long_side : {true, false})
        for (const OpenEntry& e : sides.side(long_side)) s.add(e.price, e.qty);
    if (close)
        for (const bool long_side : {true, false})
            for (const OpenEntry& e : sides.side(long_side)) s.mark(e.price, *close, e.qty, unit, long_side);
    return s;
}

OpenValuation value_entry(std::string_view code, const OpenEntry& entry, bool long_side, const PositionMark& mark,
                          const FeeRule& entry_rule, const FeeRule& exit_rule, std::int64_t multiplier) {
    const bool same_day = exit_rule.broker && same_trading_day(entry.time, mark.time, mark.utc_offset_hours);
    if (entry.booked)
        return value_booked_position(code, entry.booked->share(entry.qty), mark.close, multiplier, exit_rule,
                                     long_side, same_day);
    FeeRule rule = entry_rule;
    rule.limit_price = entry.limit;
    return value_open_position(code, entry.price, mark.close, entry.qty, multiplier, rule, exit_rule, long_side,
                               same_day);
}

CoverPlan PositionBook::plan_cover(std::string_view code, bool covering_buy, std::int64_t qty,
                                   const CoverPricing& pricing) const {
    CoverPlan plan;
    plan.covering_buy = covering_buy;
    FifoCover fifo(qty);
    // Under broker fees the covering fill is charged once, minimum fee included; each pair and the
    // remainder it opens take their part of that charge.
    std::optional<BookedEntry> whole;
    if (pricing.exit_rule.broker)
        whole = book_entry_cost(
            entry_side_cost(code, pricing.exit_price, qty, pricing.multiplier, pricing.exit_rule), pricing.multiplier);
    if (const SideBook* book = books_.find(code)) {
        for (const OpenEntry& e : book->side(!covering_buy)) {
            if (!fifo.wants_more()) break;
            const std::int64_t matched = fifo.take(e.qty);
            TradeCost in;
            if (e.booked) {
                in = e.booked->share(matched);
                in.origin_price = e.price;
            } else {
                FeeRule rule = pricing.entry_rule;
                rule.limit_price = e.limit;
                in = entry_side_cost(code, e.price, matched, pricing.multiplier, rule);
            }
            TradeCost out;
            if (whole) {
                out = whole->share(matched);
                whole->release(out);
                out = with_pair_tax(out, in, code, pricing.exit_rule, covering_buy,
                                    same_trading_day(e.time, pricing.exit_time, pricing.utc_offset_hours));
            } else {
                out = exit_side_cost(code, pricing.exit_price, matched, pricing.multiplier, pricing.exit_rule);
            }
            const PairSettlement settlement = settle_pair(in, out, covering_buy);
            plan.totals.add(settlement);
            plan.booked_price = out.price;
            plan.charges += settlement.exit_cost;
            plan.pairs.push_back({e.id, matched, e.qty - matched, in, out, settlement});
        }
    }
    plan.totals.uncovered_qty = fifo.remaining();
    if (whole && whole->cost.qty > 0) plan.remainder = whole->cost;
    return plan;
}

void PositionBook::apply_cover(std::string_view code, const CoverPlan& plan) {
    std::deque<OpenEntry>& side = sides(code).side(!plan.covering_buy);
    std::size_t consumed = 0;
    for (std::size_t i = 0; i < plan.pairs.size() && i < side.size(); ++i) {
        const MatchedPair& pair = plan.pairs[i];
        OpenEntry& e = side[i];
        e.qty = pair.left;
        if (e.booked) {
            e.booked->release(pair.entry);
            if (e.booked->cost.qty <= 0) e.booked.reset();
        }
        if (pair.left == 0) ++consumed;
        rows_.push_back({std::string(code), pair.qty, pair.entry, pair.exit, pair.settlement});
    }
    side.erase(side.begin(), side.begin() + static_cast<std::ptrdiff_t>(consumed));
}

void PositionBook::settle_cover(std::string_view code, const CoverPlan& plan) {
    const CoverTotals& t = plan.totals;
    add_to(reported_profit_, t.profit);
    AccountStats& s = stats_of(code);
    add_to(s.entry_amount, t.entry_total);
    add_to(s.exit_amount, t.exit_total);
    add_to(s.extra_fee, t.cost);
    add_to(s.profit, t.profit);
    add_to(s.net_profit, t.origin_profit(plan.covering_buy));
    ++s.cover_times;
    if (is_winning(t.profit)) {
        ++s.profit_times;
        add_to(s.profit_total, t.profit);
    } else {
        ++s.loss_times;
        add_to(s.loss_total, t.profit);
    }
    capital = capital_after_cover(capital, t, plan.covering_buy);
}

void PositionBook::open(std::string_view code, bool buy, OpenEntry entry, const TradeCost& cost,
                        std::int64_t multiplier) {
    ++stats_of(code).entry_times;
    capital = capital_after_entry(capital, cost);
    entry.booked = book_entry_cost(cost, multiplier);
    sides(code).side(buy).push_back(std::move(entry));
}

}  // namespace vkb
