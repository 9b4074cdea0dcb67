#pragma once
// The account's book: the open entries of each code in first-in-first-out order, the profit row of
// every matched pair, the statistics of each code, the reported profit and the running capital.
// A cover is planned first (every pair priced, nothing changed) and then applied, so a caller that
// fails between the two leaves the book as it was.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vkb/accounting.hpp"

namespace vkb {

struct OpenEntry {
    std::uint64_t id = 0;  // names the entry to whoever keeps the fill it came from
    std::int64_t qty = 0;
    double price = 0.0;
    std::optional<double> limit;  // a limit fill's limit
    std::optional<double> time;   // epoch seconds of the fill, when it has one
    // What the entry charged; none for an entry put in the book by hand, which a cover prices
    // under the settings of the day.
    std::optional<BookedEntry> booked;
};

struct SideBook {
    std::deque<OpenEntry> buy;   // longs
    std::deque<OpenEntry> sell;  // shorts
    std::deque<OpenEntry>& side(bool buy_side) { return buy_side ? buy : sell; }
    const std::deque<OpenEntry>& side(bool buy_side) const { return buy_side ? buy : sell; }
};

// Insertion-ordered table keyed by code: the account lists its codes in the order first traded.
template <class T>
class CodeTable {
public:
    T* find(std::string_view code) {
        const auto it = index_.find(std::string(code));
        return it == index_.end() ? nullptr : &items_[it->second].second;
    }
    const T* find(std::string_view code) const { return const_cast<CodeTable*>(this)->find(code); }
    T& at_or_new(std::string_view code) {
        if (T* found = find(code)) return *found;
        index_.emplace(std::string(code), items_.size());
        return items_.emplace_back(std::string(code), T{}).second;
    }
    const std::deque<std::pair<std::string, T>>& items() const { return items_; }
    bool erase(std::string_view code);

private:
    std::deque<std::pair<std::string, T>> items_;
    std::unordered_map<std::string, std::size_t> index_;
};

// A code's open entries taken together, marked at `close` when it has one.
HoldingSummary summarize_holding(const SideBook& sides, std::optional<double> close, std::int64_t unit);

// The last tick of a code, as the position views value its entries against.
struct PositionMark {
    std::optional<double> close;  // none without a tick
    std::optional<double> time;
    int utc_offset_hours = 8;
};
// One open entry as the views show it: at what it booked when it has that, otherwise priced under
// the day's entry_rule within its own limit. Under broker fees an entry made on the mark's trading
// day is valued as a day trade.
OpenValuation value_entry(std::string_view code, const OpenEntry& entry, bool long_side, const PositionMark& mark,
                          const FeeRule& entry_rule, const FeeRule& exit_rule, std::int64_t multiplier);

// How a cover is priced: the covering fill's rule (with its own limit) and the rule of the opposite
// entries (each entry's own limit is applied to it).
struct CoverPricing {
    double exit_price = 0.0;
    std::optional<double> exit_time;
    FeeRule exit_rule;
    FeeRule entry_rule;
    std::int64_t multiplier = kSharesPerLot;
    int utc_offset_hours = 8;
};

struct MatchedPair {
    std::uint64_t entry_id = 0;
    std::int64_t qty = 0;
    std::int64_t left = 0;  // what the entry keeps open
    TradeCost entry;
    TradeCost exit;
    PairSettlement settlement;
};

struct CoverPlan {
    bool covering_buy = false;
    CoverTotals totals;
    std::vector<MatchedPair> pairs;
    // Under broker fees: the covering fill's charge left for the quantity it opens.
    std::optional<TradeCost> remainder;
    double booked_price = 0.0;  // the covering fill's price after slippage
    double charges = 0.0;       // what the pairs charged the covering fill, tax included
};

struct ProfitRow {
    std::string code;
    std::int64_t qty = 0;
    TradeCost entry;
    TradeCost exit;
    PairSettlement settlement;
};

// Counters and sums of one code. A sum never added to stays empty: it started as the integer 0.
struct AccountStats {
    std::int64_t entry_times = 0;
    std::int64_t cover_times = 0;
    std::int64_t profit_times = 0;
    std::int64_t loss_times = 0;
    std::optional<double> entry_amount, exit_amount, net_profit, extra_fee, profit_total, loss_total, profit;
};

class PositionBook {
public:
    std::uint64_t next_id() { return ++last_id_; }

    const CodeTable<SideBook>& codes() const { return books_; }
    SideBook& sides(std::string_view code) { return books_.at_or_new(code); }
    // Replaces (or drops) a code's open entries, as a caller editing the book by hand does.
    void replace(std::string_view code, SideBook sides) { books_.at_or_new(code) = std::move(sides); }
    bool remove(std::string_view code) { return books_.erase(code); }

    const CodeTable<AccountStats>& stats() const { return stats_; }
    AccountStats& stats_of(std::string_view code) { return stats_.at_or_new(code); }

    const std::vector<ProfitRow>& rows() const { return rows_; }
    // The profit of every cover booked with settle_cover; empty until the first (the integer 0).
    std::optional<double> reported_profit() const { return reported_profit_; }

    // The pairs a covering fill of `qty` makes with the code's opposite entries, oldest first.
    CoverPlan plan_cover(std::string_view code, bool covering_buy, std::int64_t qty, const CoverPricing& pricing) const;
    // Lowers or consumes the matched entries and adds one profit row per pair.
    void apply_cover(std::string_view code, const CoverPlan& plan);
    // The cover in the code's statistics, the reported profit and the capital.
    void settle_cover(std::string_view code, const CoverPlan& plan);
    // Books an entry priced at `cost`: its principal and charges leave the capital, it counts as an
    // entry and goes last in its side.
    void open(std::string_view code, bool buy, OpenEntry entry, const TradeCost& cost, std::int64_t multiplier);

    double capital = 0.0;

private:
    CodeTable<SideBook> books_;
    CodeTable<AccountStats> stats_;
    std::vector<ProfitRow> rows_;
    std::optional<double> reported_profit_;
    std::uint64_t last_id_ = 0;
};

template <class T>
bool CodeTable<T>::erase(std::string_view code) {
    const auto it = index_.find(std::string(code));
    if (it == index_.end()) return false;
    const std::size_t at = it->second;
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(at));
    index_.erase(it);
    for (auto& [name, i] : index_)
        if (i > at) --i;
    return true;
}

}  // namespace vkb
