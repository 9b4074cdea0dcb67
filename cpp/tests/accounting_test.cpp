#include <doctest/doctest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "vkb/accounting.hpp"
#include "vkb/exchange_time.hpp"

using namespace vkb;

namespace {

TradeCost stock_cost(double price, std::int64_t qty, bool buy, bool ignore_tax) {
    const FeeRule rule{0.001425, 0.003, 0.0, 3, buy};
    return compute_trade_cost("2330", price, qty, kSharesPerLot, rule, ignore_tax);
}

}  // namespace

TEST_CASE("stock trade cost slips before pricing fee and tax") {
    const TradeCost c = stock_cost(100.0, 2, true, false);
    CHECK(c.price == 101.5);
    CHECK(c.min_qty == 2000);
    CHECK(c.fee == 0.001425 * 2 * 1000 * 101.5);
    CHECK(c.tax == 0.003 * 2 * 1000 * 101.5);
    CHECK(stock_cost(100.0, 2, true, true).tax == 0.0);
}

TEST_CASE("slippage direction honours the reversal flag") {
    CHECK(slippage_goes_up("down", true));
    CHECK_FALSE(slippage_goes_up("up", true));
    CHECK_FALSE(slippage_goes_up("sideways", true));
    CHECK(slippage_goes_up("up", false));
    CHECK_FALSE(slippage_goes_up("down", false));
}

TEST_CASE("FIFO matching consumes the oldest positions first") {
    auto takes = [](std::int64_t qty, std::vector<std::int64_t> book) {
        FifoCover cover(qty);
        std::vector<std::int64_t> matched;
        for (std::size_t i = 0; cover.wants_more() && i < book.size(); ++i) matched.push_back(cover.take(book[i]));
        return std::pair{matched, cover.remaining()};
    };
    using V = std::vector<std::int64_t>;
    CHECK(takes(2, {2, 3, 4}) == std::pair{V{2}, std::int64_t{0}});
    CHECK(takes(1, {2, 3, 4}) == std::pair{V{1}, std::int64_t{0}});
    CHECK(takes(4, {2, 3, 4}) == std::pair{V{2, 2}, std::int64_t{0}});
    CHECK(takes(12, {2, 3, 4}) == std::pair{V{2, 3, 4}, std::int64_t{3}});
    CHECK(takes(0, {2}).first.empty());
}

TEST_CASE("long round trip: capital change equals the pair profit") {
    const TradeCost entry = stock_cost(100.0, 1, true, true);
    const TradeCost exit = stock_cost(110.0, 1, false, false);
    const PairSettlement pair = settle_pair(entry, exit, false);
    CoverTotals totals;
    totals.add(pair);
    const double capital = capital_after_cover(capital_after_entry(1e6, entry), totals, false);
    CHECK(capital - 1e6 == doctest::Approx(pair.profit).epsilon(1e-12));
    CHECK(pair.profit_ratio == pair.profit / (pair.entry_amount + pair.entry_cost));
    CHECK(totals.origin_profit(false) == exit.price * 1000 - entry.price * 1000);
}

TEST_CASE("short round trip: capital change equals the pair profit") {
    const TradeCost entry = stock_cost(100.0, 1, false, true);
    const TradeCost exit = stock_cost(90.0, 1, true, false);
    const PairSettlement pair = settle_pair(entry, exit, true);
    CoverTotals totals;
    totals.add(pair);
    const double capital = capital_after_cover(capital_after_entry(1e6, entry), totals, true);
    CHECK(capital - 1e6 == doctest::Approx(pair.profit).epsilon(1e-12));
    CHECK(pair.profit_ratio == pair.profit / (pair.entry_amount - pair.entry_cost));
}

TEST_CASE("a pair with nothing at stake has ratio 0") {
    const FeeRule free{0.0, 0.0, 0.0, 0, true};
    const TradeCost zero = compute_trade_cost("2330", 0.0, 1, kSharesPerLot, free, false);
    const PairSettlement pair = settle_pair(zero, zero, false);
    CHECK(pair.profit == 0.0);
    CHECK(pair.profit_ratio == 0.0);
    CHECK_FALSE(is_winning(pair.profit));
}

TEST_CASE("exchange time text refuses timestamps outside the calendar") {
    CHECK(format_exchange_datetime(0.0, 8) == "1970-01-01 08:00:00.000000");
    CHECK_THROWS_AS(format_exchange_datetime(1e12, 8), std::domain_error);
    CHECK_THROWS_AS(format_exchange_datetime(1e300, 8), std::overflow_error);
}

TEST_CASE("an open position is valued exactly as covering it at the mark would settle") {
    const FeeRule buy{0.001425, 0.003, 10.0, 3, true};
    const FeeRule sell{0.001425, 0.003, 10.0, 3, false};
    for (const bool long_position : {true, false}) {
        const FeeRule& entry_rule = long_position ? buy : sell;
        const FeeRule& exit_rule = long_position ? sell : buy;
        const OpenValuation v = value_open_position("2330", 100.0, 104.0, 3, kSharesPerLot, entry_rule, exit_rule,
                                                    long_position);
        const TradeCost entry = entry_side_cost("2330", 100.0, 3, kSharesPerLot, entry_rule);
        const TradeCost exit = exit_side_cost("2330", 104.0, 3, kSharesPerLot, exit_rule);
        CHECK(v.pnl == settle_pair(entry, exit, !long_position).profit);
        CHECK(v.principal == traded_amount(entry));
        CHECK(v.entry_charges == entry.fee + 10.0);
        CHECK(entry.tax == 0.0);
        CHECK(exit.tax > 0.0);
    }
}

TEST_CASE("an open position without a mark keeps its entry figures and shows no profit") {
    const FeeRule buy{0.001425, 0.003, 0.0, 3, true};
    const OpenValuation v = value_open_position("2330", 100.0, std::nullopt, 2, kSharesPerLot, buy, buy, true);
    CHECK(v.pnl == 0.0);
    CHECK(v.principal == 101.5 * 2000);
    CHECK(v.entry_charges == 0.001425 * 2 * 1000 * 101.5);
}

TEST_CASE("a holding summary weights entry prices by quantity and marks shorts the other way") {
    HoldingSummary s;
    CHECK(s.average_price() == 0.0);
    s.add(100.0, 1);
    s.add(104.0, 3);
    CHECK(s.quantity == 4);
    CHECK(s.average_price() == 103.0);
    s.mark(100.0, 110.0, 1, 1000, true);
    CHECK(s.pnl == 10000.0);
    s.mark(100.0, 110.0, 1, 200, false);
    CHECK(s.pnl == 8000.0);
}

TEST_CASE("exchange date follows the exchange clock across midnight UTC") {
    CHECK(format_exchange_date(1704214800.0, 8) == "2024-01-03");  // 2024-01-02 17:00 UTC
    CHECK(format_exchange_date(1704214800.0, 0) == "2024-01-02");
    CHECK_THROWS_AS(format_exchange_date(1e12, 8), std::domain_error);
}

TEST_CASE("the parts of a booked entry add up to what the entry charged") {
    TradeCost entry;
    entry.qty = 3;
    entry.min_qty = 3000;
    entry.price = 101.5;
    entry.fee = 433.9125;
    entry.fixed_cost = 10.0;
    BookedEntry booked = book_entry_cost(entry, 1000);
    double fee = 0, fixed = 0;
    for (std::int64_t take : {1, 1, 1}) {
        const TradeCost part = booked.share(take);
        CHECK(part.price == 101.5);
        CHECK(part.min_qty == take * 1000);
        fee += part.fee;
        fixed += part.fixed_cost;
        booked.release(part);
    }
    CHECK(booked.cost.qty == 0);
    CHECK(fee == doctest::Approx(433.9125).epsilon(1e-15));
    CHECK(fixed == doctest::Approx(10.0).epsilon(1e-15));
}

TEST_CASE("a fill is too large when its smallest units or its entry money leave the account's range") {
    const FeeRule unslipped{0.001425, 0.003, 0.0, 0, true};
    CHECK_FALSE(fill_too_large("2330", 100.0, 5, kSharesPerLot, unslipped, 1e6));
    CHECK(fill_too_large("2330", 100.0, INT64_MAX / 10, kSharesPerLot, unslipped, 1e6));
    CHECK(fill_too_large("2330", 1e300, 1'000'000'000, kSharesPerLot, unslipped, 1e6));
    // Short of capital is not too large: only the range of the numbers counts.
    CHECK_FALSE(fill_too_large("2330", 100.0, 1'000'000, kSharesPerLot, unslipped, 0.0));
}
